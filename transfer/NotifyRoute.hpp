// Where a transfer manager's notifications go: its callback object when one is set, else out
// as its own events; never both, and nothing a receiver throws comes back.
#pragma once

#include "platform/RaiseEvent.hpp"

#include <tavsock/Event.hpp>

#include <memory>
#include <utility>

namespace tav {

/// The CallbackObject property of a manager of class `Owner` whose callback interface is
/// `Callback` (operations taking the manager first, then the event's arguments), and the one
/// way its notifications are delivered. One thread; the route does not own the manager.
template <class Owner, class Callback>
class NotifyRoute {
public:
    const std::shared_ptr<Callback>& Object() const noexcept { return callback_; }
    void Object(std::shared_ptr<Callback> callback) noexcept { callback_ = std::move(callback); }

    /// Calls `operation` on the callback object with `self` and `args` when one is set, else
    /// raises `event` with `args`; absorbs whatever the receiver throws. `self` must be held
    /// by the caller for the call: a receiver may let go of the manager. The callback object
    /// is held for the call too, so a receiver may replace it.
    template <class... OpArgs, class... EventArgs, class... Params>
    void operator()(const std::shared_ptr<Owner>& self, void (Callback::*operation)(const std::shared_ptr<Owner>&, OpArgs...),
                    const Event<EventArgs...>& event, Params&&... args) const noexcept {
        try {
            if (const std::shared_ptr<Callback> receiver = callback_)
                ((*receiver).*operation)(self, std::forward<Params>(args)...);
            else
                RaiseEvent(event, std::forward<Params>(args)...);
        } catch (...) {
            // A receiver's failure is its own.
        }
    }

private:
    std::shared_ptr<Callback> callback_;
};

}  // namespace tav
