// Events: members to which hosts subscribe callables.
//
// Hosts subscribe and unsubscribe; only the object that owns an event raises it. Two forms of
// subscription: Subscribe returns an EventConnection that stays subscribed until Disconnect()
// is called (the explicit form), and SubscribeScoped returns an EventSubscription that
// unsubscribes when it goes out of scope.
#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace tav {

namespace detail {
/// The library's access to raising events; defined in a header that is not installed.
struct EventRaise;
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
        if (auto slot = mSlot.lock()) slot->active = false;
        if (auto state = mState.lock()) state->Compact();
        mSlot.reset();
        mState.reset();
    }
    bool Connected() const {
        auto slot = mSlot.lock();
        return slot && slot->active;
    }

private:
    template <class...>
    friend class Event;
    EventConnection(std::weak_ptr<detail::EventSlotBase> slot, std::weak_ptr<detail::EventStateBase> state)
        : mSlot(std::move(slot)), mState(std::move(state)) {}
    std::weak_ptr<detail::EventSlotBase> mSlot;
    std::weak_ptr<detail::EventStateBase> mState;
};

/// A subscription that ends with its scope: the destructor (or reassignment) calls
/// Disconnect() on the connection it holds. Move-only, so one subscription has one owner.
/// Destroying it after the event's object has gone is safe.
class EventSubscription {
public:
    EventSubscription() = default;
    /// Takes over an explicit connection; it now ends with this object.
    explicit EventSubscription(EventConnection connection) : mConnection(std::move(connection)) {}
    EventSubscription(EventSubscription&& other) noexcept : mConnection(std::exchange(other.mConnection, {})) {}
    EventSubscription& operator=(EventSubscription&& other) noexcept {
        if (this != &other) {
            mConnection.Disconnect();
            mConnection = std::exchange(other.mConnection, {});
        }
        return *this;
    }
    EventSubscription(const EventSubscription&) = delete;
    EventSubscription& operator=(const EventSubscription&) = delete;
    ~EventSubscription() { mConnection.Disconnect(); }

    /// Unsubscribes now.
    void Disconnect() { mConnection.Disconnect(); }
    bool Connected() const { return mConnection.Connected(); }
    /// Gives the connection back without unsubscribing: the subscription then lives on until
    /// the returned connection is disconnected or the event's object ends.
    EventConnection Release() { return std::exchange(mConnection, {}); }

private:
    EventConnection mConnection;
};

/// An event of an object. Subscribers are called in subscription order, synchronously, from a
/// snapshot taken when the event is raised: a handler may subscribe, unsubscribe or destroy the
/// object that raised the event. Exceptions from handlers propagate to the raiser, which
/// absorbs them where the object model says so.
template <class... Args>
class Event {
public:
    using Handler = std::function<void(Args...)>;

    Event() : mState(std::make_shared<State>()) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    /// Ending inside one of its own raises (a handler destroyed the owning object): the state
    /// lives on until that raise returns.
    ~Event() {
        if (mState && mState->depth > 0) mState->self = std::move(mState);
    }

    /// Adds a subscriber; returns the handle that removes it. The subscription stays until
    /// Disconnect() is called on a copy of the handle or the object ends; dropping the handle
    /// does not end it.
    EventConnection Subscribe(Handler handler) {
        auto slot = std::make_shared<Slot>();
        slot->handler = std::move(handler);
        mState->slots.push_back(slot);
        return EventConnection(slot, mState);
    }

    /// Adds a subscriber that is removed when the returned object goes out of scope: the form
    /// for a host object that must not be called after it has gone.
    [[nodiscard]] EventSubscription SubscribeScoped(Handler handler) {
        return EventSubscription(Subscribe(std::move(handler)));
    }

    bool HasSubscribers() const {
        for (const auto& s : mState->slots)
            if (s->active) return true;
        return false;
    }

private:
    friend struct detail::EventRaise;

    /// Raises the event: calls every active subscriber with the arguments. Only the owning
    /// object raises its events (through detail::EventRaise), so a host cannot fire them.
    void operator()(Args... args) const {
        if (mState->slots.empty()) return;
        // A handler may destroy the object that owns this event: the state then keeps itself
        // alive (see ~Event) until this raise is over. No reference is counted per raise.
        State* const state = mState.get();
        // No copy of the list: while a raise is under way removals only mark slots (the
        // list is compacted when the outermost raise ends) and additions go to the end, so
        // the first `count` slots are the snapshot. Slots are reached by index and plain
        // pointer, since an addition may move the list's storage.
        const size_t count = state->slots.size();
        ++state->depth;
        struct DepthGuard {
            State& s;
            ~DepthGuard() {
                if (--s.depth != 0) return;
                if (s.self) {
                    // The event is gone; this was its last raise. Ends the state.
                    std::shared_ptr<State> last = std::move(s.self);
                    return;
                }
                if (s.dirty) s.Compact();
            }
        } guard{*state};
        for (size_t i = 0; i < count; ++i) {
            Slot* slot = state->slots[i].get();
            if (slot->active) slot->handler(args...);
        }
    }

    struct Slot : detail::EventSlotBase {
        Handler handler;
    };
    struct State : detail::EventStateBase {
        std::vector<std::shared_ptr<Slot>> slots;
        int depth = 0;
        bool dirty = false;
        std::shared_ptr<State> self;  // set while the event has ended inside a raise
        void Compact() override {
            if (depth > 0) {
                dirty = true;
                return;
            }
            dirty = false;
            std::erase_if(slots, [](const std::shared_ptr<Slot>& s) { return !s->active; });
        }
    };
    std::shared_ptr<State> mState;
};

}  // namespace tav
