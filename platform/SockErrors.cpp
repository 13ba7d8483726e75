// The errno to Windows Sockets mapping and the per-thread last error.
#include "platform/SockIntf.hpp"
#include "platform/SockLayer.hpp"

#include <fcntl.h>

#include <cerrno>

namespace tav::sockintf {

int WsaErrorFromErrno(int err) noexcept {
    switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;  // retried by the layer; listed so the mapping is total
    case EBADF:
    case ENOTSOCK: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;  // EPERM: a firewall rule refused the packet
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    // EWOULDBLOCK is EAGAIN on Linux. A non-blocking connect under way is would-block in
    // Windows Sockets 1.1, not WSAEINPROGRESS (which means a blocking call is active).
    case EAGAIN:
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN:
    case EIO: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    // EPIPE: the connection is gone (reset, or closed for sending); MSG_NOSIGNAL turned the
    // signal into this error.
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSASYSCALLFAILURE;
    }
}

int intWSAGetLastError() { return detail::tLastError; }

void intWSASetLastError(int error) { detail::tLastError = error; }

namespace detail {

int WouldBlockError(SOCKET s, bool dontWait) noexcept {
    if (dontWait || !gTimeoutsInUse.load(std::memory_order_relaxed)) [[likely]]
        return WSAEWOULDBLOCK;
    const int fl = ::fcntl(s, F_GETFL);
    return (fl >= 0 && (fl & O_NONBLOCK) == 0) ? WSAETIMEDOUT : WSAEWOULDBLOCK;
}

}  // namespace detail
}  // namespace tav::sockintf
