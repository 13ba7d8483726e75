// Many connections to one server socket: N loopback connections opened by a plain client
// thread and all kept open, then each sends one framed message and closes. The server side
// is one TavTCPSocketMgr: AcceptComplete for each, DataReceived with the message, and
// DestroySocket in SocketClosed. Prints connections per second with N = 100 and N = 1,000
// and their ratio (target: about 1, no degradation as the number of open connections grows),
// and the server thread's processor time per connection, which the client thread's
// scheduling does not blur.
// Both figures cover 2,000 connections (20 batches of 100, or 2 of 1,000, one after the other
// on the same manager), so they are timed over like spans. Best of five rounds; the soft
// limit of open files is raised to the hard limit.
#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kRounds = 5;

/// Opens `n` connections to `port`, then sends one framed message on each and closes it.
void Clients(uint16_t port, int n) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> open;
    for (int i = 0; i < n; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        if (s < 0 || ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            std::perror("connect");
            std::exit(1);
        }
        open.push_back(s);
    }
    for (int s : open) {
        const char message[] = "BEGhello from a clientEND";
        if (::send(s, message, sizeof message - 1, 0) != sizeof message - 1) std::perror("send");
        ::close(s);
    }
}

double ThreadSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

struct Result {
    double perSecond = 0;     // connections per second, wall clock
    double cpuMicros = 1e30;  // server-thread processor time per connection
};

/// Connections per second for `batches` batches of `n` concurrent connections.
Result Rate(int n, int batches) {
    auto mgr = tav::TavTCPSocketMgr::Create();
    mgr->InternalEarlyBound(true);
    auto addr = tav::TAVSockAddr::Create();
    addr->IPAddress("127.0.0.1");
    auto server = mgr->CreateServerSocket(addr, "", 4096);
    server->MsgBeginMark("BEG");
    server->MsgEndMark("END");
    int accepted = 0, messages = 0, closed = 0;
    mgr->AcceptComplete.Subscribe([&](const std::shared_ptr<tav::TAVSocket>&, const std::shared_ptr<tav::TAVSocket>&,
                                      const std::shared_ptr<tav::TAVSockAddr>&) { ++accepted; });
    mgr->DataReceived.Subscribe([&](const std::shared_ptr<tav::TAVSocket>&, tav::Variant& info) {
        if (info.AsString() == "hello from a client") ++messages;
    });
    std::weak_ptr<tav::TavTCPSocketMgr> weak = mgr;
    mgr->SocketClosed.Subscribe([&, weak](const std::shared_ptr<tav::TAVSocket>& s) {
        ++closed;
        if (auto m = weak.lock()) m->DestroySocket(s);
    });
    const auto port = static_cast<uint16_t>(server->LocalAddr()->Port());
    const auto t0 = Clock::now();
    const double cpu0 = ThreadSeconds();
    for (int b = 1; b <= batches; ++b) {
        std::thread clients(Clients, port, n);
        tav::RunMessagesUntil([&] { return closed >= b * n && messages >= b * n; }, 60s);
        clients.join();
    }
    const std::chrono::duration<double> s = Clock::now() - t0;
    const double cpu = ThreadSeconds() - cpu0;
    n *= batches;
    if (accepted != n || messages != n || closed != n || mgr->Sockets()->SocketCount() != 1) {
        std::fprintf(stderr, "n=%d: accepted %d, messages %d, closed %d, sockets left %d\n", n, accepted, messages,
                     closed, mgr->Sockets()->SocketCount());
        std::exit(1);
    }
    return {n / s.count(), cpu * 1e6 / n};
}

template <class Fn>
Result Best(Fn fn) {
    Result best;
    for (int r = 0; r < kRounds; ++r) {
        const Result one = fn();
        best.perSecond = std::max(best.perSecond, one.perSecond);
        best.cpuMicros = std::min(best.cpuMicros, one.cpuMicros);
    }
    return best;
}

}  // namespace

int main() {
    setenv("TAVSOCK_CONFIG_DIR", "/nonexistent/tavsock-bench", 1);  // no marker: log off
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    const Result small = Best([] { return Rate(100, 20); });
    const Result large = Best([] { return Rate(1000, 2); });
    std::printf("connections, 100 concurrent:  %8.0f per second   server thread %5.1f us per connection\n",
                small.perSecond, small.cpuMicros);
    std::printf("connections, 1000 concurrent: %8.0f per second   server thread %5.1f us per connection\n",
                large.perSecond, large.cpuMicros);
    std::printf("ratio 1000/100: connections per second %.2f, processor time per connection %.2f (target ~1)\n",
                large.perSecond / small.perSecond, large.cpuMicros / small.cpuMicros);
    return 0;
}
