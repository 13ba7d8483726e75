// One host entry: official name, aliases, IPv4 addresses and every address as text.
#pragma once

#include <tavsock/Object.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tav {

/// The result of a host look-up. Hosts cannot create one: TAVSocketUtil's look-ups return it,
/// and background look-ups hand it over in their HostResolved notification. Lists are 1-based.
class TAVHostInfo : public Object {
public:
    std::string TypeName() const override { return "TAVHostInfo"; }

    /// Number of aliases.
    int32_t AliasCount() const { return static_cast<int32_t>(mAliases.size()); }
    /// Alias number Index (1..AliasCount); any other index raises library error 1.
    std::string Alias(int32_t Index) const;
    /// Number of IPv4 addresses.
    int32_t AddressCount() const { return static_cast<int32_t>(mAddresses.size()); }
    /// Address number Index (1..AddressCount) in network byte order, in the resolver's order;
    /// any other index raises library error 1. IPv4 only: a 32-bit number cannot hold an
    /// IPv6 address, so those are never in this list (see IPAddress).
    int32_t Address(int32_t Index) const;

    /// Number of addresses of both families: AddressCount plus the IPv6 addresses.
    int32_t IPAddressCount() const { return static_cast<int32_t>(mAddresses.size() + mAddresses6.size()); }
    /// Address number Index (1..IPAddressCount) as text, ready for TAVSockAddr::IPAddress:
    /// dotted IPv4 or RFC 5952 IPv6. The IPv4 addresses come first, each family in the
    /// resolver's order, unless PreferIPv6 is set. Any other index raises library error 1.
    std::string IPAddress(int32_t Index) const;
    /// Whether IPAddress lists the IPv6 addresses first. False by default.
    bool PreferIPv6() const noexcept { return mPreferIPv6; }
    void PreferIPv6(bool value) noexcept { mPreferIPv6 = value; }

    /// The official host name; "" after a look-up that found nothing.
    std::string Name() const { return mName; }
    void Name(const std::string& value);

    /// Blocking look-up by name. Found: the object holds the entry. Not found: Name becomes ""
    /// and the aliases and addresses of an earlier look-up stay as they were. Never raises.
    void GetHostByName(const std::string& HostName);
    /// Blocking look-up by dotted IPv4 address, or by IPv6 address ("::1"); the outcome as
    /// for GetHostByName.
    void GetHostByAddress(const std::string& IPAddr);

private:
    TAVHostInfo() = default;
    // Library code creates, fills and hands the result buffer out through HostInfoAccess
    // (names/HostInfoAccess.hpp).
    friend class HostInfoAccess;

    /// Bytes the background look-ups may write: 1024 announced, one spare byte behind them.
    static constexpr size_t kResultBufferSize = 1025;

    std::string mName;
    std::vector<std::string> mAliases;
    std::vector<int32_t> mAddresses;  // network byte order
    std::vector<std::string> mAddresses6;  // RFC 5952 text
    bool mPreferIPv6 = false;
    int16_t mAddrType = 0;            // as received; not exposed
    int16_t mAddrLength = 0;          // as received; not exposed
    // Written by the socket layer while a background look-up is pending. It lives inside the
    // object, which never moves (objects are held by shared_ptr and cannot be copied), and is
    // aligned so that the host record at its start can be read in place.
    alignas(std::max_align_t) std::array<char, kResultBufferSize> mResultBuffer{};
};

}  // namespace tav
