#include "platform/TimerSet.hpp"

namespace tav::platform {

TimerId TimerSet::Add(Clock::duration interval, bool periodic, std::function<void()> fn, Clock::time_point now) {
    if (interval < Clock::duration::zero()) interval = Clock::duration::zero();
    if (periodic && interval < std::chrono::milliseconds(1)) interval = std::chrono::milliseconds(1);
    uint32_t index;
    if (!freeSlots_.empty()) {
        index = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        index = static_cast<uint32_t>(slots_.size());
        slots_.emplace_back();
    }
    Slot& slot = slots_[index];
    if (++slot.seq == 0) slot.seq = 1;
    slot.live = true;
    slot.scheduled = true;
    slot.periodic = periodic;
    slot.interval = interval;
    slot.deadline = now + interval;
    slot.fn = std::make_shared<std::function<void()>>(std::move(fn));
    TimerId id = MakeId(index, slot.seq);
    schedule_.emplace(slot.deadline, id);
    return id;
}

TimerSet::Slot* TimerSet::Lookup(TimerId id) {
    uint64_t high = id >> 32;
    if (high == 0 || high > slots_.size()) return nullptr;
    Slot& slot = slots_[high - 1];
    if (!slot.live || slot.seq != static_cast<uint32_t>(id)) return nullptr;
    return &slot;
}

void TimerSet::Free(uint32_t index) {
    Slot& slot = slots_[index];
    slot.live = false;
    slot.scheduled = false;
    slot.fn.reset();
    freeSlots_.push_back(index);
}

bool TimerSet::Cancel(TimerId id) {
    Slot* slot = Lookup(id);
    if (!slot) return false;
    if (slot->scheduled)
        schedule_.erase({slot->deadline, id});
    else
        --collected_;
    Free(static_cast<uint32_t>((id >> 32) - 1));
    return true;
}

std::optional<TimerSet::Clock::time_point> TimerSet::Earliest() const {
    if (schedule_.empty()) return std::nullopt;
    return schedule_.begin()->first;
}

void TimerSet::CollectDue(Clock::time_point now, std::vector<TimerId>& out) {
    while (!schedule_.empty() && schedule_.begin()->first <= now) {
        TimerId id = schedule_.begin()->second;
        schedule_.erase(schedule_.begin());
        slots_[(id >> 32) - 1].scheduled = false;
        ++collected_;
        out.push_back(id);
    }
}

std::shared_ptr<std::function<void()>> TimerSet::Fire(TimerId id, Clock::time_point now) {
    Slot* slot = Lookup(id);
    if (!slot || slot->scheduled) return nullptr;
    --collected_;
    auto fn = slot->fn;
    if (slot->periodic) {
        Clock::time_point next = slot->deadline + slot->interval;
        if (next <= now) next = now + slot->interval;
        slot->deadline = next;
        slot->scheduled = true;
        schedule_.emplace(next, id);
    } else {
        Free(static_cast<uint32_t>((id >> 32) - 1));
    }
    return fn;
}

}  // namespace tav::platform
