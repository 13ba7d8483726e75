// The periodic timer of the outside timer component, over the calling thread's message queue.
//
// While Enabled and Interval > 0, Tick is raised every Interval milliseconds on the thread
// that created the timer, from its message queue. A Tick handler may disable, re-time or
// destroy the timer. Single-threaded: use it on the thread that created it.
#pragma once

#include "platform/TimerSet.hpp"

#include <tavsock/Event.hpp>

#include <cstdint>

namespace tav::platform {

class Timer {
public:
    /// A disabled timer with an interval of 0.
    Timer() = default;
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    bool Enabled() const { return enabled_; }
    /// True starts periodic ticks (the first one Interval after this call); false stops them.
    /// Enabling a timer that is already enabled changes nothing.
    void Enabled(bool value);

    int32_t Interval() const { return interval_; }
    /// Milliseconds between ticks; 0 or less means no ticks. A change while enabled restarts
    /// the period.
    void Interval(int32_t ms);

    /// Raised on each tick.
    Event<> Tick;

private:
    void Start();
    void Stop();

    bool enabled_ = false;
    int32_t interval_ = 0;
    TimerId id_ = 0;  // the queue's timer, 0 while none runs
};

}  // namespace tav::platform
