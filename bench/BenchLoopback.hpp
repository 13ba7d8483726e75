// Shared pieces of the loopback benchmarks: the plain epoll receive loop that serves as the
// baseline, and best-of-N timing. Loopback addresses are the test-support library's.
#pragma once

#include "support/Loopback.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

using tav::support::LoopbackAddr;

/// The baseline receiver: listens on a free loopback port, runs `sender(port)` on a thread,
/// accepts its connection and reads it with a plain non-blocking epoll loop into one 1 MiB
/// buffer, handing every read to `onData(bytes, count)` until the peer closes. Returns the
/// seconds from the start of the sender to the end of the stream.
inline double PlainEpollReceive(const std::function<void(uint16_t)>& sender,
                                const std::function<void(const char*, size_t)>& onData) {
    const int l = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = LoopbackAddr(0);
    socklen_t len = sizeof a;
    ::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    ::listen(l, 1);
    const auto t0 = Clock::now();
    std::thread peer(sender, ntohs(a.sin_port));
    const int s = ::accept4(l, nullptr, nullptr, SOCK_NONBLOCK);
    const int ep = ::epoll_create1(0);
    epoll_event ev{EPOLLIN, {.fd = s}};
    ::epoll_ctl(ep, EPOLL_CTL_ADD, s, &ev);
    std::vector<char> buffer(1 << 20);
    bool done = false;
    while (!done) {
        epoll_event out[4];
        if (::epoll_wait(ep, out, 4, 10000) <= 0) break;
        for (;;) {
            const ssize_t n = ::recv(s, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                done = n == 0;
                break;
            }
            onData(buffer.data(), static_cast<size_t>(n));
        }
    }
    const std::chrono::duration<double> t = Clock::now() - t0;
    peer.join();
    ::close(ep);
    ::close(s);
    ::close(l);
    return t.count();
}

/// The highest of `rounds` results of `fn` (rates: higher is better).
template <class Fn>
double Best(int rounds, Fn fn) {
    double best = 0;
    for (int r = 0; r < rounds; ++r) best = std::max(best, fn());
    return best;
}

}  // namespace bench
