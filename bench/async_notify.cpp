// Cost of one asynchronous-select notification with N registered sockets of which one pair is
// active: a loopback TCP pair ping-pongs one byte, each side receiving it in its FD_READ
// handler and sending it back. The idle sockets are datagram sockets registered for FD_READ,
// so each sits in the queue's epoll interest list. Prints the time per notification at
// N = 10 and N = 10,000 and their ratio (about 1 when the cost does not grow with N), next to
// a baseline of the same ping-pong over plain epoll and system calls in the same run.
#include "platform/MessageQueue.hpp"
#include "platform/SockIntf.hpp"

#include <tavsock/MessageLoop.hpp>

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace tav::sockintf;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kMsg = 0x501;
constexpr long kNotifications = 100000;
constexpr int kRounds = 3;

SOCKADDR_IN Loopback(uint16_t port) {
    SOCKADDR_IN a;
    a.sin_family = AF_INET_W;
    a.sin_port = inthtons(port);
    a.sin_addr = inthtonl(0x7F000001);
    return a;
}

/// A connected loopback pair (blocking until registered).
bool MakePair(SOCKET& a, SOCKET& b) {
    SOCKET l = intsocket(AF_INET_W, SOCK_STREAM_W, 0);
    SOCKADDR_IN addr = Loopback(0);
    int len = sizeof addr;
    if (intbind(l, &addr, len) != 0 || intgetsockname(l, &addr, &len) != 0 || intlisten(l, 1) != 0) return false;
    a = intsocket(AF_INET_W, SOCK_STREAM_W, 0);
    if (intconnect(a, &addr, sizeof addr) != 0) return false;
    b = intaccept(l, nullptr, nullptr);
    intclosesocket(l);
    const int on = 1;
    intsetsockopt(a, IPPROTO_TCP_W, TCP_NODELAY_W, reinterpret_cast<const char*>(&on), 4);
    intsetsockopt(b, IPPROTO_TCP_W, TCP_NODELAY_W, reinterpret_cast<const char*>(&on), 4);
    return b != INVALID_SOCKET;
}

/// Nanoseconds per notification with `idle` registered idle sockets; -1 on failure.
double MeasureQueue(int idle) {
    std::vector<SOCKET> idlers;
    long count = 0;
    const HWND wnd = tav::platform::CreateWindowHandle([&count](HWND, uint32_t msg, uintptr_t w, intptr_t l) -> intptr_t {
        if (msg != kMsg || (l & 0xFFFF) != FD_READ_W) return 0;
        const auto s = static_cast<SOCKET>(w);
        char b;
        if (intrecv(s, &b, 1, 0) == 1 && ++count < kNotifications) intsend(s, &b, 1, 0);
        return 0;
    });
    for (int i = 0; i < idle; ++i) {
        const SOCKET s = intsocket(AF_INET_W, SOCK_DGRAM_W, 0);
        if (s == INVALID_SOCKET || intWSAAsyncSelect(s, wnd, kMsg, FD_READ_W) != 0) {
            std::fprintf(stderr, "cannot register idle socket %d: %d\n", i, intWSAGetLastError());
            return -1;
        }
        idlers.push_back(s);
    }
    SOCKET a, b;
    if (!MakePair(a, b) || intWSAAsyncSelect(a, wnd, kMsg, FD_READ_W) != 0 || intWSAAsyncSelect(b, wnd, kMsg, FD_READ_W) != 0)
        return -1;
    tav::RunPendingMessages();

    const auto t0 = Clock::now();
    intsend(a, "x", 1, 0);
    tav::RunMessagesUntil([&] { return count >= kNotifications; }, 60s);
    const std::chrono::duration<double, std::nano> elapsed = Clock::now() - t0;

    for (SOCKET s : idlers) intclosesocket(s);
    intclosesocket(a);
    intclosesocket(b);
    tav::platform::DestroyWindowHandle(wnd);
    return count >= kNotifications ? elapsed.count() / static_cast<double>(count) : -1;
}

/// The same ping-pong over a bare epoll instance, with the same idle sockets registered.
double MeasureBaseline(int idle) {
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> idlers;
    for (int i = 0; i < idle; ++i) {
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        epoll_event ev{EPOLLIN, {.fd = s}};
        ::epoll_ctl(ep, EPOLL_CTL_ADD, s, &ev);
        idlers.push_back(s);
    }
    SOCKET a, b;
    if (!MakePair(a, b)) return -1;
    for (int s : {a, b}) {
        epoll_event ev{EPOLLIN, {.fd = s}};
        ::epoll_ctl(ep, EPOLL_CTL_ADD, s, &ev);
    }
    long count = 0;
    const auto t0 = Clock::now();
    ::send(a, "x", 1, 0);
    epoll_event events[64];
    while (count < kNotifications) {
        const int n = ::epoll_wait(ep, events, 64, 1000);
        if (n <= 0) break;
        for (int i = 0; i < n; ++i) {
            char c;
            const int s = events[i].data.fd;
            if (::recv(s, &c, 1, MSG_DONTWAIT) == 1 && ++count < kNotifications) ::send(s, &c, 1, 0);
        }
    }
    const std::chrono::duration<double, std::nano> elapsed = Clock::now() - t0;
    for (int s : idlers) ::close(s);
    ::close(a);
    ::close(b);
    ::close(ep);
    return count >= kNotifications ? elapsed.count() / static_cast<double>(count) : -1;
}

template <class Fn>
double Best(Fn fn) {
    double best = -1;
    for (int r = 0; r < kRounds; ++r) {
        const double t = fn();
        if (t > 0 && (best < 0 || t < best)) best = t;
    }
    return best;
}

}  // namespace

int main() {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    WSADATA data;
    if (intWSAStartup(0x0101, &data) != 0) return 1;

    const int sizes[] = {10, 10000};
    double queue[2], base[2];
    for (int i = 0; i < 2; ++i) {
        base[i] = Best([&] { return MeasureBaseline(sizes[i]); });
        queue[i] = Best([&] { return MeasureQueue(sizes[i]); });
        if (queue[i] < 0 || base[i] < 0) {
            std::fprintf(stderr, "measurement failed at N=%d\n", sizes[i]);
            return 1;
        }
        std::printf("N=%-6d registered: %8.0f ns per notification   plain epoll %8.0f ns   ratio to plain %.2f\n",
                    sizes[i], queue[i], base[i], queue[i] / base[i]);
    }
    std::printf("per-notification time N=10000 / N=10: %.2f (plain epoll: %.2f)\n", queue[1] / queue[0], base[1] / base[0]);
    intWSACleanup();
    return 0;
}
