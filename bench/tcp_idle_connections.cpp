// Many concurrent connections held idle on one server thread: TavTCPSocketMgr against a
// Boost.Asio server, each in a process of its own, driven by the same client process.
//
// For each server: the client opens N connections (at most 1,000 connecting at a time) from
// eight loopback source addresses (one address has too few ports for 100,000), sends 32 bytes
// on each and waits for the echo; all N then stay open and idle; the client closes them all.
// Printed per server: the accept rate (connections per second until the last echo), the
// server's resident memory per idle connection (growth over its resident size before the first
// connection, divided by N) and its processor time while the connections are idle (measured
// over 2 s, after 6 s of quiet: the TCP manager's read sweeper looks for unread data for the
// first five seconds after the last read, then stops). Then the close rate: from the client's
// first close until the server has seen every connection end and let it go (the server says so
// on its report pipe), so a close path that walks its collection shows as N squared.
//
// Usage: bench_tcp_idle_connections [--full | count] [--rounds R]
//   (10,000 connections by default, --full: 100,000; 3 rounds per server, medians compared)
// Raises its descriptor limits (as root; where even root may not, it runs as many connections
// as the limit allows and says so); run it in its own network namespace:
//   unshare -n sh -c 'ip link set lo up && build/bench/bench_tcp_idle_connections --full'
#include "BenchProcess.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>  // before Asio, whose awaitable.hpp uses std::exchange without it

#include <boost/asio.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kEcho = 32;
constexpr int kInFlight = 1000;
constexpr int kSources = 8;  // 127.0.0.2 ... 127.0.0.9
long gCount = 0;             // connections per run; the servers report when this many have ended

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "bench failed: %s (%s)\n", what, std::strerror(errno));
    std::exit(1);
}

/// Raises the descriptor limit for `count` connections (each process holds one end of each);
/// where the hard limit cannot be raised (no privilege), runs as many as it allows.
long RaiseDescriptorLimit(long count) {
    constexpr long kSpare = 1024;
    const rlim_t want = static_cast<rlim_t>(count + kSpare);
    rlimit lim{want, want};
    if (::setrlimit(RLIMIT_NOFILE, &lim) == 0) return count;
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_max <= static_cast<rlim_t>(2 * kSpare)) Fail("descriptor limit");
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
    const long allowed = static_cast<long>(lim.rlim_max) - kSpare;
    std::printf("the descriptor limit cannot be raised to %ld here (hard limit %ld): %ld connections\n", count + kSpare,
                static_cast<long>(lim.rlim_max), allowed);
    return allowed;
}

/// The server's port, written by the server process once it listens.
uint16_t ReadPort(int fd) {
    uint16_t port = 0;
    if (::read(fd, &port, sizeof port) != sizeof port) Fail("server start");
    return port;
}

/// Written by a server once gCount connections have ended.
void ReportAllClosed(int report) {
    const char done = 'c';
    if (::write(report, &done, 1) != 1) std::_Exit(1);
}

// ---- The servers (each runs in a child process until killed) ----------------------------------

[[noreturn]] void ManagerServer(int report) {
    setenv("TAVSOCK_CONFIG_DIR", "/nonexistent/tavsock-bench", 1);  // no marker: log off
    auto mgr = tav::TavTCPSocketMgr::Create();
    auto addr = tav::TAVSockAddr::Create();
    addr->IPAddress("127.0.0.1");
    auto server = mgr->CreateServerSocket(addr, "", 4096);
    server->DataMode(tav::DataMode_Binary);
    std::weak_ptr<tav::TavTCPSocketMgr> weak = mgr;
    mgr->DataReceived.Subscribe([](const std::shared_ptr<tav::TAVSocket>& s, tav::Variant& info) { s->Send(info); });
    long closed = 0;
    mgr->SocketClosed.Subscribe([&](const std::shared_ptr<tav::TAVSocket>& s) {
        if (auto m = weak.lock()) m->DestroySocket(s);
        if (++closed == gCount) ReportAllClosed(report);
    });
    const auto port = static_cast<uint16_t>(server->LocalAddr()->Port());
    if (::write(report, &port, sizeof port) != sizeof port) std::_Exit(1);
    for (;;) tav::RunMessagesUntil([] { return false; }, 1h);
}

[[noreturn]] void AsioServer(int report) {
    namespace asio = boost::asio;
    using asio::ip::tcp;
    asio::io_context io{1};
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    acceptor.listen(4096);
    struct Conn {
        explicit Conn(asio::io_context& io) : socket(io) {}
        tcp::socket socket;
        char data[kEcho];
    };
    // Echoes what comes until the peer closes.
    long closed = 0;
    std::function<void(std::shared_ptr<Conn>)> serve = [&](std::shared_ptr<Conn> c) {
        c->socket.async_read_some(asio::buffer(c->data), [&, c](boost::system::error_code ec, size_t n) {
            if (ec) {  // the peer's close: the connection goes with the last reference
                if (++closed == gCount) ReportAllClosed(report);
                return;
            }
            asio::async_write(c->socket, asio::buffer(c->data, n), [&, c](boost::system::error_code e, size_t) {
                if (!e) serve(c);
            });
        });
    };
    std::function<void()> accept = [&] {
        auto c = std::make_shared<Conn>(io);
        acceptor.async_accept(c->socket, [&, c](boost::system::error_code ec) {
            if (!ec) serve(c);
            accept();
        });
    };
    accept();
    const auto port = acceptor.local_endpoint().port();
    if (::write(report, &port, sizeof port) != sizeof port) std::_Exit(1);
    io.run();
    std::_Exit(0);
}

// ---- The client ---------------------------------------------------------------------------------

/// Opens `count` connections to `port`, at most kInFlight at a time, each sending kEcho bytes
/// and waiting for them back. Returns the open descriptors, or exits on a failure.
std::vector<int> ConnectAll(uint16_t port, long count) {
    const int ep = ::epoll_create1(0);
    std::vector<int> fds;
    fds.reserve(static_cast<size_t>(count));
    std::vector<size_t> got;  // echoed bytes, by descriptor number
    long started = 0, echoed = 0, inFlight = 0;
    char payload[kEcho];
    std::memset(payload, 'e', sizeof payload);
    auto start = [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (fd < 0) Fail("client socket");
        const int on = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7F000002u + static_cast<uint32_t>(started % kSources));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) Fail("client bind");
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) Fail("connect");
        epoll_event ev{EPOLLOUT, {.fd = fd}};
        ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        if (static_cast<size_t>(fd) >= got.size()) got.resize(static_cast<size_t>(fd) + 1, 0);
        got[static_cast<size_t>(fd)] = 0;
        fds.push_back(fd);
        ++started;
        ++inFlight;
    };
    while (echoed < count) {
        while (inFlight < kInFlight && started < count) start();
        epoll_event events[256];
        const int n = ::epoll_wait(ep, events, 256, 10000);
        if (n <= 0) Fail("client wait");
        for (int k = 0; k < n; ++k) {
            const int fd = events[k].data.fd;
            if (events[k].events & (EPOLLERR | EPOLLHUP)) Fail("connection broken");
            if (events[k].events & EPOLLOUT) {
                if (::send(fd, payload, sizeof payload, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof payload))
                    Fail("client send");
                epoll_event ev{EPOLLIN, {.fd = fd}};
                ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev);
                continue;
            }
            char buf[kEcho];
            const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
            if (r <= 0) Fail("client read");
            got[static_cast<size_t>(fd)] += static_cast<size_t>(r);
            if (got[static_cast<size_t>(fd)] < kEcho) continue;
            ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
            ++echoed;
            --inFlight;
        }
    }
    ::close(ep);
    return fds;
}

// ---- Measuring a server process -----------------------------------------------------------------

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

/// User plus system time of `pid` so far, in clock ticks.
long CpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // After the name in parentheses: the state, ten more fields, then utime and stime.
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    std::string state;
    long skip = 0, user = 0, system = 0;
    rest >> state;
    for (int i = 0; i < 10; ++i) rest >> skip;
    rest >> user >> system;
    return user + system;
}

struct Result {
    double acceptRate;
    double bytesPerIdle;
    double idleCpuPercent;
    double closeRate;
};

Result Measure(const char* name, void (*server)(int), long count) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) Fail("pipe");
    const pid_t pid = ::fork();
    if (pid < 0) Fail("fork");
    if (pid == 0) {
        ::close(pipeFds[0]);
        server(pipeFds[1]);
    }
    ::close(pipeFds[1]);
    const uint16_t port = ReadPort(pipeFds[0]);
    std::this_thread::sleep_for(200ms);  // the server settles at its starting size
    const long before = ResidentKiB(pid);

    const auto t0 = Clock::now();
    std::vector<int> fds = ConnectAll(port, count);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::this_thread::sleep_for(6s);  // quiet: every timer the last reads started has ended
    const long idle = ResidentKiB(pid);
    const long ticks0 = CpuTicks(pid);
    std::this_thread::sleep_for(2s);
    const long ticks = CpuTicks(pid) - ticks0;

    const auto t1 = Clock::now();
    for (int fd : fds) ::close(fd);
    pollfd done{pipeFds[0], POLLIN, 0};
    char byte = 0;
    if (::poll(&done, 1, 120000) != 1 || ::read(pipeFds[0], &byte, 1) != 1) Fail("server close");
    const double closeSeconds = std::chrono::duration<double>(Clock::now() - t1).count();
    ::close(pipeFds[0]);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    const Result r{count / seconds, (idle - before) * 1024.0 / static_cast<double>(count),
                   100.0 * static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / 2.0,
                   count / closeSeconds};
    std::printf("  %-16s accept rate %8.0f conn/s   memory per idle connection %7.0f bytes   idle CPU %.1f%%   "
                "close rate %8.0f conn/s\n",
                name, r.acceptRate, r.bytesPerIdle, r.idleCpuPercent, r.closeRate);
    std::fflush(stdout);
    return r;
}

/// The median of one measure over a server's rounds.
double Median(const std::vector<Result>& runs, double Result::*field) {
    std::vector<double> v;
    for (const Result& r : runs) v.push_back(r.*field);
    return bench::Median(std::move(v));
}

}  // namespace

int main(int argc, char** argv) {
    long count = 10000;
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--full") == 0)
            count = 100000;
        else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else
            count = std::atol(argv[i]);
    }
    if (count <= 0 || rounds <= 0) Fail("a positive count and number of rounds");
    count = std::min(count, RaiseDescriptorLimit(count));
    gCount = count;
    std::printf("%ld concurrent connections held idle on one server thread (client in its own process), %d rounds:\n",
                count, rounds);
    // One sample of an accept rate swings by a fifth from run to run on a small machine, so
    // the servers take turns (which one goes first alternates) and the medians are compared.
    std::vector<Result> m, a;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) m.push_back(Measure("TavTCPSocketMgr", ManagerServer, count));
        a.push_back(Measure("Asio", AsioServer, count));
        if (round % 2 != 0) m.push_back(Measure("TavTCPSocketMgr", ManagerServer, count));
    }
    std::printf("  medians: accept rate manager / Asio %.2f (goal >= 1.0); memory per idle connection, manager - Asio "
                "%+.0f bytes (goal <= +1024); idle CPU manager %.1f%% (goal 0); close rate manager / Asio %.2f\n",
                Median(m, &Result::acceptRate) / Median(a, &Result::acceptRate),
                Median(m, &Result::bytesPerIdle) - Median(a, &Result::bytesPerIdle), Median(m, &Result::idleCpuPercent),
                Median(m, &Result::closeRate) / Median(a, &Result::closeRate));
    return 0;
}
