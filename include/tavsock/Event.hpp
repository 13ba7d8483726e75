// Events: members to which hosts subscribe callables.
#pragma once

#include <functional>
#include <memory>
#include <vector>

namespace tav {

namespace detail {
struct EventSlotBase {
    bool active = true;
};
struct EventStateBase {
    virtual ~EventStateBase() = default;
    virtual void Compact() = 0;
};
}  // namespace detail

/// Handle returned by Event::Subscribe. Copyable; Disconnect() removes the subscription (also
/// from inside a handler, in which case the handler is not called again, not even later in the
/// dispatch under way). Letting the handle go does not unsubscribe.
class EventConnection {
public:
    EventConnection() = default;
    void Disconnect() {
        if (auto slot = slot_.lock()) slot->active = false;
        if (auto state = state_.lock()) state->Compact();
        slot_.reset();
        state_.reset();
    }
    bool Connected() const {
        auto slot = slot_.lock();
        return slot && slot->active;
    }

private:
    template <class...>
    friend class Event;
    EventConnection(std::weak_ptr<detail::EventSlotBase> slot, std::weak_ptr<detail::EventStateBase> state)
        : slot_(std::move(slot)), state_(std::move(state)) {}
    std::weak_ptr<detail::EventSlotBase> slot_;
    std::weak_ptr<detail::EventStateBase> state_;
};

/// An event of an object. Subscribers are called in subscription order, synchronously, from a
/// snapshot taken when the event is raised: a handler may subscribe, unsubscribe or destroy the
/// object that raised the event. Exceptions from handlers propagate to the raiser, which
/// absorbs them where the object model says so.
template <class... Args>
class Event {
public:
    using Handler = std::function<void(Args...)>;

    Event() : state_(std::make_shared<State>()) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    /// Adds a subscriber; returns the handle that removes it.
    EventConnection Subscribe(Handler handler) {
        auto slot = std::make_shared<Slot>();
        slot->handler = std::move(handler);
        state_->slots.push_back(slot);
        return EventConnection(slot, state_);
    }

    bool HasSubscribers() const {
        for (const auto& s : state_->slots)
            if (s->active) return true;
        return false;
    }

    /// Raises the event: calls every active subscriber with the arguments.
    void operator()(Args... args) const {
        if (state_->slots.empty()) return;
        // Keep the state alive: a handler may destroy the object that owns this event.
        auto state = state_;
        // No copy of the list: while a raise is under way removals only mark slots (the
        // list is compacted when the outermost raise ends) and additions go to the end, so
        // the first `count` slots are the snapshot. Slots are reached by index and plain
        // pointer, since an addition may move the list's storage.
        const size_t count = state->slots.size();
        ++state->depth;
        struct DepthGuard {
            State& s;
            ~DepthGuard() {
                if (--s.depth == 0 && s.dirty) s.Compact();
            }
        } guard{*state};
        for (size_t i = 0; i < count; ++i) {
            Slot* slot = state->slots[i].get();
            if (slot->active) slot->handler(args...);
        }
    }

private:
    struct Slot : detail::EventSlotBase {
        Handler handler;
    };
    struct State : detail::EventStateBase {
        std::vector<std::shared_ptr<Slot>> slots;
        int depth = 0;
        bool dirty = false;
        void Compact() override {
            if (depth > 0) {
                dirty = true;
                return;
            }
            dirty = false;
            std::erase_if(slots, [](const std::shared_ptr<Slot>& s) { return !s->active; });
        }
    };
    std::shared_ptr<State> state_;
};

}  // namespace tav
