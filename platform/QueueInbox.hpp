// The part of a thread's message queue that other threads may reach.
//
// It holds the items posted from other threads, the wake-up descriptor that interrupts the
// owner's wait, and a pending quit request. It lives in a std::shared_ptr shared by the queue,
// the window registry and anyone who keeps a QueueRef, so a post to a queue whose thread has
// ended meets a closed inbox instead of a dead queue.
#pragma once

#include "platform/QueueFifo.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace tav::platform {

using HWND = int32_t;

/// One entry of a thread's FIFO: a window message, or a task when `task` is set.
struct QueueItem {
    HWND hWnd = 0;
    uint32_t msg = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    std::function<void()> task;
    /// Position in the owner's FIFO, given when the item enters it.
    uint64_t seq = 0;
};

class QueueInbox {
public:
    /// Creates the wake-up descriptor (an eventfd); Valid() tells whether that worked.
    QueueInbox();
    ~QueueInbox();
    QueueInbox(const QueueInbox&) = delete;
    QueueInbox& operator=(const QueueInbox&) = delete;

    bool Valid() const { return wakeFd_ >= 0; }
    /// The descriptor that turns readable when items or a quit request arrive. Owned here;
    /// closed by Close().
    int WakeFd() const { return wakeFd_; }

    /// Adds an item. The wake-up descriptor is written only when the inbox goes from empty to
    /// non-empty, so a burst of posts costs one system call. False once closed. Any thread.
    bool Push(QueueItem&& item);
    /// Asks the owner's innermost Run() to return and wakes the owner. False once closed.
    /// Any thread.
    bool RequestQuit();

    /// Owner thread: true (once) when a quit was requested.
    bool TakeQuit() { return quit_.exchange(false, std::memory_order_acq_rel); }
    /// Owner thread: a cheap look whether anything waits, without taking the lock.
    bool HasItems() const { return hasItems_.load(std::memory_order_acquire); }
    /// Owner thread: appends every waiting item to `out`, numbering them from `nextSeq`.
    void TakeAll(QueueFifo<QueueItem>& out, uint64_t& nextSeq);
    /// Owner thread: reads the wake-up descriptor back to not readable. Call before TakeAll,
    /// so that a post racing with the take always leaves the descriptor readable.
    void ResetWake();

    /// Owner thread, at teardown: refuses further posts, closes the wake-up descriptor and
    /// hands back what was still waiting so the owner can destroy it on its own thread.
    std::vector<QueueItem> Close();

private:
    void WriteWakeLocked();

    std::mutex mu_;
    std::vector<QueueItem> items_;  // guarded by mu_
    std::vector<QueueItem> spare_;  // owner thread only: keeps its capacity between takes
    bool closed_ = false;           // guarded by mu_
    int wakeFd_ = -1;               // written under mu_ so Close() cannot race a post
    std::atomic<bool> hasItems_{false};
    std::atomic<bool> quit_{false};
};

}  // namespace tav::platform
