// Host look-ups of the socket interface layer, shared by the blocking database calls and the
// background look-ups so both find the same records.
//
// Thread rule: every function may run on any thread at the same time (the reentrant resolver
// calls underneath); none checks the start-up count.
#pragma once

#include "platform/SockIntf.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tav::sockintf::hostdb {

/// One host entry, owned: IPv4 addresses in network byte order, in the resolver's order,
/// and apart from them the host's IPv6 addresses (which a HOSTENT of family 2 cannot carry).
struct HostRecord {
    std::string name;
    std::vector<std::string> aliases;
    int16_t addrType = AF_INET_W;
    int16_t addrLength = 4;
    std::vector<uint32_t> addresses;
    std::vector<Inet6Address> addresses6;
};

/// Windows number (11001-11004) for a resolver h_errno value.
int WsaErrorFromHostErrno(int herr) noexcept;

/// Looks a host up by name: its IPv4 entry (the hosts file with its aliases, then DNS) as
/// before, and its IPv6 addresses (getaddrinfo) beside it; a name with IPv6 addresses only is
/// found too (no IPv4 addresses, no aliases). A dotted IPv4 text, in any form intinet_addr
/// takes, or an IPv6 text ("::1", "[::1]", "fe80::1%lo") resolves to itself without a query;
/// a null or empty name means the local host. Returns 0 with `out` filled, or 11001-11004 (`out` is
/// then unspecified).
int ResolveByName(const char* name, HostRecord& out);

/// Looks a host up by address: `addr` points to `len` bytes (4 for IPv4) of an address of
/// family `type` (AF_INET_W, or AF_INET6_W with 16 bytes: the entry then has address type 23
/// and the address among its IPv6 addresses). Returns 0 with `out` filled; 10014 for a null
/// `addr` or a short `len`, 10047 for another family, or 11001-11004.
int ResolveByAddr(const char* addr, int len, int type, HostRecord& out);

/// Writes `rec` into `buf` as a HOSTENT at the start of the buffer followed by everything it
/// points to (alias and address pointer arrays, the addresses, the texts), all pointers into
/// `buf` itself. `buf` should be aligned for pointers (memory from new or malloc is); the
/// inner arrays are aligned whatever it is. `needed` is set to the bytes the record takes in
/// this buffer. Returns 0, or WSAENOBUFS (10055) with `buf` untouched when `buflen` is below
/// `needed`.
int SerializeHostEnt(const HostRecord& rec, char* buf, int buflen, int& needed) noexcept;

}  // namespace tav::sockintf::hostdb
