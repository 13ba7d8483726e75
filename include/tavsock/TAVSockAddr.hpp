// One end point: an IPv4 or IPv6 address and a port.
#pragma once

#include <tavsock/Object.hpp>
#include <tavsock/ValueStore.hpp>
#include <tavsock/Variant.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace tav {

/// An IPv4 address and port, both kept in network byte order (the form they take in a socket
/// address record) and converted at the public surface. Creatable ("TAVSock.TAVSockAddr");
/// the library also hands these out (local and remote addresses, datagram senders).
///
/// It may hold an IPv6 address instead (Family 23), when its text names one or a peer or
/// local address is IPv6. The 32-bit network address of such an object (the one the IPv4
/// record and the library's IPv4 conversions see) is the all-ones value -1, the value that
/// already stands for "no IPv4 address" (malformed text): it reads "255.255.255.255" through
/// the dotted conversions, never a wrong but plausible IPv4 address. An IPv4 peer met on a
/// dual-stack IPv6 socket (an IPv4-mapped address) is given as IPv4, Family 2.
class TAVSockAddr : public Object {
public:
    /// A new end point 0.0.0.0, port 0.
    static std::shared_ptr<TAVSockAddr> Create();
    std::string TypeName() const override { return "TAVSockAddr"; }

    /// Free for the client. Reading it when none is held creates an empty store, keeps it and
    /// returns it.
    std::shared_ptr<ValueStore> ExtraData();
    void ExtraData(std::shared_ptr<ValueStore> store);

    /// The address as dotted text ("127.0.0.1"). Malformed text is stored as the all-ones
    /// address and reads back as "255.255.255.255". Text that is not IPv4 but an IPv6 address
    /// ("::1", "[::1]", "fe80::1%eth0") makes this an IPv6 end point; it reads back in the
    /// RFC 5952 form ("2001:db8::1"), with "%zone" for a scoped address.
    std::string IPAddress() const;
    void IPAddress(const std::string& dotted);

    /// 2 for IPv4 (the default), 23 for IPv6: the Windows Sockets address family numbers.
    int16_t Family() const { return mFamily; }

    /// The port in host order as a 16-bit signed value, as the object model has it: ports above
    /// 32767 read back negative (65535 is -1, 40000 is -25536). Show one with `Port() & 0xFFFF`
    /// and set one above 32767 with `static_cast<int16_t>(port)`.
    int16_t Port() const;
    void Port(int16_t port);

    /// Free for the client: any value or object (a copy of the value, or the same object).
    Variant Tag() const { return mTag; }
    void Tag(Variant value) { mTag = std::move(value); }

private:
    TAVSockAddr() = default;
    // Library code reads and writes the network-order fields through SockAddrAccess
    // (core/SockAddrAccess.hpp); hosts have no way to reach them.
    friend class SockAddrAccess;

    int32_t mNetAddress = 0;  // network byte order; -1 while Family is 23
    int16_t mNetPort = 0;     // network byte order
    int16_t mFamily = 2;      // 2 or 23
    std::array<uint8_t, 16> mAddress6{};  // while Family is 23
    uint32_t mScope6 = 0;                 // while Family is 23: interface of a scoped address
    Variant mTag;
    std::shared_ptr<ValueStore> mExtraData;  // null until first read or set
};

}  // namespace tav
