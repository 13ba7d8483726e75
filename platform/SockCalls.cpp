// Socket life cycle and connection calls of the socket interface layer.
#include "platform/AsyncSelectHooks.hpp"
#include "platform/SockAddrRecord.hpp"
#include "platform/SockIntf.hpp"
#include "platform/SockLayer.hpp"
#include "platform/SocketFacts.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tav::sockintf {

using detail::Fail;
using detail::FailErrno;
using detail::kAddrLen;
using detail::NativeAddr;
using detail::Started;

namespace {

// A socket bound by BindForConnect whose port is still to be chosen by its connect: the port
// is taken now, as a plain bind would have taken it, so that the address read is the one the
// socket keeps. False when the socket is not such a socket or no port could be had.
bool ClaimDeferredPort(SOCKET s, NativeAddr bound) {
    int deferred = 0;
    socklen_t len = sizeof deferred;
    if (::getsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &deferred, &len) != 0 || deferred == 0) return false;
    const int off = 0;
    if (::setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &off, sizeof off) != 0) return false;
    if (bound.Family() == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(bound.ss).sin6_port = 0;
    else
        reinterpret_cast<sockaddr_in&>(bound.ss).sin_port = 0;
    return ::bind(s, bound.Ptr(), bound.len) == 0;
}

/// The native family of a socket of this layer.
int FamilyOf(SOCKET s) { return (facts::Load(s) & facts::kInet6) != 0 ? AF_INET6 : AF_INET; }

/// Binds `s` to the any address of its family, port 0.
void BindAny(SOCKET s) {
    const NativeAddr any = NativeAddr::Any(FamilyOf(s));
    (void)::bind(s, any.Ptr(), any.len);
}

/// Makes the bind that BindForConnect left on paper, as it would have been made then.
void MakeDeferredBind(SOCKET s) {
    facts::Remove(s, facts::kBindDeferred);
    const int on = 1;
    (void)::setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    BindAny(s);
}

/// Whether the bind of `a` may stay on paper: a stream socket of this layer, never bound nor
/// connected, bound to any address with port 0 and the port left to the connect. Such a bind
/// changes nothing the kernel keeps (no address, no port), so the connect finds the socket as
/// it would after the bind. The bind is made when something could tell the difference (a
/// second bind, listen, reading the local address).
bool MayDeferBind(SOCKET s, const NativeAddr& a) {
    constexpr facts::Facts kFresh = facts::kKnown | facts::kNeverConnected | facts::kUnbound;
    const facts::Facts f = facts::Load(s);
    return (f & (kFresh | facts::kDatagram)) == kFresh && a.Family() == FamilyOf(s) && a.Port() == 0 && a.IsAny();
}

/// A blocking connect interrupted by a signal goes on in the kernel; calling connect again
/// would give EALREADY. Waits for it to finish and returns its errno (0 on success).
int FinishInterruptedConnect(SOCKET s) {
    pollfd p{s, POLLOUT, 0};
    if (detail::RetryEintr([&] { return ::poll(&p, 1, -1); }) < 0) return errno;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

/// Errors accept reports for a connection that died in the queue; Windows never shows them,
/// so the next pending connection (or would-block) is taken instead.
bool IsDeadQueuedConnection(int err) {
    switch (err) {
    case EINTR:
    case EPROTO:
    case ENONET:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN: return true;
    default: return false;
    }
}

/// After a 0 from connect: whether the call only collected a connection that an earlier
/// non-blocking connect made. Linux answers that once with 0 and EISCONN from then on;
/// Windows says 10056 every time. A non-blocking TCP connect never completes within the call
/// itself, so 0 on such a socket can only mean the earlier one. Costs two system calls, on
/// that path only.
bool CompletedEarlier(SOCKET s) {
    const int fl = ::fcntl(s, F_GETFL);
    if (fl < 0 || (fl & O_NONBLOCK) == 0) return false;
    int type = 0;
    socklen_t len = sizeof type;
    return ::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}

/// Whether `s` has an address of its own. Linux picks a port on every interface for a
/// listener that was never bound; Windows refuses with 10022, and a listener nobody asked
/// for, open to every interface, is not something to make silently.
bool HasLocalAddress(SOCKET s) {
    NativeAddr a;
    a.len = sizeof a.ss;
    if (::getsockname(s, a.Ptr(), &a.len) != 0) return true;  // listen reports it
    return (a.Family() != AF_INET && a.Family() != AF_INET6) || a.Port() != 0;
}

/// Options a socket may have been given before it changes family, carried to the new one.
constexpr struct {
    int level, name;
} kCarriedOptions[] = {
    {SOL_SOCKET, SO_DEBUG},     {SOL_SOCKET, SO_REUSEADDR}, {SOL_SOCKET, SO_KEEPALIVE},
    {SOL_SOCKET, SO_DONTROUTE}, {SOL_SOCKET, SO_BROADCAST}, {SOL_SOCKET, SO_LINGER},
    {SOL_SOCKET, SO_OOBINLINE}, {SOL_SOCKET, SO_SNDBUF},    {SOL_SOCKET, SO_RCVBUF},
    {SOL_SOCKET, SO_RCVLOWAT},  {SOL_SOCKET, SO_SNDTIMEO},  {SOL_SOCKET, SO_RCVTIMEO},
    {IPPROTO_TCP, TCP_NODELAY},
};

/// Gives the new socket `to` the options `from` was given. Only those that differ from the new
/// socket's own are set: setting a buffer size fixes it, where the stack would grow it as a
/// connection needs (a fixed 16 KiB send buffer cuts loopback throughput fortyfold).
void CarryOptions(int from, int to) {
    for (const auto& o : kCarriedOptions) {
        alignas(8) char value[32];
        alignas(8) char fresh[32];
        socklen_t len = sizeof value;
        socklen_t freshLen = sizeof fresh;
        if (::getsockopt(from, o.level, o.name, value, &len) != 0) continue;
        if (::getsockopt(to, o.level, o.name, fresh, &freshLen) == 0 && freshLen == len &&
            std::memcmp(value, fresh, len) == 0)
            continue;
        if (o.name == SO_SNDBUF || o.name == SO_RCVBUF) {
            int v;  // the kernel reports twice what was set and doubles what is set
            std::memcpy(&v, value, sizeof v);
            v /= 2;
            std::memcpy(value, &v, sizeof v);
        }
        (void)::setsockopt(to, o.level, o.name, value, len);
    }
}

/// Gives a stream socket that has no address and no connection yet the family of the address
/// it is about to be bound or connected to, under the same handle: a new socket of that
/// family, with the options the old one was given, takes its descriptor number. Such a socket is watched
/// for nothing (it can give no notification yet), so a registration for notifications stays
/// as it was. 0, or the Windows error: 10047 for a socket that cannot change any more.
int MatchFamily(SOCKET s, int family) {
    const facts::Facts f = facts::Load(s);
    if ((f & facts::kKnown) == 0 || family == FamilyOf(s)) return 0;
    if ((family != AF_INET && family != AF_INET6) || (f & facts::kDatagram) != 0 ||
        (f & facts::kNeverConnected) == 0 || (f & (facts::kUnbound | facts::kBindDeferred)) == 0)
        return WSAEAFNOSUPPORT;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | ((f & facts::kNonBlocking) ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return WsaErrorFromErrno(errno);
    if (family == AF_INET6) {
        const int off = 0;
        (void)::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    // A socket never given an option through the layer has the stack's defaults: nothing to carry.
    if ((f & facts::kOptionsSet) != 0) CarryOptions(s, fd);
    if (::dup3(fd, s, O_CLOEXEC) < 0) {
        const int err = errno;
        ::close(fd);
        return WsaErrorFromErrno(err);
    }
    ::close(fd);
    if (family == AF_INET6)
        facts::Add(s, facts::kInet6);
    else
        facts::Remove(s, facts::kInet6);
    return 0;
}

/// The native address of the record `name` for socket `s`, the socket first taking the
/// record's family when it still may. 0 or the Windows error.
int AddressFor(SOCKET s, const SOCKADDR_IN* name, int namelen, NativeAddr& out) {
    if (name == nullptr || namelen < kAddrLen) return WSAEFAULT;
    // A stream socket still free takes the record's family; one that is not keeps its own
    // (an IPv6 one then reaches IPv4 addresses as IPv4-mapped ones).
    const bool inet6Record = name->sin_family == AF_INET6_W;
    if (inet6Record != ((facts::Load(s) & facts::kInet6) != 0) && (inet6Record || name->sin_family == AF_INET_W)) {
        const int err = MatchFamily(s, inet6Record ? AF_INET6 : AF_INET);
        if (err != 0 && inet6Record) return err;
    }
    return detail::RecordToNative(name, namelen, (facts::Load(s) & facts::kInet6) != 0, out);
}

}  // namespace

namespace {

SOCKET OpenSocket(int af, int type, int protocol, bool nonBlocking) {
    if (!Started()) return INVALID_SOCKET;
    if (af != AF_INET_W && af != AF_INET6_W) return Fail(WSAEAFNOSUPPORT);
    int nativeType = 0;
    switch (type) {
    case SOCK_STREAM_W: nativeType = SOCK_STREAM; break;
    case SOCK_DGRAM_W: nativeType = SOCK_DGRAM; break;
    default: return Fail(WSAESOCKTNOSUPPORT);
    }
    if (protocol != 0 && protocol != IPPROTO_TCP_W && protocol != IPPROTO_UDP_W) return Fail(WSAEPROTONOSUPPORT);
    const bool inet6 = af == AF_INET6_W;
    const int fd = ::socket(inet6 ? AF_INET6 : AF_INET, nativeType | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0),
                            protocol);
    if (fd < 0) return FailErrno();
    if (inet6) {
        // Dual stack whatever the system default: "::" takes IPv4 peers too.
        const int off = 0;
        (void)::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    facts::Facts f = facts::kKnown | (inet6 ? facts::kInet6 : 0);
    f |= nativeType == SOCK_DGRAM ? facts::kDatagram : facts::kNeverConnected | facts::kUnbound;
    if (nonBlocking) f |= facts::kNonBlocking;
    facts::Open(fd, f);
    return fd;
}

}  // namespace

SOCKET intsocket(int af, int type, int protocol) {
    return OpenSocket(af, type, protocol, false);
}

SOCKET NonBlockingSocket(int af, int type, int protocol) {
    return OpenSocket(af, type, protocol, true);
}

int intclosesocket(SOCKET s) {
    if (!Started()) return SOCKET_ERROR;
    return CloseSocketHandle(s);
}

int CloseSocketHandle(SOCKET s) {
    if (s < 0) return Fail(WSAENOTSOCK);
    detail::HookClosing(s);
    facts::Close(s);
    // On Linux the descriptor is released even when close reports EINTR; closing it again
    // could close a number another thread has just been given.
    if (::close(s) != 0 && errno != EINTR) return FailErrno();
    return 0;
}

int intbind(SOCKET s, const SOCKADDR_IN* name, int namelen) {
    if (!Started()) return SOCKET_ERROR;
    NativeAddr a;
    if (const int err = AddressFor(s, name, namelen, a); err != 0) return Fail(err);
    if (facts::Load(s) & facts::kBindDeferred) MakeDeferredBind(s);
    facts::Remove(s, facts::kUnbound);
    if (::bind(s, a.Ptr(), a.len) != 0) return FailErrno();
    return 0;
}

int AdoptFamily(SOCKET s, int af) {
    if (!Started()) return SOCKET_ERROR;
    if (af != AF_INET_W && af != AF_INET6_W) return Fail(WSAEAFNOSUPPORT);
    if (const int err = MatchFamily(s, af == AF_INET6_W ? AF_INET6 : AF_INET); err != 0) return Fail(err);
    return 0;
}

int BindForConnect(SOCKET s, const SOCKADDR_IN* name, int namelen) {
    if (!Started()) return SOCKET_ERROR;
    NativeAddr a;
    if (const int err = AddressFor(s, name, namelen, a); err != 0) return Fail(err);
    if (MayDeferBind(s, a)) {
        facts::Add(s, facts::kBindDeferred);
        facts::Remove(s, facts::kUnbound);
        return 0;
    }
    if (facts::Load(s) & facts::kBindDeferred) MakeDeferredBind(s);
    facts::Remove(s, facts::kUnbound);
    if (a.Port() == 0) {
        // Without the option the stack picks a port here, not knowing the destination, and
        // must skip every port still in TIME_WAIT from earlier connections; after a few
        // thousand connections in a row it runs out. Left to the connect, the port only has
        // to be unused towards that one destination. Stacks without the option bind as usual.
        const int on = 1;
        (void)::setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    }
    if (::bind(s, a.Ptr(), a.len) != 0) return FailErrno();
    return 0;
}

int intconnect(SOCKET s, const SOCKADDR_IN* name, int namelen) {
    if (!Started()) return SOCKET_ERROR;
    NativeAddr a;
    if (const int err = AddressFor(s, name, namelen, a); err != 0) return Fail(err);
    // A bind left on paper is made by the connect itself, as the port it leaves open is.
    // A connect to no address ends the connection and empties what it had received.
    facts::Remove(s, facts::kNeverConnected | facts::kUnbound | facts::kBindDeferred | facts::kWaitingCounted |
                          facts::kAborted);
    int err = ::connect(s, a.Ptr(), a.len) == 0 ? 0 : errno;
    if (err == EINTR) err = FinishInterruptedConnect(s);
    if (err == 0 && CompletedEarlier(s)) return Fail(WSAEISCONN);
    if (err == 0) {
        // A connection made at once still owes its FD_CONNECT (and FD_WRITE) notifications.
        detail::HookReenable(s, FD_CONNECT_W);
        return 0;
    }
    const int wsa = WsaErrorFromErrno(err);
    if (wsa == WSAEWOULDBLOCK) detail::HookReenable(s, FD_CONNECT_W);
    return Fail(wsa);
}

int intlisten(SOCKET s, int backlog) {
    if (!Started()) return SOCKET_ERROR;
    if (facts::Load(s) & facts::kBindDeferred) MakeDeferredBind(s);
    facts::Remove(s, facts::kNeverConnected | facts::kUnbound);
    if (!HasLocalAddress(s)) return Fail(WSAEINVAL);
    if (::listen(s, backlog) != 0) return FailErrno();
    detail::HookReenable(s, FD_ACCEPT_W);
    return 0;
}

SOCKET intaccept(SOCKET s, SOCKADDR_IN* addr, int* addrlen) {
    if (!Started()) return INVALID_SOCKET;
    if (addr != nullptr && (addrlen == nullptr || *addrlen < kAddrLen)) return Fail(WSAEFAULT);
    // Linux accept does not pass O_NONBLOCK on; Windows does. A listener registered for
    // notifications is non-blocking until unregistered (making it blocking is refused);
    // otherwise one look at its flags is the price of that rule.
    bool nonBlocking = true;
    if (!detail::HookRegistered(s)) {
        const int listenerFlags = ::fcntl(s, F_GETFL);
        if (listenerFlags < 0) return FailErrno();
        nonBlocking = (listenerFlags & O_NONBLOCK) != 0;
    }
    const int flags = SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
    NativeAddr peer;
    int fd;
    do {
        peer.len = sizeof peer.ss;
        fd = ::accept4(s, peer.Ptr(), &peer.len, flags);
    } while (fd < 0 && IsDeadQueuedConnection(errno));
    const int err = errno;
    const facts::Facts inet6 = facts::Load(s) & facts::kInet6;
    if (fd >= 0) facts::Open(fd, facts::kKnown | inet6 | (nonBlocking ? facts::kNonBlocking : 0));
    detail::HookAccepted(s, fd < 0 ? INVALID_SOCKET : fd);
    if (fd < 0) {
        if (err == EAGAIN) return Fail(nonBlocking ? WSAEWOULDBLOCK : WSAETIMEDOUT);
        return Fail(WsaErrorFromErrno(err));
    }
    // An IPv6 peer with room for an IPv4 record only: the connection is taken, so it goes.
    if (addr != nullptr && detail::NativeToRecord(peer, addr, addrlen) != 0) {
        (void)CloseSocketHandle(fd);
        return Fail(WSAEFAULT);
    }
    return fd;
}

int intgetsockname(SOCKET s, SOCKADDR_IN* name, int* namelen) {
    if (!Started()) return SOCKET_ERROR;
    if (name == nullptr || namelen == nullptr || *namelen < kAddrLen) return Fail(WSAEFAULT);
    if (facts::Load(s) & facts::kBindDeferred) {
        // The bind on paper and the port taken now, in one: a plain bind to any address.
        facts::Remove(s, facts::kBindDeferred);
        BindAny(s);
    }
    NativeAddr a;
    a.len = sizeof a.ss;
    if (::getsockname(s, a.Ptr(), &a.len) != 0) return FailErrno();
    if (a.Port() == 0 && ClaimDeferredPort(s, a)) {
        a.len = sizeof a.ss;
        if (::getsockname(s, a.Ptr(), &a.len) != 0) return FailErrno();
    }
    // Linux answers 0.0.0.0:0 for a socket that has no address yet; Windows refuses.
    if (a.Port() == 0 && a.IsAny()) return Fail(WSAEINVAL);
    if (detail::NativeToRecord(a, name, namelen) != 0) return Fail(WSAEFAULT);
    return 0;
}

int intgetpeername(SOCKET s, SOCKADDR_IN* name, int* namelen) {
    if (!Started()) return SOCKET_ERROR;
    if (name == nullptr || namelen == nullptr || *namelen < kAddrLen) return Fail(WSAEFAULT);
    NativeAddr a;
    a.len = sizeof a.ss;
    if (::getpeername(s, a.Ptr(), &a.len) != 0) return FailErrno();
    if (detail::NativeToRecord(a, name, namelen) != 0) return Fail(WSAEFAULT);
    return 0;
}

}  // namespace tav::sockintf
