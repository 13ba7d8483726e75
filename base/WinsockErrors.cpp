// Names and meanings of the Windows Sockets error numbers, for hosts and people.
#include <tavsock/WinsockErrors.hpp>

#include <algorithm>
#include <iterator>

namespace tav {

namespace {

struct ErrorEntry {
    int32_t number;
    const char* name;
    const char* meaning;
};

// Every number the socket layer can report, by ascending number (searched by halves).
constexpr ErrorEntry kErrors[] = {
    {10004, "WSAEINTR", "interrupted function call"},
    {10009, "WSAEBADF", "bad file handle"},
    {10013, "WSAEACCES", "permission denied"},
    {10014, "WSAEFAULT", "bad address"},
    {10022, "WSAEINVAL", "invalid argument"},
    {10024, "WSAEMFILE", "too many open sockets"},
    {10035, "WSAEWOULDBLOCK", "operation would block"},
    {10036, "WSAEINPROGRESS", "operation now in progress"},
    {10037, "WSAEALREADY", "operation already in progress"},
    {10038, "WSAENOTSOCK", "not a socket"},
    {10039, "WSAEDESTADDRREQ", "destination address required"},
    {10040, "WSAEMSGSIZE", "message too long"},
    {10041, "WSAEPROTOTYPE", "wrong protocol type for socket"},
    {10042, "WSAENOPROTOOPT", "bad protocol option"},
    {10043, "WSAEPROTONOSUPPORT", "protocol not supported"},
    {10044, "WSAESOCKTNOSUPPORT", "socket type not supported"},
    {10045, "WSAEOPNOTSUPP", "operation not supported"},
    {10046, "WSAEPFNOSUPPORT", "protocol family not supported"},
    {10047, "WSAEAFNOSUPPORT", "address family not supported"},
    {10048, "WSAEADDRINUSE", "address already in use"},
    {10049, "WSAEADDRNOTAVAIL", "address not available"},
    {10050, "WSAENETDOWN", "network is down"},
    {10051, "WSAENETUNREACH", "network is unreachable"},
    {10052, "WSAENETRESET", "network dropped connection on reset"},
    {10053, "WSAECONNABORTED", "connection aborted"},
    {10054, "WSAECONNRESET", "connection reset by peer"},
    {10055, "WSAENOBUFS", "no buffer space available"},
    {10056, "WSAEISCONN", "socket is already connected"},
    {10057, "WSAENOTCONN", "socket is not connected"},
    {10058, "WSAESHUTDOWN", "cannot send after socket shutdown"},
    {10059, "WSAETOOMANYREFS", "too many references"},
    {10060, "WSAETIMEDOUT", "connection timed out"},
    {10061, "WSAECONNREFUSED", "connection refused"},
    {10062, "WSAELOOP", "cannot translate name"},
    {10063, "WSAENAMETOOLONG", "name too long"},
    {10064, "WSAEHOSTDOWN", "host is down"},
    {10065, "WSAEHOSTUNREACH", "no route to host"},
    {10091, "WSASYSNOTREADY", "network subsystem is unavailable"},
    {10092, "WSAVERNOTSUPPORTED", "version not supported"},
    {10093, "WSANOTINITIALISED", "network stack not started"},
    {10107, "WSASYSCALLFAILURE", "system call failure"},
    {11001, "WSAHOST_NOT_FOUND", "host not found"},
    {11002, "WSATRY_AGAIN", "host not found, try again"},
    {11003, "WSANO_RECOVERY", "non-recoverable name server error"},
    {11004, "WSANO_DATA", "no data record of the requested type"},
};

static_assert(std::is_sorted(std::begin(kErrors), std::end(kErrors),
                             [](const ErrorEntry& a, const ErrorEntry& b) { return a.number < b.number; }));

const ErrorEntry* Find(int32_t error) {
    const auto it = std::lower_bound(std::begin(kErrors), std::end(kErrors), error,
                                     [](const ErrorEntry& e, int32_t n) { return e.number < n; });
    return it != std::end(kErrors) && it->number == error ? it : nullptr;
}

}  // namespace

std::string WinsockErrorName(int32_t error) {
    const ErrorEntry* e = Find(error);
    return e ? e->name : "";
}

std::string WinsockErrorText(int32_t error) {
    if (error == 0) return "no error";
    const ErrorEntry* e = Find(error);
    return e ? std::string(e->name) + ": " + e->meaning : "unknown error";
}

}  // namespace tav
