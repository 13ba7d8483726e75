// The per-thread message queue: the stand-in for a thread's hidden windows and its message
// loop.
//
// Window handles are numbers owned by the queue of the thread that created them. Messages are
// posted to a handle (from any thread) and dispatched in FIFO order to the handle's window
// procedure on the owning thread. The queue also watches file descriptors for the
// asynchronous-select layer, runs timers, and runs tasks posted from other threads (resolver
// threads), all from one epoll wait.
//
// Thread rule: a thread's queue is created on its first use and torn down when the thread
// ends. Everything here runs on the owning thread except where a comment says "any thread".
// Calls from the wrong thread, or from destructors run by the queue's own teardown, fail
// (false, 0, -1 or nothing happens).
//
// Re-entrancy: any handler (window procedure, task, descriptor watcher, timer) may run the
// queue again (nested dispatch), destroy the window being dispatched to, unwatch descriptors
// or cancel timers. Nested runs continue where the outer run stands: nothing is delivered
// twice and posted items keep their FIFO order. Exceptions thrown by handlers are caught at
// the dispatch boundary and dropped; nothing unwinds through the queue.
#pragma once

#include "platform/FdTable.hpp"
#include "platform/QueueFifo.hpp"
#include "platform/QueueInbox.hpp"
#include "platform/TimerSet.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tav::platform {

inline constexpr uint32_t WM_NCDESTROY = 0x82;
inline constexpr uint32_t WM_USER = 0x400;

/// A window procedure; its result is returned by SendMessageTo.
using WndProc = std::function<intptr_t(HWND hWnd, uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

/// Creates a window handle on the calling thread's queue; an empty procedure means default
/// processing. Handles are non-zero and never reused within the process. Returns 0 if the
/// handle cannot be created.
HWND CreateWindowHandle(WndProc proc);
/// True while the handle exists, including during its WM_NCDESTROY. Any thread.
bool IsWindowHandle(HWND hWnd);
/// True while the handle exists and belongs to the calling thread's queue.
bool IsWindowOfThisThread(HWND hWnd);
/// Destroys a window of the calling thread: its procedure receives WM_NCDESTROY (wParam and
/// lParam 0) synchronously, then the handle is forgotten; messages still queued for it are
/// dropped. Returns false for an unknown handle, one owned by another thread, or one whose
/// destruction is already under way (WM_NCDESTROY is delivered once). Safe from inside any
/// window procedure, including the window's own.
bool DestroyWindowHandle(HWND hWnd);
/// Queues a message for the window. Any thread. False for an unknown handle or when the
/// owning thread has ended.
bool PostMessageTo(HWND hWnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);
/// Calls the window procedure at once; the calling thread must own the window (0 otherwise,
/// and for an unknown handle). Exceptions of the procedure reach the caller.
intptr_t SendMessageTo(HWND hWnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);
/// Default processing: nothing, result 0.
intptr_t DefWindowProcFor(HWND hWnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);
/// Number for a registered message name, in 0xC000..0xFFFF; the same name (compared without
/// regard to case) gives the same number everywhere in the process. 0 for an empty name.
/// Any thread.
uint32_t RegisterWindowMessage(const std::string& name);
/// Runs `fn` on the thread that owns `hWnd`, in order with that thread's posted messages (for
/// resolver threads, which only know the window). Any thread. The task runs even if the window
/// is destroyed after the post, as long as its thread lives; false for an unknown handle or an
/// ended thread, in which case `fn` is destroyed on the calling thread.
bool PostTaskToWindowThread(HWND hWnd, std::function<void()> fn);

/// Receives readiness of a watched descriptor (epoll event bits: the interest that is ready,
/// plus EPOLLERR / EPOLLHUP).
class FdWatcher {
public:
    virtual void OnFdReady(int fd, uint32_t epollEvents) = 0;

protected:
    ~FdWatcher() = default;
};

/// A handle on a thread's queue that other threads may keep and use after that thread has
/// ended (the calls then do nothing and return false). Any thread.
class QueueRef {
public:
    QueueRef() = default;
    /// Queues `fn` for the owning thread, in order with its posted messages.
    bool PostTask(std::function<void()> fn) const;
    /// Makes the owner's innermost Run() return.
    bool Quit() const;

private:
    friend class MessageQueue;
    explicit QueueRef(std::shared_ptr<QueueInbox> inbox) : inbox_(std::move(inbox)) {}
    std::shared_ptr<QueueInbox> inbox_;
};

class MessageQueue;
namespace detail {
// The calling thread's queue; read inline by Current() and the owner checks that every call
// into a queue makes. Constant-initialised, so no guard runs on access.
extern thread_local constinit MessageQueue* tQueue;
}  // namespace detail

/// The queue of one thread.
class MessageQueue {
public:
    using Clock = std::chrono::steady_clock;

    /// The calling thread's queue, created on first use.
    static MessageQueue& ForThisThread() { return detail::tQueue ? *detail::tQueue : CreateForThisThread(); }
    /// The calling thread's queue, or null when it has none (yet, or any more). For clean-up
    /// paths that must not create one.
    static MessageQueue* Current() { return detail::tQueue; }
    bool IsOwnerThread() const;

    /// Watches `fd` for the epoll event bits `events` (level-triggered); 0 keeps the
    /// descriptor registered with no interest (then not even errors and hang-ups are
    /// reported). Replaces an earlier watch of the same fd; readiness collected for the
    /// earlier watch is dropped.
    /// Does not own the descriptor; `watcher` must stay valid until UnwatchFd (it may call
    /// UnwatchFd itself from OnFdReady). False for a descriptor epoll refuses.
    bool WatchFd(int fd, uint32_t events, FdWatcher* watcher);
    /// Changes the interest of a watched fd. Changes made during dispatch are applied before
    /// the next wait, so many changes cost at most one system call per descriptor.
    bool ModifyFd(int fd, uint32_t events);
    /// Stops watching `fd`; readiness already collected for it is dropped. Call it before
    /// closing the descriptor.
    bool UnwatchFd(int fd);

    /// Runs `fn` after `interval` (and every `interval` when periodic) on this thread. 0 from
    /// the wrong thread.
    TimerId AddTimer(std::chrono::milliseconds interval, bool periodic, std::function<void()> fn);
    /// Cancels a timer; a stale or unknown id does nothing. A timer cancelled by another
    /// timer's handler in the same pass does not fire.
    void CancelTimer(TimerId id);

    /// Queues `fn` to run on the owning thread, in order with posted messages. Any thread
    /// while the queue lives (keep a Ref() to post from threads that may outlive it).
    bool PostTask(std::function<void()> fn);
    /// A handle for posting from other threads; stays safe after this thread ends. Any thread.
    QueueRef Ref() const { return QueueRef(inbox_); }

    /// Runs what is pending now without blocking: ready descriptors, posted messages and tasks
    /// (those present once the descriptors have been handled), due timers. Returns the number
    /// of items handled.
    int RunPending();
    /// Blocks until something arrives or `timeout` passes, then runs what is pending. Returns
    /// the number of items handled, 0 on time-out. Never spins.
    int RunFor(std::chrono::milliseconds timeout);
    /// Runs until Quit(). Nested Run() calls each need their own Quit().
    void Run();
    /// How many passes of this queue are under way on the stack: 0 outside any handler, 1 in a
    /// handler the loop called, more inside handlers that passes nested inside handlers called.
    int PassDepth() const { return depth_; }
    /// Makes the innermost Run() return once the pass under way (the batch it took when it
    /// last woke) is finished. Any thread while the queue lives. A quit requested while no
    /// Run() is active ends the next Run() at once.
    void Quit();
    /// A descriptor (the epoll instance) that is readable while anything waits here: a
    /// watched descriptor is ready, a message or task is posted, or a timer is due. Asking for
    /// it switches on the extra system calls that keep it exact for own-thread posts and
    /// timers. Do not read from or close it.
    int PollDescriptor();

    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;
    ~MessageQueue();

private:
    friend HWND CreateWindowHandle(WndProc proc);
    friend bool DestroyWindowHandle(HWND hWnd);
    friend bool IsWindowOfThisThread(HWND hWnd);
    friend bool PostMessageTo(HWND hWnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);
    friend intptr_t SendMessageTo(HWND hWnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);
    friend bool PostTaskToWindowThread(HWND hWnd, std::function<void()> fn);

    struct Window {
        WndProc proc;
        bool destroying = false;
    };
    struct ReadyEvent {
        uint64_t data;
        uint32_t events;
    };

    MessageQueue();
    static MessageQueue& CreateForThisThread();
    bool CheckOwner() const { return detail::tQueue == this && !closing_; }

    // Posting on the owning thread: no lock, no system call unless an outside poller watches.
    void PostLocal(QueueItem&& item);
    void TakeInbox();
    void SignalLocal();
    void ResetLocalSignal();

    // The loop: one pass polls (unless an outer pass still has collected readiness),
    // delivers readiness, then posted items, then due timers.
    int RunOnce(int timeoutMs);
    void Poll(int timeoutMs);
    int PollTimeout(int timeoutMs) const;
    int DeliverReady();
    void HandleInternal(int fd);
    int DeliverPosted();
    int FireTimers();
    int DispatchItem(QueueItem& item);
    // The entry of a window of this queue, null when it has none: a stream of messages goes to
    // one window, so the last entry found is remembered (map nodes stay put until erased).
    const std::shared_ptr<Window>* FindWindow(HWND hWnd);
    // Forgets the remembered entry; called before any window leaves windows_.
    void ForgetFoundWindow() noexcept { foundWindow_ = nullptr; }
    void SyncTimerFd();
    void EndPass();

    const std::thread::id owner_;
    int epollFd_ = -1;
    int localFd_ = -1;  // eventfd: readable while own-thread posts wait, for outside pollers
    int timerFd_ = -1;  // timerfd: readable when a timer is due, for outside pollers
    std::shared_ptr<QueueInbox> inbox_;
    FdTable fds_;
    TimerSet timers_;

    QueueFifo<QueueItem> posted_;  // FIFO; items are popped before they are dispatched
    uint64_t nextSeq_ = 0;
    std::unordered_map<HWND, std::shared_ptr<Window>> windows_;
    HWND foundHwnd_ = 0;
    const std::shared_ptr<Window>* foundWindow_ = nullptr;  // windows_'s entry of foundHwnd_

    std::vector<ReadyEvent> ready_;  // collected by the last poll; shared by nested passes
    size_t readyPos_ = 0;

    int depth_ = 0;     // passes under way (nesting)
    bool quitSeen_ = false;  // a Quit() not yet consumed by a Run()
    bool external_ = false;       // PollDescriptor() was asked for
    bool localSignaled_ = false;  // localFd_ is readable
    std::optional<Clock::time_point> armedDeadline_;  // what timerFd_ is set to
    bool closing_ = false;
};

}  // namespace tav::platform
