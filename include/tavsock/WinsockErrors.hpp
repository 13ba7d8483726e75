// Windows Sockets error numbers as hosts meet them: named constants and readable texts.
//
// The library reports failed socket calls with the Windows Sockets numbers (LastError, the
// number of a bare SockError, SocketError events, AsyncError), so hosts written for the
// original platform keep testing the same values. These names and texts are for hosts and
// for people reading logs; the library's own error descriptions do not use them.
#pragma once

#include <cstdint>
#include <string>

namespace tav {

/// Every number the socket layer reports, under its Windows Sockets name; in a namespace of
/// their own so that they never clash with the platform headers' macros or other declarations.
namespace wsa {
inline constexpr int32_t WSAEINTR = 10004;
inline constexpr int32_t WSAEBADF = 10009;
inline constexpr int32_t WSAEACCES = 10013;
inline constexpr int32_t WSAEFAULT = 10014;
inline constexpr int32_t WSAEINVAL = 10022;
inline constexpr int32_t WSAEMFILE = 10024;
/// The stack cannot take the call now (send buffer full, connect under way): try later.
inline constexpr int32_t WSAEWOULDBLOCK = 10035;
inline constexpr int32_t WSAEINPROGRESS = 10036;
inline constexpr int32_t WSAEALREADY = 10037;
inline constexpr int32_t WSAENOTSOCK = 10038;
inline constexpr int32_t WSAEDESTADDRREQ = 10039;
inline constexpr int32_t WSAEMSGSIZE = 10040;
inline constexpr int32_t WSAEPROTOTYPE = 10041;
inline constexpr int32_t WSAENOPROTOOPT = 10042;
inline constexpr int32_t WSAEPROTONOSUPPORT = 10043;
inline constexpr int32_t WSAESOCKTNOSUPPORT = 10044;
inline constexpr int32_t WSAEOPNOTSUPP = 10045;
inline constexpr int32_t WSAEPFNOSUPPORT = 10046;
inline constexpr int32_t WSAEAFNOSUPPORT = 10047;
/// Another socket holds the local address and port (bind, listen).
inline constexpr int32_t WSAEADDRINUSE = 10048;
/// The local address is not one of this machine's.
inline constexpr int32_t WSAEADDRNOTAVAIL = 10049;
inline constexpr int32_t WSAENETDOWN = 10050;
inline constexpr int32_t WSAENETUNREACH = 10051;
inline constexpr int32_t WSAENETRESET = 10052;
inline constexpr int32_t WSAECONNABORTED = 10053;
/// The peer reset the connection; pending data was dropped.
inline constexpr int32_t WSAECONNRESET = 10054;
inline constexpr int32_t WSAENOBUFS = 10055;
inline constexpr int32_t WSAEISCONN = 10056;
inline constexpr int32_t WSAENOTCONN = 10057;
inline constexpr int32_t WSAESHUTDOWN = 10058;
inline constexpr int32_t WSAETOOMANYREFS = 10059;
inline constexpr int32_t WSAETIMEDOUT = 10060;
/// Nothing listens at the peer's address and port.
inline constexpr int32_t WSAECONNREFUSED = 10061;
inline constexpr int32_t WSAELOOP = 10062;
inline constexpr int32_t WSAENAMETOOLONG = 10063;
inline constexpr int32_t WSAEHOSTDOWN = 10064;
inline constexpr int32_t WSAEHOSTUNREACH = 10065;
inline constexpr int32_t WSASYSNOTREADY = 10091;
inline constexpr int32_t WSAVERNOTSUPPORTED = 10092;
/// No socket manager (or WSAStartup) has started the network stack on this thread.
inline constexpr int32_t WSANOTINITIALISED = 10093;
inline constexpr int32_t WSASYSCALLFAILURE = 10107;
/// Look-ups: the name is not known.
inline constexpr int32_t WSAHOST_NOT_FOUND = 11001;
/// Look-ups: a temporary failure of the resolver; trying again may succeed.
inline constexpr int32_t WSATRY_AGAIN = 11002;
inline constexpr int32_t WSANO_RECOVERY = 11003;
/// Look-ups: the name is known but has no record of the kind asked for.
inline constexpr int32_t WSANO_DATA = 11004;
}  // namespace wsa

/// The Windows Sockets name of `error` ("WSAEADDRINUSE" for 10048), or an empty text for a
/// number that is not a Windows Sockets error (0, library error numbers, anything else).
std::string WinsockErrorName(int32_t error);

/// Name and meaning of `error`: "WSAEADDRINUSE: address already in use" for 10048,
/// "WSAHOST_NOT_FOUND: host not found" for 11001; "no error" for 0 and "unknown error"
/// for a number without a name.
std::string WinsockErrorText(int32_t error);

}  // namespace tav
