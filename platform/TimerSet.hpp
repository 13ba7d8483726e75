// The timers of one message queue, on the monotonic clock.
//
// Firing is two-phase: CollectDue() takes every timer due now off the schedule, then the queue
// calls Fire() for each collected id. A timer cancelled (or re-created) in between does not
// fire, because an id is (slot, sequence) and the sequence of a slot changes each time it is
// used again; stale ids therefore do nothing. Single-threaded: owned and used by the queue's
// thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace tav::platform {

using TimerId = uint64_t;

class TimerSet {
public:
    using Clock = std::chrono::steady_clock;

    /// Schedules `fn` at `now + interval` (and every `interval` after when periodic; a periodic
    /// interval below 1 ms counts as 1 ms, so a timer can never keep the loop busy). Never 0.
    TimerId Add(Clock::duration interval, bool periodic, std::function<void()> fn, Clock::time_point now);
    /// Removes a timer; false for a stale or unknown id.
    bool Cancel(TimerId id);

    /// The earliest deadline, if any timer is scheduled.
    std::optional<Clock::time_point> Earliest() const;
    /// Phase one: moves the ids of all timers due at `now`, earliest first, to `out`.
    void CollectDue(Clock::time_point now, std::vector<TimerId>& out);
    /// Phase two for one collected id: the callback to run, or null when the timer was
    /// cancelled meanwhile. A periodic timer is scheduled again (from its previous deadline,
    /// or from `now` when it fell a whole period behind); a one-shot timer is freed, so its
    /// handler cannot cancel it any more. The callback is shared so that a handler may cancel
    /// its own timer while the callback runs.
    std::shared_ptr<std::function<void()>> Fire(TimerId id, Clock::time_point now);

    size_t Count() const { return schedule_.size() + collected_; }

private:
    struct Slot {
        uint32_t seq = 0;
        bool live = false;
        bool scheduled = false;
        bool periodic = false;
        Clock::time_point deadline;
        Clock::duration interval{};
        std::shared_ptr<std::function<void()>> fn;
    };
    static TimerId MakeId(uint32_t slot, uint32_t seq) { return (uint64_t{slot} + 1) << 32 | seq; }
    Slot* Lookup(TimerId id);
    void Free(uint32_t slot);

    std::vector<Slot> slots_;
    std::vector<uint32_t> freeSlots_;
    std::set<std::pair<Clock::time_point, TimerId>> schedule_;
    size_t collected_ = 0;  // live timers taken off the schedule and not yet fired
};

}  // namespace tav::platform
