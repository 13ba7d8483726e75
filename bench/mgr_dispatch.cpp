// Cost of one socket notification in a socket manager that holds 10 sockets against one that
// holds 10,000: the manager finds the socket by its handle, moves its state and calls the
// receiver. The notified socket is the one added last, where a walk over the collection would
// cost most. Two paths: the manager's handler called as the asynchronous service calls it, and
// the whole way from a message posted to the manager's window through the queue. Prints
// nanoseconds per notification and the ratio of the large manager to the small one; for
// comparison, the cost of the position walk (IndexOfSocket) for the same socket.
#include <tavsock/ITAVSockNotify.hpp>
#include <tavsock/MessageLoop.hpp>
#include <tavsock/TAVSocketMgr.hpp>

#include "events/SocketMgrAccess.hpp"
#include "events/TAVAsyncSocket.hpp"
#include "platform/MessageQueue.hpp"
#include "platform/RaiseEvent.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

using namespace tav;
using Clock = std::chrono::steady_clock;

namespace {

struct CountingReceiver : ITAVSockNotify {
    long notifications = 0;
    void SocketNotification(const std::shared_ptr<TAVSocket>&, int32_t&) override { ++notifications; }
};

struct Setup {
    std::shared_ptr<TAVSocketMgr> mgr;
    std::shared_ptr<CountingReceiver> receiver = std::make_shared<CountingReceiver>();
    std::shared_ptr<TAVSocket> last;
    int count = 0;
};

Setup Make(int sockets) {
    Setup s;
    s.mgr = TAVSocketMgr::Create();
    s.mgr->CallbackObject(s.receiver);
    for (int i = 0; i < sockets; ++i) {
        auto socket = s.mgr->CreateSocket(TAVSockKind_Datagram);
        if (!socket) break;
        s.last = socket;
        ++s.count;
    }
    // Datagram sockets are told once that they can send; let those notifications go by.
    while (RunPendingMessages() > 0) {
    }
    return s;
}

// Best of five rounds, nanoseconds per call of `fn` (which makes `perRound` notifications).
template <class Fn>
double NsPer(long perRound, Fn fn) {
    double best = 1e300;
    for (int round = 0; round < 5; ++round) {
        const auto t0 = Clock::now();
        fn();
        const std::chrono::duration<double, std::nano> d = Clock::now() - t0;
        best = std::min(best, d.count() / static_cast<double>(perRound));
    }
    return best;
}

double Direct(Setup& s, long n) {
    const auto& service = SocketMgrAccess::AsyncService(*s.mgr);
    const int32_t handle = s.last->Handle();
    return NsPer(n, [&] {
        for (long i = 0; i < n; ++i) RaiseEvent(service->SocketMessage, handle, FD_ACCEPT);
    });
}

double Posted(Setup& s, long n) {
    const int32_t hWnd = SocketMgrAccess::AsyncService(*s.mgr)->WindowHandle();
    const auto handle = static_cast<uintptr_t>(s.last->Handle());
    constexpr int kBatch = 1000;
    return NsPer(n, [&] {
        for (long done = 0; done < n; done += kBatch) {
            for (int i = 0; i < kBatch; ++i)
                platform::PostMessageTo(hWnd, TAVAsyncSocket::kSocketMessage, handle, FD_ACCEPT);
            while (RunPendingMessages() > 0) {
            }
        }
    });
}

double Walk(Setup& s, long n) {
    volatile int32_t sink = 0;
    return NsPer(n, [&] {
        for (long i = 0; i < n; ++i) sink = sink + SocketMgrAccess::IndexOfSocket(*s.mgr, s.last);
    });
}

void RaiseDescriptorLimit(rlim_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
    limit.rlim_cur = std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main() {
    constexpr int kSmall = 10, kLarge = 10000;
    RaiseDescriptorLimit(kLarge + 200);
    Setup small = Make(kSmall);
    Setup large = Make(kLarge);
    if (large.count < kLarge)
        std::printf("note: only %d sockets could be opened (descriptor limit)\n", large.count);

    constexpr long kDirect = 200000, kPosted = 100000, kWalk = 2000;
    const double directSmall = Direct(small, kDirect), directLarge = Direct(large, kDirect);
    const double postedSmall = Posted(small, kPosted), postedLarge = Posted(large, kPosted);
    const double walkSmall = Walk(small, kWalk), walkLarge = Walk(large, kWalk);

    std::printf("%-44s %10s %10s %8s\n", "per notification (ns)", "10", "large", "ratio");
    std::printf("%-44s %10.1f %10.1f %8.2f\n", "dispatch (service event -> receiver)", directSmall, directLarge,
                directLarge / directSmall);
    std::printf("%-44s %10.1f %10.1f %8.2f\n", "posted 0x501 through the queue", postedSmall, postedLarge,
                postedLarge / postedSmall);
    std::printf("%-44s %10.1f %10.1f %8.2f\n", "for comparison: walk to the last position", walkSmall, walkLarge,
                walkLarge / walkSmall);
    std::printf("large manager: %d sockets; notifications delivered: %ld + %ld\n", large.count,
                small.receiver->notifications, large.receiver->notifications);
    return 0;
}
