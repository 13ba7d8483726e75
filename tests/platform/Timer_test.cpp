#include "platform/Timer.hpp"

#include <tavsock/MessageLoop.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using tav::platform::Timer;
using namespace std::chrono_literals;

namespace {
template <class Fn>
void OnFreshThread(Fn fn) {
    std::thread(fn).join();
}
}  // namespace

TEST(Timer, TicksWhileEnabledAndStopsWhenAHandlerDisablesIt) {
    OnFreshThread([] {
        Timer timer;
        int ticks = 0;
        timer.Tick.Subscribe([&] {
            if (++ticks == 3) timer.Enabled(false);
        });
        timer.Enabled(true);  // no interval yet: nothing to tick
        EXPECT_EQ(tav::RunMessagesFor(20ms), 0);
        timer.Interval(5);
        EXPECT_TRUE(timer.Enabled());
        EXPECT_TRUE(tav::RunMessagesUntil([&] { return ticks == 3; }, 10s));
        EXPECT_FALSE(timer.Enabled());
        EXPECT_EQ(tav::RunMessagesFor(30ms), 0);
        EXPECT_EQ(ticks, 3);

        // Enabled again, it ticks again; a new interval restarts the period.
        timer.Enabled(true);
        timer.Interval(1);
        EXPECT_EQ(timer.Interval(), 1);
        EXPECT_TRUE(tav::RunMessagesUntil([&] { return ticks == 5; }, 10s));
        timer.Enabled(false);
    });
}

TEST(Timer, AHandlerMayDestroyTheTimer) {
    OnFreshThread([] {
        auto timer = std::make_unique<Timer>();
        int ticks = 0;
        timer->Tick.Subscribe([&] {
            ++ticks;
            timer.reset();
        });
        timer->Interval(1);
        timer->Enabled(true);
        EXPECT_TRUE(tav::RunMessagesUntil([&] { return timer == nullptr; }, 10s));
        EXPECT_EQ(tav::RunMessagesFor(20ms), 0);
        EXPECT_EQ(ticks, 1);
    });
}

TEST(Timer, AnEnabledTimerLeftAtThreadExitIsReleased) {
    auto token = std::make_shared<int>();
    OnFreshThread([token] {
        static thread_local Timer timer;  // outlives the thread's queue
        timer.Tick.Subscribe([token] {});
        timer.Interval(1000);
        timer.Enabled(true);
    });
    EXPECT_EQ(token.use_count(), 1);
}
