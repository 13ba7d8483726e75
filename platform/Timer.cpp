#include "platform/Timer.hpp"

#include "platform/MessageQueue.hpp"
#include "platform/RaiseEvent.hpp"

namespace tav::platform {

Timer::~Timer() {
    Stop();
}

void Timer::Enabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    if (value)
        Start();
    else
        Stop();
}

void Timer::Interval(int32_t ms) {
    if (ms == interval_) return;
    interval_ = ms;
    if (enabled_) {
        Stop();
        Start();
    }
}

void Timer::Start() {
    if (interval_ <= 0) return;
    // The callback touches nothing after raising Tick: a handler may have destroyed the timer,
    // whose destructor cancels this queue timer (the queue keeps the running callback alive).
    id_ = MessageQueue::ForThisThread().AddTimer(std::chrono::milliseconds(interval_), true, [this] { RaiseEvent(Tick); });
}

void Timer::Stop() {
    if (id_ == 0) return;
    // At thread exit the queue may already be gone, and its timers with it.
    if (MessageQueue* q = MessageQueue::Current()) q->CancelTimer(id_);
    id_ = 0;
}

}  // namespace tav::platform
