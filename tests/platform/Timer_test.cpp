#include "platform/Timer.hpp"
#include "SockTestUtil.hpp"

#include <memory>

using tav::platform::Timer;
using tav::test::OnFreshThread;
using tav::test::PumpUntil;
using namespace std::chrono_literals;

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
        EXPECT_TRUE(PumpUntil([&] { return ticks == 3; }));
        EXPECT_FALSE(timer.Enabled());
        EXPECT_EQ(tav::RunMessagesFor(30ms), 0);
        EXPECT_EQ(ticks, 3);

        // Enabled again, it ticks again; a new interval restarts the period.
        timer.Enabled(true);
        timer.Interval(1);
        EXPECT_TRUE(PumpUntil([&] { return ticks == 5; }));
        timer.Enabled(false);
        EXPECT_EQ(tav::RunMessagesFor(20ms), 0);
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
        EXPECT_TRUE(PumpUntil([&] { return timer == nullptr; }));
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
