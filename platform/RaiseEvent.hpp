// Raising an event, for the library's own classes only: this header is not installed, so
// hosts subscribe to events but cannot raise them.
#pragma once

#include <tavsock/Event.hpp>

#include <utility>

namespace tav {

namespace detail {
struct EventRaise {
    template <class... Args, class... Params>
    static void Raise(const Event<Args...>& event, Params&&... args) {
        event(std::forward<Params>(args)...);
    }
};
}  // namespace detail

/// Calls every subscriber of `event` with `args` (see Event for the dispatch rules).
template <class... Args, class... Params>
void RaiseEvent(const Event<Args...>& event, Params&&... args) {
    detail::EventRaise::Raise(event, std::forward<Params>(args)...);
}

}  // namespace tav
