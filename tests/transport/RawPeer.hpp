// Peers written with plain POSIX sockets on 127.0.0.1, for tests that need a peer to do what
// the library would never do itself (urgent bytes, resets, a listener it does not own).
// Descriptors are owned and closed by the objects.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace tav::rawpeer {

/// An owned descriptor, closed at the end (or by Close()).
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            Close();
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    ~Fd() { Close(); }
    int Get() const { return fd_; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

inline sockaddr_in LoopbackAddr(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

/// A listener on 127.0.0.1 at a free port.
inline Fd Listen(uint16_t& port) {
    Fd l(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = LoopbackAddr(0);
    socklen_t len = sizeof a;
    if (::bind(l.Get(), reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(l.Get(), 128) != 0 ||
        ::getsockname(l.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return Fd();
    port = ntohs(a.sin_port);
    return l;
}

/// A blocking client connected to 127.0.0.1:`port` (the connection completes in the
/// listener's backlog, before anyone accepts it).
inline Fd Connect(uint16_t port) {
    Fd c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = LoopbackAddr(port);
    if (::connect(c.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return Fd();
    return c;
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

}  // namespace tav::rawpeer
