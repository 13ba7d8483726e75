// Plain POSIX sockets on 127.0.0.1 (or ::1) for tests and benchmarks: peers that do what the library
// would never do itself (urgent bytes, resets, a listener it does not own), free ports, and
// waiting for a server to listen. Descriptors are owned and closed by the objects.
#pragma once

#include "support/Process.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace tav::support {

/// An owned descriptor, closed at the end (or by Close()).
class Fd {
public:
    explicit Fd(int fd = -1) : mFd(fd) {}
    Fd(Fd&& o) noexcept : mFd(std::exchange(o.mFd, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            Close();
            mFd = std::exchange(o.mFd, -1);
        }
        return *this;
    }
    ~Fd() { Close(); }
    int Get() const { return mFd; }
    void Close() {
        if (mFd >= 0) ::close(std::exchange(mFd, -1));
    }

private:
    int mFd;
};

inline sockaddr_in LoopbackAddr(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

/// The loopback address of `family` (AF_INET: 127.0.0.1, AF_INET6: ::1) at `port`.
inline sockaddr_storage LoopbackOf(uint16_t port, int family) {
    sockaddr_storage s{};
    if (family == AF_INET6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(s);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in&>(s) = LoopbackAddr(port);
    }
    return s;
}
inline socklen_t AddrLength(int family) { return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in); }

/// A listener on the loopback address of `family` at `port` (0: one the kernel picks,
/// written back); an empty Fd when the port is taken. `flags` go to socket() (e.g.
/// SOCK_NONBLOCK).
inline Fd Listen(uint16_t& port, int flags = 0, int family = AF_INET) {
    Fd l(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
    sockaddr_storage a = LoopbackOf(port, family);
    socklen_t len = AddrLength(family);
    if (l.Get() < 0 || ::bind(l.Get(), reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(l.Get(), 128) != 0 ||
        ::getsockname(l.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return Fd();
    port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(a).sin6_port : reinterpret_cast<sockaddr_in&>(a).sin_port);
    return l;
}

/// A port that was free a moment ago (for servers that must be told their port).
inline uint16_t FreePort(int family = AF_INET) {
    uint16_t port = 0;
    Listen(port, 0, family);
    return port;
}

/// A blocking client connected to the loopback address of `family` at `port` (the
/// connection completes in the listener's backlog, before anyone accepts it); empty when
/// refused.
inline Fd Connect(uint16_t port, int family = AF_INET) {
    Fd c(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_storage a = LoopbackOf(port, family);
    if (::connect(c.Get(), reinterpret_cast<const sockaddr*>(&a), AddrLength(family)) != 0) return Fd();
    return c;
}

/// Waits (20 s at most) until something accepts connections on the loopback address of
/// `family` at `port`; false when `server` ended first. Servers give no sign of readiness,
/// so refused attempts are repeated after a short pause.
inline bool WaitListening(Process& server, uint16_t port, int family = AF_INET) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && server.Running()) {
        if (Connect(port, family).Get() >= 0) return true;
        ::poll(nullptr, 0, 10);
    }
    return false;
}

inline bool SendAll(const Fd& fd, const std::string& data, int flags = 0) {
    return ::send(fd.Get(), data.data(), data.size(), flags | MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

/// Closes with a reset instead of an orderly close.
inline void Reset(Fd& fd) {
    const linger lg{1, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    fd.Close();
}

/// True when `fd` shows the end of its stream (the other side closed) within `ms`.
inline bool SeesEnd(const Fd& fd, int ms = 10000) {
    pollfd p{fd.Get(), POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return false;
    char b;
    return ::recv(fd.Get(), &b, 1, MSG_DONTWAIT) == 0;
}

/// Whether descriptor `fd` is open in this process.
inline bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace tav::support
