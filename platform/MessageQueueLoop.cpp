// The loop of a thread's queue. One pass: poll the descriptors (unless an outer pass still has
// collected readiness to deliver), deliver readiness, run the posted items that are there once
// readiness has been handled, fire the due timers.
#include "platform/MessageQueue.hpp"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace tav::platform {

namespace {

constexpr int kMaxEvents = 256;

// Milliseconds until `d` has surely passed (rounded up, so a wait never ends just before a
// deadline and turns into a string of zero-time polls).
int CeilMs(MessageQueue::Clock::duration d) {
    if (d <= MessageQueue::Clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

int MessageQueue::RunPending() {
    if (!CheckOwner()) return 0;
    return RunOnce(0);
}

int MessageQueue::RunFor(std::chrono::milliseconds timeout) {
    if (!CheckOwner() || epollFd_ < 0) return 0;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int ms = CeilMs(deadline - Clock::now());
        int handled = RunOnce(ms);
        // A wake-up that brought nothing (a quit request, a late wake-up for items already
        // taken) goes back to waiting.
        if (handled > 0 || ms == 0) return handled;
    }
}

void MessageQueue::Run() {
    if (!CheckOwner() || epollFd_ < 0) return;
    for (;;) {
        if (inbox_->TakeQuit()) quitSeen_ = true;
        if (quitSeen_) {
            quitSeen_ = false;
            return;
        }
        RunOnce(-1);
    }
}

int MessageQueue::RunOnce(int timeoutMs) {
    struct DepthGuard {
        MessageQueue& q;
        explicit DepthGuard(MessageQueue& queue) : q(queue) { ++q.depth_; }
        ~DepthGuard() {
            if (--q.depth_ == 0) q.EndPass();
        }
    } guard(*this);

    if (readyPos_ >= ready_.size()) Poll(timeoutMs);
    int handled = DeliverReady();
    handled += DeliverPosted();
    handled += FireTimers();
    return handled;
}

int MessageQueue::PollTimeout(int timeoutMs) const {
    if (timeoutMs == 0 || !posted_.empty() || inbox_->HasItems()) return 0;
    if (auto earliest = timers_.Earliest()) {
        int ms = CeilMs(*earliest - Clock::now());
        if (timeoutMs < 0 || ms < timeoutMs) return ms;
    }
    return timeoutMs;
}

void MessageQueue::Poll(int timeoutMs) {
    ready_.clear();
    readyPos_ = 0;
    if (epollFd_ < 0) return;
    fds_.Flush();
    int timeout = PollTimeout(timeoutMs);
    // Nothing a zero-time poll could report: no watched descriptor, cross-thread items are
    // seen through the inbox's flag, and timers through the clock. Without an outside poller
    // the internal descriptors may stay readable until the next real wait resets them.
    if (timeout == 0 && !external_ && fds_.Count() == 0) return;
    // About to block: the own-post signal must not stay readable over an empty FIFO, or the
    // wait would return at once, again and again.
    if (timeout != 0 && localSignaled_) ResetLocalSignal();
    epoll_event events[kMaxEvents];
    int n = ::epoll_wait(epollFd_, events, kMaxEvents, timeout);
    for (int i = 0; i < n; ++i) ready_.push_back({events[i].data.u64, events[i].events});
}

int MessageQueue::DeliverReady() {
    int handled = 0;
    // A nested pass may take over the rest of the collected readiness; the shared cursor makes
    // sure each event is delivered once.
    while (readyPos_ < ready_.size()) {
        ReadyEvent ev = ready_[readyPos_++];
        if (!FdTable::IsWatchData(ev.data)) {
            HandleInternal(static_cast<int>(ev.data));
            continue;
        }
        uint32_t events = ev.events;
        FdWatcher* watcher = fds_.Resolve(ev.data, events);
        if (!watcher) continue;  // unwatched, replaced or lost its interest since the poll
        try {
            watcher->OnFdReady(static_cast<int>(static_cast<uint32_t>(ev.data)), events);
        } catch (...) {
            // A watcher's failure must not unwind through the queue.
        }
        ++handled;
    }
    return handled;
}

void MessageQueue::HandleInternal(int fd) {
    if (fd == inbox_->WakeFd()) {
        // Reset before the items are taken (DeliverPosted), so a racing post stays signalled.
        inbox_->ResetWake();
        if (inbox_->TakeQuit()) quitSeen_ = true;
    } else if (fd == timerFd_) {
        uint64_t expirations;
        while (::read(timerFd_, &expirations, sizeof expirations) < 0 && errno == EINTR) {
        }
        armedDeadline_.reset();
    }
    // localFd_ needs nothing: it is reset when the FIFO is empty.
}

int MessageQueue::DeliverPosted() {
    if (inbox_->HasItems()) TakeInbox();
    // Items posted by the handlers of this pass wait for the next one, so a handler that
    // posts to itself cannot keep a pass going for ever.
    const uint64_t limit = nextSeq_;
    int handled = 0;
    while (!posted_.empty() && posted_.front().seq < limit) {
        QueueItem item = std::move(posted_.front());
        posted_.pop_front();
        handled += DispatchItem(item);
    }
    return handled;
}

int MessageQueue::DispatchItem(QueueItem& item) {
    if (item.task) {
        try {
            item.task();
        } catch (...) {
            // Host code must not unwind through the queue.
        }
        return 1;
    }
    const std::shared_ptr<Window>* found = FindWindow(item.hWnd);
    if (!found) return 0;  // destroyed since the post: the message is dropped
    // Holding the window keeps its procedure alive if the procedure destroys the window.
    std::shared_ptr<Window> window = *found;
    try {
        if (window->proc) window->proc(item.hWnd, item.msg, item.wParam, item.lParam);
    } catch (...) {
        // Host code must not unwind through the queue.
    }
    return 1;
}

const std::shared_ptr<MessageQueue::Window>* MessageQueue::FindWindow(HWND hWnd) {
    if (foundWindow_ && foundHwnd_ == hWnd) return foundWindow_;
    auto it = windows_.find(hWnd);
    if (it == windows_.end()) return nullptr;
    foundHwnd_ = hWnd;
    foundWindow_ = &it->second;
    return foundWindow_;
}

int MessageQueue::FireTimers() {
    auto now = Clock::now();
    auto earliest = timers_.Earliest();
    if (!earliest || *earliest > now) return 0;
    std::vector<TimerId> due;
    timers_.CollectDue(now, due);
    int handled = 0;
    for (TimerId id : due) {
        auto fn = timers_.Fire(id, now);
        if (!fn) continue;  // cancelled by an earlier handler of this pass
        try {
            (*fn)();
        } catch (...) {
            // Host code must not unwind through the queue.
        }
        ++handled;
    }
    return handled;
}

void MessageQueue::EndPass() {
    // Leaving the outermost pass: whoever waits next (this loop or an outside poller) must see
    // the interest that handlers asked for and a descriptor state that matches the queue.
    fds_.Flush();
    if (posted_.empty()) {
        if (localSignaled_) ResetLocalSignal();
    } else if (external_ && !localSignaled_) {
        SignalLocal();
    }
    SyncTimerFd();
}

}  // namespace tav::platform
