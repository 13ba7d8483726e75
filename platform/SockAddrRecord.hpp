// Address records of either family: the Windows records (16-byte IPv4, 28-byte IPv6) turned
// into native socket addresses and back, for the calls of the socket interface layer.
#pragma once

#include "platform/SockIntf.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

namespace tav::sockintf::detail {

/// A native socket address of either family and its length.
struct NativeAddr {
    sockaddr_storage ss{};
    socklen_t len = 0;

    int Family() const noexcept { return ss.ss_family; }
    sockaddr* Ptr() noexcept { return reinterpret_cast<sockaddr*>(&ss); }
    const sockaddr* Ptr() const noexcept { return reinterpret_cast<const sockaddr*>(&ss); }
    const sockaddr_in& V4() const noexcept { return reinterpret_cast<const sockaddr_in&>(ss); }
    const sockaddr_in6& V6() const noexcept { return reinterpret_cast<const sockaddr_in6&>(ss); }
    /// Port in network order, 0 for a family without one.
    uint16_t Port() const noexcept;
    /// True for the any address (0.0.0.0 or ::).
    bool IsAny() const noexcept;
    /// The any address with port 0 in `family` (AF_INET or AF_INET6).
    static NativeAddr Any(int family) noexcept;
};

/// Reads the record of `namelen` bytes at `name` (which must be non-null with `namelen` at
/// least 16). Family 23 gives an IPv6 address (10014 below 28 bytes); any other family an IPv4
/// one with the family copied as given, so the system refuses what it does not know. With
/// `inet6`, an IPv4 record becomes its IPv4-mapped IPv6 address. Returns 0 or the Windows error.
int RecordToNative(const SOCKADDR_IN* name, int namelen, bool inet6, NativeAddr& out) noexcept;

/// Writes `a` as a Windows record into `name` (room `*namelen`, set to the length written):
/// IPv4 and IPv4-mapped IPv6 addresses as a 16-byte IPv4 record, other IPv6 addresses as a
/// 28-byte record. Returns 0, or 10014 when the room is too small (nothing written).
int NativeToRecord(const NativeAddr& a, SOCKADDR_IN* name, int* namelen) noexcept;

}  // namespace tav::sockintf::detail
