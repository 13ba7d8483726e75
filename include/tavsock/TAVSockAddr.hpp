// One IPv4 end point: address and port.
#pragma once

#include <tavsock/Object.hpp>
#include <tavsock/ValueStore.hpp>
#include <tavsock/Variant.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

/// An IPv4 address and port, both kept in network byte order (the form they take in a socket
/// address record) and converted at the public surface. Creatable ("TAVSock.TAVSockAddr");
/// the library also hands these out (local and remote addresses, datagram senders).
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
    /// address and reads back as "255.255.255.255".
    std::string IPAddress() const;
    void IPAddress(const std::string& dotted);

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

    int32_t mNetAddress = 0;  // network byte order
    int16_t mNetPort = 0;     // network byte order
    Variant mTag;
    std::shared_ptr<ValueStore> mExtraData;  // null until first read or set
};

}  // namespace tav
