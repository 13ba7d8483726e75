// Socket options and ioctl commands: Windows numbering and value formats at the surface,
// Linux options underneath.
#include "platform/AsyncSelectHooks.hpp"
#include "platform/SockIntf.hpp"
#include "platform/SockLayer.hpp"
#include "platform/SocketFacts.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tav::sockintf {

using detail::Fail;
using detail::FailErrno;
using detail::Started;

namespace {

/// How an option's 32-bit Windows value maps onto the Linux option.
enum class Form {
    Int,          // same int on both sides
    Linger,       // Windows {u_short, u_short} against struct linger
    DontLinger,   // inverted l_onoff of SO_LINGER
    Millis,       // DWORD milliseconds against struct timeval
    BufferSize,   // Linux reports twice the size that was set
    Error,        // errno on Linux, Windows number at the surface
    Type,         // SOCK_STREAM/SOCK_DGRAM against 1/2
    MaxMsgSize,   // answered from the socket type
};

struct Option {
    int level = 0;
    int name = 0;
    Form form = Form::Int;
    bool readOnly = false;
};

/// The Linux option for a Windows (level, name); 0 or the Windows error for an unknown one.
int Lookup(int level, int optname, Option& out) {
    if (level == IPPROTO_TCP_W) {
        if (optname != TCP_NODELAY_W) return WSAENOPROTOOPT;
        out = {IPPROTO_TCP, TCP_NODELAY, Form::Int, false};
        return 0;
    }
    if (level == IPPROTO_IPV6_W) {
        if (optname != IPV6_V6ONLY_W) return WSAENOPROTOOPT;
        out = {IPPROTO_IPV6, IPV6_V6ONLY, Form::Int, false};
        return 0;
    }
    if (level != SOL_SOCKET_W) return WSAEINVAL;
    switch (optname) {
    case SO_DEBUG_W: out = {SOL_SOCKET, SO_DEBUG, Form::Int, false}; break;
    case SO_ACCEPTCONN_W: out = {SOL_SOCKET, SO_ACCEPTCONN, Form::Int, true}; break;
    case SO_REUSEADDR_W: out = {SOL_SOCKET, SO_REUSEADDR, Form::Int, false}; break;
    case SO_KEEPALIVE_W: out = {SOL_SOCKET, SO_KEEPALIVE, Form::Int, false}; break;
    case SO_DONTROUTE_W: out = {SOL_SOCKET, SO_DONTROUTE, Form::Int, false}; break;
    case SO_BROADCAST_W: out = {SOL_SOCKET, SO_BROADCAST, Form::Int, false}; break;
    case SO_LINGER_W: out = {SOL_SOCKET, SO_LINGER, Form::Linger, false}; break;
    case SO_DONTLINGER_W: out = {SOL_SOCKET, SO_LINGER, Form::DontLinger, false}; break;
    case SO_OOBINLINE_W: out = {SOL_SOCKET, SO_OOBINLINE, Form::Int, false}; break;
    case SO_SNDBUF_W: out = {SOL_SOCKET, SO_SNDBUF, Form::BufferSize, false}; break;
    case SO_RCVBUF_W: out = {SOL_SOCKET, SO_RCVBUF, Form::BufferSize, false}; break;
    case SO_SNDLOWAT_W: out = {SOL_SOCKET, SO_SNDLOWAT, Form::Int, false}; break;
    case SO_RCVLOWAT_W: out = {SOL_SOCKET, SO_RCVLOWAT, Form::Int, false}; break;
    case SO_SNDTIMEO_W: out = {SOL_SOCKET, SO_SNDTIMEO, Form::Millis, false}; break;
    case SO_RCVTIMEO_W: out = {SOL_SOCKET, SO_RCVTIMEO, Form::Millis, false}; break;
    case SO_ERROR_W: out = {SOL_SOCKET, SO_ERROR, Form::Error, true}; break;
    case SO_TYPE_W: out = {SOL_SOCKET, SO_TYPE, Form::Type, true}; break;
    case SO_MAX_MSG_SIZE_W: out = {SOL_SOCKET, SO_TYPE, Form::MaxMsgSize, true}; break;
    default: return WSAENOPROTOOPT;
    }
    return 0;
}

/// The Windows linger record: two unsigned shorts.
struct WinLinger {
    uint16_t onoff;
    uint16_t seconds;
};
static_assert(sizeof(WinLinger) == 4);

int GetNative(SOCKET s, const Option& o, void* value, socklen_t size) {
    socklen_t len = size;
    return ::getsockopt(s, o.level, o.name, value, &len);
}

/// Reads the option into the 32-bit Windows value `out`; 0 or -1 with errno set.
int Get(SOCKET s, const Option& o, uint32_t& out) {
    switch (o.form) {
    case Form::Linger:
    case Form::DontLinger: {
        linger l{};
        if (GetNative(s, o, &l, sizeof l) != 0) return -1;
        if (o.form == Form::DontLinger) {
            out = l.l_onoff == 0 ? 1 : 0;
        } else {
            const WinLinger w{static_cast<uint16_t>(l.l_onoff != 0 ? 1 : 0),
                              static_cast<uint16_t>(std::clamp(l.l_linger, 0, 65535))};
            std::memcpy(&out, &w, sizeof w);
        }
        return 0;
    }
    case Form::Millis: {
        timeval tv{};
        if (GetNative(s, o, &tv, sizeof tv) != 0) return -1;
        out = static_cast<uint32_t>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
        return 0;
    }
    default: break;
    }
    int v = 0;
    if (GetNative(s, o, &v, sizeof v) != 0) return -1;
    switch (o.form) {
    case Form::BufferSize: v /= 2; break;
    case Form::Error: v = WsaErrorFromErrno(v); break;
    case Form::Type: v = v == SOCK_STREAM ? SOCK_STREAM_W : v == SOCK_DGRAM ? SOCK_DGRAM_W : v; break;
    case Form::MaxMsgSize: v = v == SOCK_DGRAM ? MAX_UDP_DATAGRAM : MAX_STREAM_MESSAGE; break;
    default: break;
    }
    out = static_cast<uint32_t>(v);
    return 0;
}

/// Writes the 32-bit Windows value `in`; 0 or -1 with errno set.
int Set(SOCKET s, const Option& o, uint32_t in) {
    switch (o.form) {
    case Form::Linger: {
        WinLinger w{};
        std::memcpy(&w, &in, sizeof w);
        const linger l{w.onoff != 0 ? 1 : 0, w.seconds};
        return ::setsockopt(s, o.level, o.name, &l, sizeof l);
    }
    case Form::DontLinger: {
        // Turning lingering back on keeps the time set before; Linux keeps it while off.
        linger l{};
        if (in == 0 && GetNative(s, o, &l, sizeof l) != 0) return -1;
        l.l_onoff = in == 0 ? 1 : 0;
        return ::setsockopt(s, o.level, o.name, &l, sizeof l);
    }
    case Form::Millis: {
        const timeval tv{static_cast<time_t>(in / 1000), static_cast<suseconds_t>((in % 1000) * 1000)};
        if (in != 0) detail::gTimeoutsInUse.store(true, std::memory_order_relaxed);
        return ::setsockopt(s, o.level, o.name, &tv, sizeof tv);
    }
    default: {
        const int v = static_cast<int>(in);
        return ::setsockopt(s, o.level, o.name, &v, sizeof v);
    }
    }
}

/// SIOCATMARK the Windows way: 0 while an urgent byte waits to be read with MSG_OOB. Peeking
/// at it is the one question Linux answers directly; its own SIOCATMARK tells where the
/// read position stands, not whether the byte is there.
int AtMark(SOCKET s, uint32_t& out) {
    char byte;
    const ssize_t n = detail::RetryEintr([&] { return ::recv(s, &byte, 1, MSG_OOB | MSG_PEEK | MSG_DONTWAIT); });
    if (n > 0) {
        out = 0;
        return 0;
    }
    // EINVAL: no urgent byte (or it was read, or it is kept inline); EAGAIN: announced but
    // not yet arrived, or a datagram socket; ENOTCONN/0: the connection is gone.
    if (n == 0 || errno == EINVAL || errno == EAGAIN || errno == ENOTCONN || errno == EOPNOTSUPP) {
        out = 1;
        return 0;
    }
    return -1;
}

}  // namespace

namespace detail {

int BytesWaiting(int fd, int& out) noexcept {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) {
        // A listener has no data; Linux refuses the question there.
        if (errno != EINVAL) return -1;
        n = 0;
    } else if (n == 0) {
        // Nothing before an urgent mark, or nothing at all: only at the mark can more wait.
        // One more system call when nothing is waiting; none while data flows.
        int atMark = 0;
        if (::ioctl(fd, SIOCATMARK, &atMark) == 0 && atMark != 0) {
            // A peek that skips the copy counts what one receive would return: it steps over
            // the urgent byte at the mark, stops at the end of the stream, and takes nothing.
            // A raw system call, because the buffer is never written (no buffer is given) and
            // the sanitizers' wrappers of recv would check one as if it were.
            const long r = RetryEintr([&] {
                return ::syscall(SYS_recvfrom, fd, nullptr, size_t{1} << 30, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT,
                                 nullptr, nullptr);
            });
            if (r > 0) n = static_cast<int>(r);
        }
    }
    out = n;
    return 0;
}

}  // namespace detail

int intgetsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    if (!Started()) return SOCKET_ERROR;
    Option o;
    if (const int err = Lookup(level, optname, o); err != 0) return Fail(err);
    // Linux answers EOPNOTSUPP or ENOPROTOOPT for an IPv6 option of an IPv4 socket, by kernel.
    if (level == IPPROTO_IPV6_W && (facts::Load(s) & (facts::kKnown | facts::kInet6)) == facts::kKnown)
        return Fail(WSAENOPROTOOPT);
    if (optval == nullptr || optlen == nullptr || *optlen < 4) return Fail(WSAEFAULT);
    uint32_t v = 0;
    if (Get(s, o, v) != 0) return FailErrno();
    std::memcpy(optval, &v, sizeof v);
    *optlen = 4;
    return 0;
}

int intsetsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    if (!Started()) return SOCKET_ERROR;
    Option o;
    if (const int err = Lookup(level, optname, o); err != 0) return Fail(err);
    // Linux answers EOPNOTSUPP or ENOPROTOOPT for an IPv6 option of an IPv4 socket, by kernel.
    if (level == IPPROTO_IPV6_W && (facts::Load(s) & (facts::kKnown | facts::kInet6)) == facts::kKnown)
        return Fail(WSAENOPROTOOPT);
    if (o.readOnly) return Fail(WSAENOPROTOOPT);
    if (optval == nullptr || optlen < 4) return Fail(WSAEFAULT);
    uint32_t v = 0;
    std::memcpy(&v, optval, sizeof v);
    if (Set(s, o, v) != 0) return FailErrno();
    if ((facts::Load(s) & facts::kOptionsSet) == 0) facts::Add(s, facts::kOptionsSet);
    return 0;
}

int intioctlsocket(SOCKET s, int32_t cmd, uint32_t* argp) {
    if (!Started()) return SOCKET_ERROR;
    if (cmd != FIONBIO_W && cmd != FIONREAD_W && cmd != SIOCATMARK_W) return Fail(WSAEINVAL);
    if (argp == nullptr) return Fail(WSAEFAULT);
    switch (cmd) {
    case FIONBIO_W: {
        int on = *argp != 0 ? 1 : 0;  // one ioctl, no F_GETFL/F_SETFL pair
        // Notifications assume calls that never wait, so Windows keeps such a socket
        // non-blocking until its registration is cancelled.
        if (on == 0 && detail::HookRegistered(s)) return Fail(WSAEINVAL);
        if (::ioctl(s, FIONBIO, &on) != 0) return FailErrno();
        if (on != 0)
            facts::Add(s, facts::kNonBlocking);
        else
            facts::Remove(s, facts::kNonBlocking);
        return 0;
    }
    case FIONREAD_W: {
        int n = 0;
        if (!RememberedBytesWaiting(s, n) && detail::BytesWaiting(s, n) != 0) return FailErrno();
        *argp = static_cast<uint32_t>(n);
        return 0;
    }
    default: {
        uint32_t v = 1;
        if (AtMark(s, v) != 0) return FailErrno();
        *argp = v;
        return 0;
    }
    }
}

}  // namespace tav::sockintf
