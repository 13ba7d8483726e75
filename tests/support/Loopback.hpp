// Plain POSIX sockets on 127.0.0.1 (or ::1 where asked) for tests and benchmarks: peers that do what the library
// would never do itself (urgent bytes, resets, a listener it does not own), free ports, and
// waiting for a server to listen or starting one on free ports. Descriptors are owned and
// closed by the objects.
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
#include <cstring>
#include <functional>
#include <string>
#include <vector>

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

/// 127.0.0.1:`port`, or [::1]:`port` when `ipv6`, as the socket calls take it.
struct LoopbackEnd {
    sockaddr_in6 addr{};  // room for either family
    socklen_t len = 0;
    sockaddr* Get() { return reinterpret_cast<sockaddr*>(&addr); }
    uint16_t Port() const { return ntohs(addr.sin6_port); }  // at the same place in both records
};
inline LoopbackEnd LoopbackOf(uint16_t port, bool ipv6) {
    LoopbackEnd end;
    if (ipv6) {
        end.addr.sin6_family = AF_INET6;
        end.addr.sin6_addr = in6addr_loopback;
        end.addr.sin6_port = htons(port);
        end.len = sizeof(sockaddr_in6);
    } else {
        const sockaddr_in a = LoopbackAddr(port);
        std::memcpy(&end.addr, &a, sizeof a);
        end.len = sizeof a;
    }
    return end;
}

/// A listener on 127.0.0.1 (::1 when `ipv6`) at `port` (0: one the kernel picks, written
/// back); an empty Fd when the port is taken. `flags` go to socket() (e.g. SOCK_NONBLOCK).
inline Fd Listen(uint16_t& port, int flags = 0, bool ipv6 = false) {
    Fd l(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
    LoopbackEnd a = LoopbackOf(port, ipv6);
    if (l.Get() < 0 || ::bind(l.Get(), a.Get(), a.len) != 0 || ::listen(l.Get(), 128) != 0 ||
        ::getsockname(l.Get(), a.Get(), &a.len) != 0)
        return Fd();
    port = a.Port();
    return l;
}

/// A port that was free a moment ago (for servers that must be told their port).
inline uint16_t FreePort(bool ipv6 = false) {
    uint16_t port = 0;
    Listen(port, 0, ipv6);
    return port;
}

/// A blocking client connected to 127.0.0.1:`port` (::1 when `ipv6`; the connection
/// completes in the listener's backlog, before anyone accepts it); empty when refused. With
/// `from` (an IPv4 loopback address such as "127.0.0.2") it comes from that address.
inline Fd Connect(uint16_t port, bool ipv6 = false, const char* from = nullptr) {
    Fd c(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    LoopbackEnd a = LoopbackOf(port, ipv6);
    sockaddr_in local = LoopbackAddr(0);
    if (from && (::inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
                 ::bind(c.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0))
        return Fd();
    if (::connect(c.Get(), a.Get(), a.len) != 0) return Fd();
    return c;
}

/// Waits (20 s at most) until something accepts connections on 127.0.0.1:`port` (::1 when
/// `ipv6`); false when `server` ended first. Servers give no sign of readiness, so refused
/// attempts are repeated after a short pause.
inline bool WaitListening(Process& server, uint16_t port, bool ipv6 = false) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && server.Running()) {
        if (Connect(port, ipv6).Get() >= 0) return true;
        ::poll(nullptr, 0, 10);
    }
    return false;
}

/// Starts a server whose command line (made by `argv` from `count` ports) names its ports,
/// on ports free a moment ago, its output to `log`; another process may take a port first,
/// so a server that does not come up is tried again. The ports, or an empty list when it
/// never listened. With `ipv6` the ports are ::1's and the server must listen there.
inline std::vector<uint16_t> StartOnFreePorts(Process& p, size_t count,
                                              const std::function<std::vector<std::string>(const std::vector<uint16_t>&)>& argv,
                                              const std::string& log, const std::string& cwd = "", bool ipv6 = false) {
    Stdio io(log);
    io.cwd = cwd;
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::vector<uint16_t> ports;
        while (ports.size() < count) ports.push_back(FreePort(ipv6));
        bool up = p.Start(argv(ports), io);
        for (size_t i = 0; up && i < count; ++i) up = WaitListening(p, ports[i], ipv6);
        if (up) return ports;
        p.Stop();
    }
    return {};
}
inline uint16_t StartOnFreePort(Process& p, const std::function<std::vector<std::string>(uint16_t)>& argv,
                                const std::string& log, const std::string& cwd = "", bool ipv6 = false) {
    const auto ports = StartOnFreePorts(p, 1, [&](const std::vector<uint16_t>& v) { return argv(v[0]); }, log, cwd, ipv6);
    return ports.empty() ? 0 : ports[0];
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
