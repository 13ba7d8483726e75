// The socket interface layer: the Windows Sockets 1.1 calls under the prefix `int`, over BSD
// sockets.
//
// Results follow Windows Sockets: -1 (SOCKET_ERROR / INVALID_SOCKET) on failure, after which
// intWSAGetLastError() gives the Windows Sockets error number of the calling thread. Options
// are taken at level 0xFFFF in Windows numbering, ioctl commands in Windows values, and
// addresses as 16-byte sockaddr_in records. No call ever raises SIGPIPE.
//
// Thread rule: every call may be made from any thread; the last error and the records returned
// by the database calls belong to the calling thread. The asynchronous calls deliver their
// messages on the thread that owns the target window.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>
#include <tavsock/WinsockErrors.hpp>

namespace tav::sockintf {

using SOCKET = int32_t;
using HWND = int32_t;
using HANDLE = int32_t;

inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

// Address families, socket types, protocols.
inline constexpr int AF_INET_W = 2;
/// IPv6, as Windows Sockets numbers it (Linux says 10).
inline constexpr int AF_INET6_W = 23;
inline constexpr int SOCK_STREAM_W = 1;
inline constexpr int SOCK_DGRAM_W = 2;
inline constexpr int IPPROTO_TCP_W = 6;
inline constexpr int IPPROTO_UDP_W = 17;

// send/recv flags.
inline constexpr int MSG_OOB_W = 1;
inline constexpr int MSG_PEEK_W = 2;
inline constexpr int MSG_DONTROUTE_W = 4;

// Asynchronous-select event bits (lEvent of intWSAAsyncSelect, low word of its lParam).
inline constexpr int32_t FD_READ_W = 0x01;
inline constexpr int32_t FD_WRITE_W = 0x02;
inline constexpr int32_t FD_OOB_W = 0x04;
inline constexpr int32_t FD_ACCEPT_W = 0x08;
inline constexpr int32_t FD_CONNECT_W = 0x10;
inline constexpr int32_t FD_CLOSE_W = 0x20;

// Socket options, level SOL_SOCKET_W, Windows numbering.
inline constexpr int SOL_SOCKET_W = 0xFFFF;
inline constexpr int SO_DEBUG_W = 0x0001;
inline constexpr int SO_ACCEPTCONN_W = 0x0002;
inline constexpr int SO_REUSEADDR_W = 0x0004;
inline constexpr int SO_KEEPALIVE_W = 0x0008;
inline constexpr int SO_DONTROUTE_W = 0x0010;
inline constexpr int SO_BROADCAST_W = 0x0020;
inline constexpr int SO_LINGER_W = 0x0080;
inline constexpr int SO_OOBINLINE_W = 0x0100;
inline constexpr int SO_DONTLINGER_W = ~0x0080;
inline constexpr int SO_SNDBUF_W = 0x1001;
inline constexpr int SO_RCVBUF_W = 0x1002;
inline constexpr int SO_SNDLOWAT_W = 0x1003;
inline constexpr int SO_RCVLOWAT_W = 0x1004;
inline constexpr int SO_SNDTIMEO_W = 0x1005;
inline constexpr int SO_RCVTIMEO_W = 0x1006;
inline constexpr int SO_ERROR_W = 0x1007;
inline constexpr int SO_TYPE_W = 0x1008;
inline constexpr int SO_MAX_MSG_SIZE_W = 0x2003;
// Option at level IPPROTO_TCP_W.
inline constexpr int TCP_NODELAY_W = 0x0001;
// Option at level IPPROTO_IPV6_W: an IPv6 socket that takes IPv6 peers only (else it also
// takes IPv4 peers, as IPv4-mapped addresses). IPv6 sockets of this layer start with it off.
inline constexpr int IPPROTO_IPV6_W = 41;
inline constexpr int IPV6_V6ONLY_W = 27;

/// Largest UDP payload over IPv4 (65535 less the IP and UDP headers).
inline constexpr int MAX_UDP_DATAGRAM = 65507;
/// SO_MAX_MSG_SIZE_W of a stream socket: a stream has no message size, so the largest
/// positive 32-bit value stands for "no limit" rather than failing the read.
inline constexpr int MAX_STREAM_MESSAGE = 0x7FFFFFFF;

// ioctlsocket commands.
inline constexpr int32_t FIONBIO_W = static_cast<int32_t>(0x8004667Eu);
inline constexpr int32_t FIONREAD_W = 0x4004667F;
inline constexpr int32_t SIOCATMARK_W = 0x40047307;

// Windows Sockets error numbers: the public list is the one list.
using namespace ::tav::wsa;

/// Windows Sockets error number for an errno value (the one mapping of the layer); 0 stays 0,
/// and an errno without a Windows Sockets counterpart gives WSASYSCALLFAILURE.
int WsaErrorFromErrno(int err) noexcept;

/// The 16-byte IPv4 address record: family 2, port and address in network order, 8 zeros.
struct SOCKADDR_IN {
    int16_t sin_family = 0;
    uint16_t sin_port = 0;
    uint32_t sin_addr = 0;
    uint8_t sin_zero[8] = {};
};
static_assert(sizeof(SOCKADDR_IN) == 16);

/// The 28-byte IPv6 address record: family 23, port in network order, flow label, the 16
/// address bytes, scope (interface index of a link-local address).
struct SOCKADDR_IN6_W {
    int16_t sin6_family = 0;
    uint16_t sin6_port = 0;
    uint32_t sin6_flowinfo = 0;
    uint8_t sin6_addr[16] = {};
    uint32_t sin6_scope_id = 0;
};
static_assert(sizeof(SOCKADDR_IN6_W) == 28);

/// Room for a record of either family. Every call below that takes or returns a record takes
/// a SOCKADDR_IN pointer and a length, as the Windows calls take a sockaddr pointer: pass
/// `&rec.Ipv4` with `sizeof rec` for a record that may be IPv6. A record is read by its
/// family: 23 needs a length of at least 28 (else 10014). Records written back are IPv4 (16
/// bytes) or IPv6 (28 bytes, needing that much room, else 10014); an IPv4-mapped IPv6 peer of
/// a dual-stack socket is written as the IPv4 record it stands for, so IPv4 peers look the
/// same whatever the family of the socket that met them. An IPv4 record given to an IPv6
/// socket is taken as its IPv4-mapped address.
union SOCKADDR_INET_W {
    SOCKADDR_IN Ipv4;
    SOCKADDR_IN6_W Ipv6;
    int16_t si_family;
    SOCKADDR_INET_W() : Ipv6() {}
};
static_assert(sizeof(SOCKADDR_INET_W) == 28);

/// One IPv6 address of a host: its 16 bytes and its scope (0 but for scoped addresses).
struct Inet6Address {
    std::array<uint8_t, 16> bytes{};
    uint32_t scope = 0;
    bool operator==(const Inet6Address&) const = default;
};

/// The start-up record (WSADATA).
struct WSADATA {
    uint16_t wVersion = 0;
    uint16_t wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
    uint16_t iMaxSockets = 0;
    uint16_t iMaxUdpDg = 0;
    const char* lpVendorInfo = nullptr;
};

/// Host, service and protocol records, Windows layout of the fields.
struct HOSTENT {
    char* h_name;
    char** h_aliases;
    int16_t h_addrtype;
    int16_t h_length;
    char** h_addr_list;
};
struct SERVENT {
    char* s_name;
    char** s_aliases;
    int16_t s_port;  // network byte order
    char* s_proto;
};
struct PROTOENT {
    char* p_name;
    char** p_aliases;
    int16_t p_proto;
};

/// A handle set for intselect. Unlike fd_set it has no size limit and no limit on the handle
/// values; intselect leaves in each set only the handles that are ready. Set() keeps members
/// unique, as FD_SET does, by a linear search.
struct FD_SET_W {
    std::vector<SOCKET> fd_array;
    void Set(SOCKET s) {
        for (SOCKET x : fd_array)
            if (x == s) return;
        fd_array.push_back(s);
    }
    bool IsSet(SOCKET s) const {
        for (SOCKET x : fd_array)
            if (x == s) return true;
        return false;
    }
    void Zero() { fd_array.clear(); }
    size_t fd_count() const { return fd_array.size(); }
};

struct TIMEVAL_W {
    int32_t tv_sec = 0;
    int32_t tv_usec = 0;
};

// Start-up and errors.
/// Counts a start-up of the stack (process-wide) and fills `data` (the caller's record) with
/// version 1.1 (wHighVersion 2.2) and values true for this system: iMaxSockets is the
/// descriptor limit capped at 65535, iMaxUdpDg 65507. Returns 0; WSAVERNOTSUPPORTED (record
/// filled, nothing counted) for a requested version below 1.1; WSAEFAULT for a null record.
/// While the count is 0 every other socket call (not the conversions) fails with 10093.
int intWSAStartup(uint16_t versionRequested, WSADATA* data);
/// Undoes one start-up; -1 with 10093 when the stack is not started. Sockets stay open when
/// the count reaches 0; their owners close them.
int intWSACleanup();
/// Last Windows Sockets error of the calling thread. Calls that succeed leave it unchanged.
int intWSAGetLastError();
void intWSASetLastError(int error);
/// Number of start-ups not yet undone (for tests and diagnostics).
int WSAStartupCount();

// Sockets. Handles are the descriptors themselves; all are close-on-exec.
/// AF_INET_W or AF_INET6_W (else 10047; an IPv6 socket starts dual-stack, IPV6_V6ONLY_W
/// off); SOCK_STREAM_W or SOCK_DGRAM_W (else 10044); protocol 0, 6 or
/// 17 (else 10043). The socket starts in blocking mode, as on Windows.
SOCKET intsocket(int af, int type, int protocol);
/// intsocket followed by FIONBIO_W with 1, in one system call: the socket starts
/// non-blocking. Not part of the Windows interface.
SOCKET NonBlockingSocket(int af, int type, int protocol);
/// Closes the handle after the asynchronous-select registration of it has been dropped.
int intclosesocket(SOCKET s);
/// intclosesocket for the end of a socket object, whether or not the stack is still started:
/// on Windows the last clean-up closes every socket of the process, so a handle must never
/// outlive both its object and the stack here. Not part of the Windows interface.
int CloseSocketHandle(SOCKET s);
/// `namelen` must be at least 16 (else 10014); 10048 when the address is in use. A stream
/// socket that was never bound nor connected takes the family of the address it is given (the
/// handle stays the same, its options are carried over), so a socket opened for IPv4 can bind
/// or connect to an IPv6 address; a datagram socket keeps its family (10047 for the other).
int intbind(SOCKET s, const SOCKADDR_IN* name, int namelen);
/// Gives `s` family `af` (AF_INET_W or AF_INET6_W) now, as intbind would for an address of
/// that family, so that options of that family can be set before the bind. 0, or -1 with
/// 10047 when the socket cannot change any more. Not part of the Windows interface.
int AdoptFamily(SOCKET s, int af);
/// intbind for a stream socket that is to connect: with port 0 the port is chosen by the
/// connect, towards its destination, so that ports of earlier connections still in TIME_WAIT
/// do not run out. intgetsockname before the connect takes the port at once, so the address
/// read stays the socket's. Not part of the Windows interface.
int BindForConnect(SOCKET s, const SOCKADDR_IN* name, int namelen);
/// Blocking: 0, or -1 with the reason (10061 refused, 10060 timed out, ...). Non-blocking:
/// -1 with 10035 while the connection is under way; its outcome shows later in intselect
/// (write set on success, exception set on failure) and in SO_ERROR_W.
int intconnect(SOCKET s, const SOCKADDR_IN* name, int namelen);
int intlisten(SOCKET s, int backlog);
/// The new socket takes over the listener's blocking mode, as on Windows. `addr` (with
/// `*addrlen` at least 16, else 10014) receives the peer. Non-blocking with nothing pending:
/// -1 with 10035.
SOCKET intaccept(SOCKET s, SOCKADDR_IN* addr, int* addrlen);
/// 10022 for a socket that has no local address yet, as on Windows.
int intgetsockname(SOCKET s, SOCKADDR_IN* name, int* namelen);
/// 10057 when not connected.
int intgetpeername(SOCKET s, SOCKADDR_IN* name, int* namelen);
/// Level SOL_SOCKET_W with Windows option numbers, IPPROTO_TCP_W with TCP_NODELAY_W, or IPPROTO_IPV6_W with IPV6_V6ONLY_W (10042 on an IPv4 socket); an
/// unknown level gives 10022, an unknown option 10042. Values are 32-bit and `*optlen` (or
/// `optlen`) must be at least 4 (else 10014); a get stores 4 in `*optlen`. Notes:
/// SO_LINGER_W is the Windows record {u_short l_onoff; u_short l_linger}; SO_DONTLINGER_W is
/// its inverted switch; SO_SNDTIMEO_W/SO_RCVTIMEO_W are milliseconds; SO_ERROR_W gives (and
/// clears) the pending error as a Windows number; SO_TYPE_W gives 1 or 2; SO_SNDBUF_W and
/// SO_RCVBUF_W read back the size that was set (the kernel's doubled figure halved);
/// SO_MAX_MSG_SIZE_W is MAX_UDP_DATAGRAM for datagram and MAX_STREAM_MESSAGE for stream
/// sockets. SO_ACCEPTCONN_W, SO_ERROR_W, SO_TYPE_W and SO_MAX_MSG_SIZE_W cannot be set (10042).
int intgetsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int intsetsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
/// FIONBIO_W (non-zero *argp: non-blocking), FIONREAD_W (bytes waiting; for a datagram socket
/// the size of the next datagram; 0 on a listener), SIOCATMARK_W (stores 0 while an urgent
/// byte waits to be read with MSG_OOB_W, else 1; with SO_OOBINLINE set it always stores 1).
/// Another command gives 10022, a null `argp` 10014.
int intioctlsocket(SOCKET s, int32_t cmd, uint32_t* argp);
/// Polls the sets (any of which may be null); `nfds` is ignored as on Windows. Afterwards each
/// set passed holds only its ready handles (all empty after a time-out). Returns 0 when the
/// poll succeeded, whether anything was ready or not, and -1 on failure: 10022 when every set
/// is empty or the time-out is negative, 10038 for a handle that is not open. A null timeout
/// waits forever, 0 seconds and 0 microseconds only polls.
/// Read set: data, end of stream, a pending connection on a listener, or a socket error. Write
/// set: a connected (or datagram) socket that can take data. Exception set: urgent data
/// waiting, or a failed connection (a refused non-blocking connect; also an established
/// connection that was reset and whose error was not yet read).
int intselect(int nfds, FD_SET_W* readfds, FD_SET_W* writefds, FD_SET_W* exceptfds, const TIMEVAL_W* timeout);
/// Flags: MSG_OOB_W, MSG_DONTROUTE_W; others fail with 10045. Never raises SIGPIPE: a send on
/// a broken connection fails with 10054. Non-blocking with no room: -1 with 10035 (on a
/// blocking socket whose SO_SNDTIMEO_W ran out: 10060).
int intsend(SOCKET s, const char* buf, int len, int flags);
/// As intsend to the address `to` (`tolen` at least 16); a null `to` sends to the connected
/// peer. 10040 for a datagram above MAX_UDP_DATAGRAM.
int intsendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR_IN* to, int tolen);
/// Flags: MSG_OOB_W, MSG_PEEK_W; others fail with 10045. `len` 0 probes the socket without
/// blocking or consuming data: 0 while the connection is sound (data waiting or not) or at
/// its end, -1 with the pending error otherwise (reported once, as by any call). A datagram longer than `len` fills the buffer, is dropped
/// and fails with 10040. MSG_OOB with no urgent byte waiting fails with 10035. 0 at the end of
/// a stream.
int intrecv(SOCKET s, char* buf, int len, int flags);
/// As intrecv, for a caller that knows `s` is a stream socket: the same results through a
/// lighter system call (a stream has no datagram to cut short, so no message header is needed).
int intrecvstream(SOCKET s, char* buf, int len, int flags);
/// As intrecv; `from` (with `*fromlen` at least 16) receives the sender of a datagram and is
/// left untouched for a stream socket.
int intrecvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR_IN* from, int* fromlen);

// Conversions (no start-up needed).
uint32_t inthtonl(uint32_t v);
uint16_t inthtons(uint16_t v);
uint16_t intntohs(uint16_t v);
uint32_t intntohl(uint32_t v);
/// Dotted text to a network-order address; 0xFFFFFFFF (INADDR_NONE) for malformed text.
/// Accepts the forms inet_addr accepts (a, a.b, a.b.c, a.b.c.d; decimal, octal, hex parts).
uint32_t intinet_addr(const char* cp);
/// Dotted text of a network-order address, in a buffer of the calling thread that the next
/// call overwrites.
const char* intinet_ntoa(uint32_t in);

// Database calls; records live in storage of the calling thread until its next call of the
// same kind (host, service, protocol), and callers copy them at once. Null on failure, with
// 11001-11004 as last error: a host that is not known gives 11001; a service or protocol
// that is not listed gives 11004.
/// 10014 when the name (with its NUL) does not fit in `namelen` bytes.
int intgethostname(char* name, int namelen);
/// IPv4 entries of the hosts file (aliases kept) and DNS; dotted text resolves to itself and
/// a null or empty name to the local host.
HOSTENT* intgethostbyname(const char* name);
/// `addr` points to a 4-byte network-order address with `type` AF_INET_W, or to 16 bytes of
/// an IPv6 address with AF_INET6_W (the entry then has address type 23 and no IPv4
/// addresses); another type gives 10047.
HOSTENT* intgethostbyaddr(const char* addr, int len, int type);
/// The IPv6 addresses of the host entry last handed to the calling thread, which a HOSTENT
/// of family 2 cannot carry: those of intgethostbyname or intgethostbyaddr (until the next
/// such call), or of a background look-up while its completion message is handled. Not part
/// of the Windows interface.
const std::vector<Inet6Address>& HostAddresses6();
/// A null `proto` matches any protocol.
SERVENT* intgetservbyname(const char* name, const char* proto);
/// `port` in network byte order (low 16 bits), as the Windows call takes it.
SERVENT* intgetservbyport(int port, const char* proto);
PROTOENT* intgetprotobyname(const char* name);
PROTOENT* intgetprotobynumber(int number);

// Asynchronous calls; they deliver window messages through the per-thread message queue.
/// Registers `s` for the events in `lEvent` (FD_READ 1, FD_WRITE 2, FD_OOB 4, FD_ACCEPT 8,
/// FD_CONNECT 16, FD_CLOSE 32), posted to `hWnd` as message `wMsg` with wParam = s and
/// lParam = (error << 16) | event. Returns 0 or -1: 10022 when the calling thread does not
/// own `hWnd` or `lEvent` has other bits, 10038 when `s` is not a socket.
/// The Windows Sockets rules hold: each event is posted once, then again only after its
/// re-enabling call (a receive for FD_READ, an out-of-band receive for FD_OOB, accept for
/// FD_ACCEPT, a send that failed with 10035 for FD_WRITE), and at once if its condition
/// still holds then. FD_WRITE also comes once a connection is made (after FD_CONNECT, on an
/// accepted socket, on a socket registered while connected, on a datagram socket when
/// registered). FD_CONNECT comes once per non-blocking connect with its outcome (10061,
/// 10060, ...); FD_CLOSE once per connection: 0 for the peer's orderly close (possibly while
/// data is still unread, FD_READ first), 10054 for a reset, 10053 for a connection given up.
/// After the end of a stream FD_READ is posted only while bytes are waiting.
/// The socket becomes non-blocking and cannot be made blocking while registered (FIONBIO 0
/// fails with 10022). A new call replaces the registration; lEvent 0 ends it, as does
/// intclosesocket or the end of the thread. Messages already queued stay queued. An accepted
/// socket takes over its listener's registration. Re-enabling calls may come from any thread.
int intWSAAsyncSelect(SOCKET s, HWND hWnd, uint32_t wMsg, int32_t lEvent);
/// True when the FD_READ notification now being handled for `s` came from a poll that
/// watched for urgent data and saw none, and nothing has re-enabled a notification since:
/// the urgent-data question is then answered without a system call. Answers once per such
/// notification; false when not known. Not part of the Windows interface.
bool UrgentDataKnownAbsent(SOCKET s) noexcept;
/// True when the FD_WRITE notification now being handled for `s` came from a poll that found
/// it writable and nothing has been sent on it since (sending is the only thing that can make
/// it less so): the readiness question is then answered without a system call. Answers once
/// per such notification. Not part of the Windows interface.
bool WritableKnown(SOCKET s) noexcept;
/// The bytes waiting on `s` when the owner of its registration (the calling thread) counted
/// them after the end of the stream, for the notification now being handled, and nothing has
/// been received since: no more can arrive, so that count still holds. False when not known.
/// Not part of the Windows interface.
bool RememberedBytesWaiting(SOCKET s, int& bytes) noexcept;
/// For a reader that set `s` aside and takes it up again: with `postRead`, FD_READ is posted
/// now (its receive re-enables it as usual); otherwise FD_READ is re-enabled, as a receive
/// would, so the next data posts it. With `postClose`, FD_CLOSE (error 0) is posted after it,
/// for a close that was held back. Nothing when `s` is not registered. On the registration's
/// own thread only. Not part of the Windows interface.
void ResumeReadNotices(SOCKET s, bool postRead, bool postClose) noexcept;
/// Starts a background look-up; the record is written into `buf` on the thread owning `hWnd`
/// immediately before message `wMsg` (wParam = handle, lParam = (error << 16) | length) is
/// handled by the window procedure, and only while the look-up is pending and the window
/// exists. Errors of the completion: 11001-11004 (length 0), or 10055 when `buflen` is too
/// small, with the length the record needs (the buffer is then not written).
/// Returns a non-zero request handle, or 0 with the last error set: 10014 for a null buffer,
/// 10022 for an unknown window. A null or empty name means the local host.
HANDLE intWSAAsyncGetHostByName(HWND hWnd, uint32_t wMsg, const char* name, char* buf, int buflen);
/// As intWSAAsyncGetHostByName by address: 10014 for a null `addr` or `len` below 4 (16 for
/// AF_INET6_W), 10047 for a `type` other than AF_INET_W or AF_INET6_W.
HANDLE intWSAAsyncGetHostByAddr(HWND hWnd, uint32_t wMsg, const char* addr, int len, int type, char* buf, int buflen);
/// Drops a pending look-up: its message is never delivered and its buffer never written.
/// -1 with 10022 for a handle that is not pending (completed, cancelled or unknown).
int intWSACancelAsyncRequest(HANDLE handle);

}  // namespace tav::sockintf
