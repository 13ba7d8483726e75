// The host-facing side of the per-thread message queue.
//
// Every notification of the library (socket readiness, finished look-ups, posted events,
// timer ticks) is delivered on the thread that created the objects, while that thread runs
// its message queue through one of the functions below, or while the host's own event loop
// calls RunPendingMessages() whenever MessageLoopDescriptor() turns readable.
//
// All functions act on the calling thread's queue (created on first use, ended with the
// thread). Handlers may call them again (nested dispatch); nothing is delivered twice.
#pragma once

#include <chrono>
#include <functional>

namespace tav {

/// Runs everything that is pending now (ready sockets, posted messages, due timers) without
/// blocking. Returns the number of items handled. May be called from inside a handler
/// (nested dispatch).
int RunPendingMessages();

/// Waits up to `timeout` for work, then runs everything that is pending. Returns the number
/// of items handled (0 on time-out). Never spins: blocks in the poller.
int RunMessagesFor(std::chrono::milliseconds timeout);

/// Runs the queue until `done()` is true (checked before waiting and after each batch) or
/// `timeout` has passed. Returns done() at the end.
bool RunMessagesUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

/// Runs the queue until QuitMessageLoop() is called.
void RunMessageLoop();

/// Makes the innermost RunMessageLoop() of the calling thread return once the batch it is
/// handling is finished. Called while no loop runs, it ends the next RunMessageLoop() at once.
void QuitMessageLoop();

/// A file descriptor that is readable while work waits in the calling thread's queue, for
/// hosts that drive the queue from their own loop (epoll, glib, Qt, libuv): wait for it to
/// turn readable, then call RunPendingMessages(). The descriptor belongs to the queue; do not
/// read from or close it.
int MessageLoopDescriptor();

}  // namespace tav
