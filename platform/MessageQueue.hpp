// The per-thread message queue: the stand-in for a thread's hidden windows and its message
// loop.
//
// Window handles are numbers owned by the queue of the thread that created them. Messages are
// posted to a handle (from any thread) and dispatched in FIFO order to the handle's window
// procedure on the owning thread. The queue also watches file descriptors for the
// asynchronous-select layer, runs timers, and runs tasks posted from other threads (resolver
// threads), all from one epoll wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace tav::platform {

using HWND = int32_t;

inline constexpr uint32_t WM_NCDESTROY = 0x82;
inline constexpr uint32_t WM_USER = 0x400;

/// A window procedure; its result is returned by SendMessageTo.
using WndProc = std::function<intptr_t(HWND hWnd, uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

/// Creates a window handle on the calling thread's queue. Handles are non-zero and never
/// reused within the process. Returns 0 if the handle cannot be created.
HWND CreateWindowHandle(WndProc proc);
/// True while the handle exists (any thread may ask).
bool IsWindowHandle(HWND hWnd);
/// Destroys a window of the calling thread: its procedure receives WM_NCDESTROY
/// synchronously, then the handle is forgotten; messages still queued for it are dropped.
/// Returns false for an unknown handle or one owned by another thread. Safe from inside the
/// window's own procedure.
bool DestroyWindowHandle(HWND hWnd);
/// Queues a message for the window; callable from any thread. False for an unknown handle.
bool PostMessageTo(HWND hWnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);
/// Calls the window procedure at once (calling thread must own the window); 0 for an unknown
/// handle.
intptr_t SendMessageTo(HWND hWnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);
/// Default processing: nothing, result 0.
intptr_t DefWindowProcFor(HWND hWnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);
/// Number for a registered message name, in 0xC000..0xFFFF; the same name gives the same
/// number everywhere in the process.
uint32_t RegisterWindowMessage(const std::string& name);

/// Receives readiness of a watched descriptor (epoll event bits).
class FdWatcher {
public:
    virtual void OnFdReady(int fd, uint32_t epollEvents) = 0;

protected:
    ~FdWatcher() = default;
};

using TimerId = uint64_t;

/// The queue of one thread. Obtain it with ForThisThread(); all members except PostTask and
/// Wake must be called on the owning thread.
class MessageQueue {
public:
    static MessageQueue& ForThisThread();

    /// Watches `fd` for the epoll event bits `events` (level-triggered); 0 keeps the
    /// descriptor registered with no interest. Replaces an earlier watch of the same fd.
    void WatchFd(int fd, uint32_t events, FdWatcher* watcher);
    /// Changes the interest of a watched fd. Changes made during dispatch are applied before
    /// the next wait, so many changes cost at most one system call per descriptor.
    void ModifyFd(int fd, uint32_t events);
    /// Stops watching `fd`; readiness already collected for it is dropped.
    void UnwatchFd(int fd);

    /// Runs `fn` after `interval` (and every `interval` when periodic) on this thread.
    TimerId AddTimer(std::chrono::milliseconds interval, bool periodic, std::function<void()> fn);
    /// Cancels a timer; a stale or unknown id does nothing. A timer cancelled by another
    /// timer's handler in the same pass does not fire.
    void CancelTimer(TimerId id);

    /// Queues `fn` to run on the owning thread, in order with posted messages. Callable from
    /// any thread; wakes the owner's wait.
    void PostTask(std::function<void()> fn);

    int RunPending();
    int RunFor(std::chrono::milliseconds timeout);
    void Run();
    void Quit();
    int PollDescriptor();

    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;
    ~MessageQueue();

private:
    MessageQueue();
    struct Impl;
    Impl* impl_;
    friend struct QueueAccess;
};

}  // namespace tav::platform
