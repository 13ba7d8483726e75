// Throughput of the per-thread message queue against plain containers doing the same work in
// the same run: same-thread post + dispatch, cross-thread posts, and the cost of one active
// descriptor among many idle ones. Prints messages (or events) per second and the ratios.
#include "platform/MessageQueue.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using namespace tav::platform;
using Clock = std::chrono::steady_clock;

namespace {

struct Record {
    HWND hWnd;
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
};

volatile intptr_t gSink = 0;

intptr_t Sink(HWND, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    gSink = gSink + static_cast<intptr_t>(msg + wParam) + lParam;
    return 0;
}

template <class Fn>
double PerSecond(long count, Fn fn) {
    auto t0 = Clock::now();
    fn();
    std::chrono::duration<double> s = Clock::now() - t0;
    return count / s.count();
}

void Report(const char* what, double rate, double baseline) {
    std::printf("%-48s %12.0f /s   ratio to baseline %.2f\n", what, rate, rate / baseline);
}

// Same-thread: post `batch` messages, then dispatch them; `rounds` times.
void SameThread(long rounds, int batch) {
    const long total = rounds * batch;
    std::function<intptr_t(HWND, uint32_t, uintptr_t, intptr_t)> proc = Sink;
    double base = PerSecond(total, [&] {
        std::deque<Record> q;
        for (long r = 0; r < rounds; ++r) {
            for (int i = 0; i < batch; ++i) q.push_back({1, WM_USER, static_cast<uintptr_t>(i), 0});
            while (!q.empty()) {
                Record rec = q.front();
                q.pop_front();
                proc(rec.hWnd, rec.msg, rec.wParam, rec.lParam);
            }
        }
    });
    HWND h = CreateWindowHandle(Sink);
    MessageQueue& q = MessageQueue::ForThisThread();
    double rate = PerSecond(total, [&] {
        for (long r = 0; r < rounds; ++r) {
            for (int i = 0; i < batch; ++i) PostMessageTo(h, WM_USER, static_cast<uintptr_t>(i), 0);
            q.RunPending();
        }
    });
    std::printf("same thread, batches of %d\n", batch);
    Report("  baseline std::deque push/pop + call", base, base);
    Report("  PostMessageTo + RunPending", rate, base);
    DestroyWindowHandle(h);
}

// Cross-thread: a producer posts `total` messages to a window of the consumer thread.
void CrossThread(long total) {
    double base = PerSecond(total, [&] {
        std::mutex mu;
        std::condition_variable cv;
        std::deque<Record> q;
        std::thread producer([&] {
            for (long i = 0; i < total; ++i) {
                std::lock_guard<std::mutex> lock(mu);
                bool wasEmpty = q.empty();
                q.push_back({1, WM_USER, static_cast<uintptr_t>(i), 0});
                if (wasEmpty) cv.notify_one();
            }
        });
        std::deque<Record> local;
        for (long got = 0; got < total;) {
            {
                std::unique_lock<std::mutex> lock(mu);
                cv.wait(lock, [&] { return !q.empty(); });
                local.swap(q);
            }
            for (const Record& rec : local) Sink(rec.hWnd, rec.msg, rec.wParam, rec.lParam), ++got;
            local.clear();
        }
        producer.join();
    });
    long got = 0;
    HWND h = CreateWindowHandle([&](HWND w, uint32_t m, uintptr_t wp, intptr_t lp) {
        ++got;
        return Sink(w, m, wp, lp);
    });
    MessageQueue& q = MessageQueue::ForThisThread();
    double rate = PerSecond(total, [&] {
        std::thread producer([&] {
            for (long i = 0; i < total; ++i) PostMessageTo(h, WM_USER, static_cast<uintptr_t>(i), 0);
        });
        while (got < total) q.RunFor(std::chrono::milliseconds(1000));
        producer.join();
    });
    std::printf("cross thread, one producer\n");
    Report("  baseline mutex + condvar + std::deque", base, base);
    Report("  PostMessageTo from another thread + RunFor", rate, base);
    DestroyWindowHandle(h);
}

struct ByteReader : FdWatcher {
    long reads = 0;
    void OnFdReady(int fd, uint32_t) override {
        char c;
        if (::read(fd, &c, 1) == 1) ++reads;
    }
};

// One active socket among `idle` watched descriptors that never turn ready.
double ActiveAmongIdle(int idle, long rounds) {
    MessageQueue& q = MessageQueue::ForThisThread();
    std::vector<int> idleFds;
    ByteReader never;
    for (int i = 0; i < idle; ++i) {
        int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd < 0) break;
        idleFds.push_back(fd);
        q.WatchFd(fd, EPOLLIN, &never);
    }
    if (static_cast<int>(idleFds.size()) < idle) std::printf("  (only %zu idle descriptors)\n", idleFds.size());
    int sv[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv);
    ByteReader reader;
    q.WatchFd(sv[0], EPOLLIN, &reader);
    double rate = PerSecond(rounds, [&] {
        for (long r = 0; r < rounds; ++r) {
            if (::write(sv[1], "x", 1) != 1) break;
            q.RunPending();
        }
    });
    q.UnwatchFd(sv[0]);
    ::close(sv[0]);
    ::close(sv[1]);
    for (int fd : idleFds) {
        q.UnwatchFd(fd);
        ::close(fd);
    }
    return rate;
}

}  // namespace

int main() {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 11000) {
        lim.rlim_cur = lim.rlim_max < 11000 ? lim.rlim_max : 11000;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    SameThread(200000, 16);
    SameThread(2000000, 1);
    CrossThread(2000000);

    std::printf("one active socket among idle watched descriptors (write 1 byte, RunPending)\n");
    double none = ActiveAmongIdle(0, 200000);
    double many = ActiveAmongIdle(10000, 200000);
    Report("  no idle descriptors (baseline)", none, none);
    Report("  10000 idle descriptors", many, none);

    // With an outside poller attached, own-thread posts also keep the pollable descriptor
    // exact: a write when the FIFO turns non-empty and a read when it empties, per batch.
    std::thread([] {
        MessageQueue::ForThisThread().PollDescriptor();
        std::printf("with an outside poller attached (PollDescriptor asked for):\n");
        SameThread(200000, 16);
        SameThread(300000, 1);
    }).join();
    return 0;
}
