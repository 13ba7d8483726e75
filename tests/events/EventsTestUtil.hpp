// Helpers shared by the event-machinery tests.
#pragma once

#include <tavsock/MessageLoop.hpp>

#include <chrono>
#include <functional>
#include <thread>

namespace tav::test {

// Runs a scenario on a thread of its own: a fresh message queue and fresh per-thread window
// state (registry, class flag), all torn down when the scenario ends.
template <class Fn>
void OnFreshThread(Fn fn) {
    std::thread t(fn);
    t.join();
}

// Runs the calling thread's queue until `done` holds; generous, so slow machines pass.
inline bool PumpUntil(const std::function<bool()>& done) {
    return tav::RunMessagesUntil(done, std::chrono::seconds(20));
}

}  // namespace tav::test
