#include "platform/Timer.hpp"
#include "SockTestUtil.hpp"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>

using namespace tav::platform;
using namespace std::chrono_literals;
using tav::test::OnFreshThread;  // each scenario gets a fresh queue, torn down at its end
using tav::test::PumpUntil;

namespace {

bool Readable(int fd, int timeoutMs = 0) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}

struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { Open(); }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    ~SocketPair() { Close(); }
    void Open() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd); }
    void Close() {
        for (int& f : fd)
            if (f >= 0) ::close(std::exchange(f, -1));
    }
    void Send() { ASSERT_EQ(::write(fd[1], "x", 1), 1); }
};

struct CountingWatcher : FdWatcher {
    int calls = 0;
    std::map<int, int> perFd;
    std::function<void()> onReady;
    void OnFdReady(int fd, uint32_t) override {
        ++calls;
        ++perFd[fd];
        if (onReady) onReady();
    }
};

using Log = std::vector<std::pair<HWND, uint32_t>>;

HWND LoggingWindow(Log& log) {
    return CreateWindowHandle([&log](HWND h, uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
        log.emplace_back(h, msg);
        return 0;
    });
}

}  // namespace

TEST(MessageQueue, DeliversPostsInOrderEvenToNestedDispatchesSendsAtOnceAndDropsADestroyedWindowsQueue) {
    OnFreshThread([] {
        Log log;
        HWND a = LoggingWindow(log);
        HWND b = LoggingWindow(log);
        ASSERT_NE(a, 0);
        ASSERT_NE(a, b);
        EXPECT_TRUE(IsWindowHandle(a));
        PostMessageTo(a, WM_USER + 1, 0, 0);
        MessageQueue::ForThisThread().PostTask([&] { log.emplace_back(0, 99); });
        PostMessageTo(b, WM_USER + 2, 0, 0);
        PostMessageTo(a, WM_USER + 3, 0, 0);
        EXPECT_TRUE(log.empty());  // posting never delivers
        EXPECT_EQ(tav::RunPendingMessages(), 4);
        EXPECT_EQ(log, (Log{{a, WM_USER + 1}, {0, 99}, {b, WM_USER + 2}, {a, WM_USER + 3}}));

        HWND echo = CreateWindowHandle([](HWND, uint32_t msg, uintptr_t w, intptr_t l) -> intptr_t {
            return msg == WM_USER ? static_cast<intptr_t>(w) + l : 0;
        });
        EXPECT_EQ(SendMessageTo(echo, WM_USER, 40, 2), 42);
        EXPECT_TRUE(DestroyWindowHandle(echo));
        EXPECT_EQ(SendMessageTo(echo, WM_USER, 40, 2), 0);
        EXPECT_GT(CreateWindowHandle(nullptr), echo);  // handles are never reused

        // A nested dispatch continues with the next message.
        std::vector<int> seen;
        HWND h = CreateWindowHandle([&](HWND hw, uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
            int n = static_cast<int>(msg - WM_USER);
            seen.push_back(n);
            if (n == 1) {
                PostMessageTo(hw, WM_USER + 4, 0, 0);  // behind 2 and 3
                tav::RunPendingMessages();
                seen.push_back(-1);  // marks the return of the nested run
            }
            return 0;
        });
        for (int n = 1; n <= 3; ++n) PostMessageTo(h, WM_USER + n, 0, 0);
        tav::RunPendingMessages();
        tav::RunPendingMessages();
        EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, -1}));

        // A window destroyed by its own procedure gets WM_NCDESTROY once and loses its queue.
        auto state = std::make_shared<std::vector<uint32_t>>();
        h = CreateWindowHandle([state](HWND hw, uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
            state->push_back(msg);
            bool destroyed = DestroyWindowHandle(hw);
            EXPECT_EQ(destroyed, msg == WM_USER);  // during WM_NCDESTROY it is already going
            state->push_back(msg);  // the procedure's captures outlive its window's end
            return 0;
        });
        PostMessageTo(h, WM_USER, 0, 0);
        PostMessageTo(h, WM_USER + 1, 0, 0);
        EXPECT_EQ(tav::RunPendingMessages(), 1);  // a lost message is not counted as handled
        EXPECT_EQ(*state, (std::vector<uint32_t>{WM_USER, WM_NCDESTROY, WM_NCDESTROY, WM_USER}));
        EXPECT_FALSE(IsWindowHandle(h));
        EXPECT_FALSE(PostMessageTo(h, WM_USER, 0, 0));
        EXPECT_FALSE(DestroyWindowHandle(h));
        EXPECT_EQ(state.use_count(), 1);  // the procedure went with the window
    });
}

TEST(MessageQueue, RegisteredMessageNumbersAreSharedByName) {
    uint32_t here = RegisterWindowMessage("TAVPostEventMsg");
    uint32_t there = 0;
    std::thread([&] { there = RegisterWindowMessage("tavposteventmsg"); }).join();
    EXPECT_EQ(here, there);
    EXPECT_GE(here, 0xC000u);
    EXPECT_LE(here, 0xFFFFu);
    EXPECT_NE(RegisterWindowMessage("SomethingElse"), here);
    EXPECT_EQ(RegisterWindowMessage(""), 0u);
}

TEST(MessageQueue, OtherThreadsPostAndQuitButOnlyTheOwnerDispatchesSendsOrDestroys) {
    OnFreshThread([] {
        std::atomic<int> got{0};
        HWND h = CreateWindowHandle([&](HWND, uint32_t, uintptr_t, intptr_t) -> intptr_t {
            ++got;
            return 0;
        });
        MessageQueue& mine = MessageQueue::ForThisThread();
        std::thread([&] {
            EXPECT_FALSE(DestroyWindowHandle(h));
            EXPECT_EQ(SendMessageTo(h, WM_USER, 0, 0), 0);
            EXPECT_EQ(mine.AddTimer(1ms, false, [] {}), 0u);
            EXPECT_EQ(mine.RunPending(), 0);
        }).join();
        EXPECT_EQ(tav::RunPendingMessages(), 0);
        EXPECT_EQ(got, 0);

        // Posts from another thread wake a blocked wait.
        std::thread poster([&] {
            PostMessageTo(h, WM_USER, 0, 0);
            PostTaskToWindowThread(h, [&] { ++got; });
        });
        EXPECT_TRUE(PumpUntil([&] { return got == 2; }));
        poster.join();

        // A post from another thread that happened before an own post is handled first.
        std::vector<int> order;
        std::thread([&] { PostTaskToWindowThread(h, [&] { order.push_back(1); }); }).join();
        mine.PostTask([&] { order.push_back(2); });
        tav::RunPendingMessages();
        EXPECT_EQ(order, (std::vector<int>{1, 2}));

        // Quit from another thread ends Run(); a quit from a handler ends it too.
        std::thread quitter([self = mine.Ref()] { self.Quit(); });
        tav::RunMessageLoop();
        quitter.join();
        mine.PostTask([] { tav::QuitMessageLoop(); });
        tav::RunMessageLoop();
    });
}

TEST(MessageQueue, PostsToAnEndedThreadAreDroppedAndItsLeftoversFreed) {
    auto token = std::make_shared<int>(0);
    HWND h = 0;
    QueueRef ref;
    std::thread([&] {
        h = CreateWindowHandle([token](HWND, uint32_t, uintptr_t, intptr_t) -> intptr_t { return 0; });
        ref = MessageQueue::ForThisThread().Ref();
        // Left behind at thread exit: queued work, a timer, a watched descriptor.
        PostTaskToWindowThread(h, [token] {});
        MessageQueue::ForThisThread().AddTimer(1h, false, [token] {});
        static CountingWatcher watcher;
        static SocketPair pair;
        MessageQueue::ForThisThread().WatchFd(pair.fd[0], EPOLLIN, &watcher);
    }).join();
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_FALSE(IsWindowHandle(h));
    EXPECT_FALSE(PostMessageTo(h, WM_USER, 0, 0));
    EXPECT_FALSE(PostTaskToWindowThread(h, [token] {}));
    EXPECT_FALSE(ref.PostTask([token] {}));
    EXPECT_FALSE(ref.Quit());
    EXPECT_EQ(token.use_count(), 1);
}

TEST(MessageQueue, PollDescriptorIsReadableWhileWorkWaitsAndReadinessGoesOncePerPass) {
    OnFreshThread([] {
        int fd = tav::MessageLoopDescriptor();
        ASSERT_GE(fd, 0);
        EXPECT_FALSE(Readable(fd));

        int runs = 0;
        MessageQueue::ForThisThread().PostTask([&] { ++runs; });
        EXPECT_TRUE(Readable(fd));
        tav::RunPendingMessages();
        EXPECT_EQ(runs, 1);
        EXPECT_FALSE(Readable(fd));

        // A task from another thread; its handler posts one more, which is still waiting after
        // the pass, so the descriptor stays readable.
        std::thread([q = MessageQueue::ForThisThread().Ref(), &runs] {
            q.PostTask([&runs] { MessageQueue::ForThisThread().PostTask([&runs] { ++runs; }); });
        }).join();
        EXPECT_TRUE(Readable(fd));
        tav::RunPendingMessages();
        EXPECT_TRUE(Readable(fd));
        tav::RunPendingMessages();
        EXPECT_EQ(runs, 2);
        EXPECT_FALSE(Readable(fd));

        SocketPair pair;
        CountingWatcher watcher;
        watcher.onReady = [&] {
            char c;
            ASSERT_EQ(::read(pair.fd[0], &c, 1), 1);
        };
        MessageQueue::ForThisThread().WatchFd(pair.fd[0], EPOLLIN, &watcher);
        EXPECT_FALSE(Readable(fd));
        pair.Send();
        EXPECT_TRUE(Readable(fd, 10000));
        tav::RunPendingMessages();
        EXPECT_EQ(watcher.calls, 1);
        EXPECT_FALSE(Readable(fd));
        MessageQueue::ForThisThread().UnwatchFd(pair.fd[0]);

        MessageQueue::ForThisThread().AddTimer(20ms, false, [&] { ++runs; });
        EXPECT_TRUE(Readable(fd, 10000));
        EXPECT_TRUE(PumpUntil([&] { return runs == 3; }));
        EXPECT_FALSE(Readable(fd));

        // Readiness goes once per pass, even across nested passes, and never to the next
        // watcher of a number.
        MessageQueue& q = MessageQueue::ForThisThread();
        SocketPair a, b, reused;
        reused.Close();
        CountingWatcher wa, wb, newcomer;
        // Whichever watcher runs first unwatches and closes the other descriptor and watches a
        // new, readable one under the same number: what was collected for the old one is stale.
        auto takeOver = [&](SocketPair& other) {
            return [&] {
                if (wa.calls + wb.calls > 1) return;
                int number = other.fd[0];
                q.UnwatchFd(number);
                other.Close();
                reused.Open();
                ASSERT_EQ(reused.fd[0], number);
                reused.Send();
                q.WatchFd(reused.fd[0], EPOLLIN, &newcomer);
            };
        };
        wa.onReady = takeOver(b);
        wb.onReady = takeOver(a);
        q.WatchFd(a.fd[0], EPOLLIN, &wa);
        q.WatchFd(b.fd[0], EPOLLIN, &wb);
        a.Send();
        b.Send();
        EXPECT_TRUE(PumpUntil([&] { return wa.calls + wb.calls > 0; }));
        EXPECT_EQ(wa.calls + wb.calls, 1);
        EXPECT_EQ(newcomer.calls, 0);
        tav::RunPendingMessages();  // level-triggered: the next pass reports the new watch
        EXPECT_EQ(newcomer.calls, 1);
        for (int fd : {a.fd[0], b.fd[0], reused.fd[0]}) q.UnwatchFd(fd);

        SocketPair pairs[3];
        CountingWatcher w;
        // The first handler runs a nested pass: it delivers the rest of what the outer pass
        // collected, instead of polling again and reporting it twice.
        w.onReady = [&] {
            if (w.calls == 1) tav::RunPendingMessages();
        };
        for (auto& p : pairs) {
            q.WatchFd(p.fd[0], EPOLLIN, &w);
            p.Send();
        }
        tav::RunPendingMessages();
        EXPECT_EQ(w.calls, 3);
        for (auto& p : pairs) EXPECT_EQ(w.perFd[p.fd[0]], 1);

        // Interest taken away inside a handler holds for the rest of the pass and after it.
        w.onReady = [&] {
            for (auto& p : pairs) q.ModifyFd(p.fd[0], 0);
        };
        tav::RunPendingMessages();
        EXPECT_EQ(w.calls, 4);
        tav::RunPendingMessages();
        EXPECT_EQ(w.calls, 4);
        w.onReady = nullptr;
        q.ModifyFd(pairs[1].fd[0], EPOLLIN);
        tav::RunPendingMessages();
        EXPECT_EQ(w.calls, 5);
        EXPECT_EQ(w.perFd[pairs[1].fd[0]], 2);
        for (auto& p : pairs) q.UnwatchFd(p.fd[0]);
    });
}

TEST(TimerSet, TimerCancelledByAnEarlierHandlerOfThePassDoesNotFire) {
    TimerSet timers;
    auto t0 = TimerSet::Clock::now();
    int fired = 0;
    TimerId second = 0;
    TimerId first = timers.Add(5ms, false, [&] { timers.Cancel(second); ++fired; }, t0);
    second = timers.Add(5ms, true, [&] { ++fired; }, t0);
    std::vector<TimerId> due;
    timers.CollectDue(t0 + 4ms, due);
    EXPECT_TRUE(due.empty());
    timers.CollectDue(t0 + 5ms, due);
    ASSERT_EQ(due, (std::vector<TimerId>{first, second}));
    for (TimerId id : due)
        if (auto fn = timers.Fire(id, t0 + 5ms)) (*fn)();
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(timers.Count(), 0u);
    // The freed slot is used again under a new sequence: the old ids stay dead.
    TimerId third = timers.Add(1ms, false, [] {}, t0);
    EXPECT_NE(third, first);
    EXPECT_NE(third, second);
    EXPECT_FALSE(timers.Cancel(first));
    EXPECT_FALSE(timers.Cancel(second));
    EXPECT_TRUE(timers.Cancel(third));
}

// The posted FIFO is a ring: order must survive wrapping round and growing while wrapped, and
// a taken item must let go of what it holds at once.
TEST(QueueFifo, KeepsOrderAcrossWrapAndGrowthAndReleasesTakenItems) {
    QueueFifo<QueueItem> fifo;
    uint64_t next = 0, expected = 0;
    auto push = [&](int n) {
        for (int i = 0; i < n; ++i) {
            QueueItem item;
            item.wParam = next++;
            fifo.push_back(std::move(item));
        }
    };
    auto take = [&](int n) {
        for (int i = 0; i < n; ++i, ++expected) {
            ASSERT_FALSE(fifo.empty());
            EXPECT_EQ(fifo.front().wParam, expected);
            fifo.pop_front();
        }
    };
    for (const auto& [in, out] : {std::pair{10, 7}, {20, 5}, {40, 30}, {3, 31}}) {
        push(in);
        take(out);
    }
    EXPECT_TRUE(fifo.empty());

    auto held = std::make_shared<int>(1);
    QueueItem task;
    task.task = [held] {};
    fifo.push_back(std::move(task));
    fifo.pop_front();
    EXPECT_EQ(held.use_count(), 1);
}

TEST(Timer, TicksWhileEnabledStopsWhenAHandlerDisablesItMayBeDestroyedByOneAndIsReleasedAtThreadExit) {
    auto token = std::make_shared<int>();
    OnFreshThread([token] {
        static thread_local Timer leftover;  // made before the thread's queue, so it outlives it
        auto timer = std::make_unique<Timer>();
        int ticks = 0;
        timer->Tick.Subscribe([&] {
            if (++ticks == 3) timer->Enabled(false);
            if (ticks == 6) timer.reset();
        });
        timer->Enabled(true);  // no interval yet: nothing to tick
        EXPECT_EQ(tav::RunMessagesFor(20ms), 0);
        timer->Interval(5);
        EXPECT_TRUE(timer->Enabled());
        EXPECT_TRUE(PumpUntil([&] { return ticks == 3; }));
        EXPECT_FALSE(timer->Enabled());
        EXPECT_EQ(tav::RunMessagesFor(30ms), 0);
        EXPECT_EQ(ticks, 3);

        // Enabled again, it ticks again (a new interval restarts the period) until a handler
        // destroys it.
        timer->Enabled(true);
        timer->Interval(1);
        EXPECT_TRUE(PumpUntil([&] { return timer == nullptr; }));
        EXPECT_EQ(tav::RunMessagesFor(20ms), 0);
        EXPECT_EQ(ticks, 6);

        // One left enabled at thread exit is released with the thread's queue.
        leftover.Tick.Subscribe([token] {});
        leftover.Interval(1000);
        leftover.Enabled(true);
    });
    EXPECT_EQ(token.use_count(), 1);
}
