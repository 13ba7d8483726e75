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

/// The pump: what the library calls wherever it lets messages run while it waits, that is
/// inside TAVSocket::Connect (once before and once after the connect call, with a zero wait)
/// and on every turn of a send-retry wait (with the time left of that wait). It runs what is
/// pending and, when nothing is, waits up to `maxWait` for something to arrive; it returns the
/// number of items it handled.
///
/// The default pump runs the library's queue only (RunPendingMessages() for a zero wait,
/// RunMessagesFor() otherwise). A host that drives the library from its own event loop sets a
/// pump that runs one iteration of that loop, so the host's own timers and descriptors keep
/// being served while the library waits (a retry wait can last seconds when a peer stops
/// reading). That loop must still run the library's queue: it watches MessageLoopDescriptor()
/// and calls RunPendingMessages(), and that watch must be allowed to fire again while the
/// pump runs nested inside it (with GLib: g_source_set_can_recurse). See examples/glib_host.cpp.
///
/// Contract for a pump: never wait longer than `maxWait`; return 0 only when nothing ran. A
/// pump that returns 0 with time left makes a retry wait sleep out its rest, so it should
/// block rather than return at once. It is called on the owning thread, possibly nested (a
/// handler it runs may call Send, whose retry wait calls the pump again). Exceptions thrown by
/// the pump are dropped and count as nothing handled.
using MessagePump = std::function<int(std::chrono::milliseconds maxWait)>;

/// Sets the calling thread's pump; an empty function restores the default. Returns the
/// previous pump (empty when it was the default), so a host can restore it.
MessagePump SetMessagePump(MessagePump pump);

/// Lets messages run for up to `maxWait` through the calling thread's pump; returns the number
/// of items handled. Library code calls this wherever it waits; hosts may call it too.
int LetMessagesRun(std::chrono::milliseconds maxWait);

}  // namespace tav
