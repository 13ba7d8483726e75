// Life of a thread's queue, posting, and the descriptor and timer registrations. The loop
// itself is in MessageQueueLoop.cpp, the window functions in WindowHandles.cpp.
#include "platform/MessageQueue.hpp"

#include "platform/WindowRegistry.hpp"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>

namespace tav::platform {

thread_local constinit MessageQueue* detail::tQueue = nullptr;

namespace {
using detail::tQueue;

thread_local bool tReaped = false;

// Ends the thread's queue together with the thread's other thread_local objects.
struct QueueReaper {
    bool armed = false;
    ~QueueReaper() {
        tReaped = true;
        delete tQueue;
    }
};
thread_local QueueReaper tReaper;

// A queue wanted again by a thread_local destructor that runs after the reaper: it is ended by
// a thread-specific key instead, whose destructors run after all thread_local ones.
pthread_key_t LateQueueKey() {
    static const pthread_key_t key = [] {
        pthread_key_t k;
        pthread_key_create(&k, [](void* q) { delete static_cast<MessageQueue*>(q); });
        return k;
    }();
    return key;
}

void AddInternalFd(int epollFd, int fd) {
    if (epollFd < 0 || fd < 0) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = static_cast<uint32_t>(fd);  // generation 0: not a descriptor watch
    ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
}

}  // namespace

MessageQueue& MessageQueue::CreateForThisThread() {
    tQueue = new MessageQueue;
    if (!tReaped)
        tReaper.armed = true;  // first use of the reaper registers its destructor
    else
        pthread_setspecific(LateQueueKey(), tQueue);
    return *tQueue;
}

MessageQueue::MessageQueue()
    : owner_(std::this_thread::get_id()),
      epollFd_(::epoll_create1(EPOLL_CLOEXEC)),
      localFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      timerFd_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      inbox_(std::make_shared<QueueInbox>()),
      fds_(epollFd_) {
    AddInternalFd(epollFd_, inbox_->WakeFd());
    AddInternalFd(epollFd_, localFd_);
    AddInternalFd(epollFd_, timerFd_);
}

MessageQueue::~MessageQueue() {
    closing_ = true;
    // First make the queue unreachable from other threads, then destroy on this thread what
    // handlers left behind. Their destructors may call back in and find the queue closing.
    std::vector<QueueItem> late = inbox_->Close();
    std::vector<HWND> handles;
    handles.reserve(windows_.size());
    for (const auto& entry : windows_) handles.push_back(entry.first);
    WindowRegistry::Instance().RemoveAll(handles);
    {
        std::unordered_map<HWND, std::shared_ptr<Window>> windows;
        QueueFifo<QueueItem> posted;
        TimerSet timers;
        ForgetFoundWindow();
        windows.swap(windows_);
        posted.swap(posted_);
        std::swap(timers, timers_);
        late.clear();
    }
    for (int fd : {epollFd_, localFd_, timerFd_})
        if (fd >= 0) ::close(fd);
    if (tQueue == this) tQueue = nullptr;
}

bool MessageQueue::IsOwnerThread() const {
    return std::this_thread::get_id() == owner_;
}

// ---- posting -------------------------------------------------------------------------------

void MessageQueue::PostLocal(QueueItem&& item) {
    // Items waiting in the inbox may have been posted before this one (another thread posted,
    // then told this thread so), so they enter the FIFO first.
    if (inbox_->HasItems()) TakeInbox();
    item.seq = nextSeq_++;
    posted_.push_back(std::move(item));
    // Inside a pass the signal waits for the pass's end, where the FIFO may be empty again.
    if (external_ && !localSignaled_ && depth_ == 0) SignalLocal();
}

void MessageQueue::TakeInbox() {
    inbox_->TakeAll(posted_, nextSeq_);
    if (external_ && !localSignaled_ && depth_ == 0 && !posted_.empty()) SignalLocal();
}

void MessageQueue::SignalLocal() {
    uint64_t one = 1;
    while (::write(localFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    localSignaled_ = true;
}

void MessageQueue::ResetLocalSignal() {
    uint64_t value;
    while (::read(localFd_, &value, sizeof value) < 0 && errno == EINTR) {
    }
    localSignaled_ = false;
}

bool MessageQueue::PostTask(std::function<void()> fn) {
    if (!fn) return false;
    if (tQueue == this) {
        if (closing_) return false;
        QueueItem item;
        item.task = std::move(fn);
        PostLocal(std::move(item));
        return true;
    }
    QueueItem item;
    item.task = std::move(fn);
    return inbox_->Push(std::move(item));
}

void MessageQueue::Quit() {
    if (tQueue == this)
        quitSeen_ = true;
    else
        inbox_->RequestQuit();
}

bool QueueRef::PostTask(std::function<void()> fn) const {
    if (!inbox_ || !fn) return false;
    QueueItem item;
    item.task = std::move(fn);
    return inbox_->Push(std::move(item));
}

bool QueueRef::Quit() const {
    return inbox_ && inbox_->RequestQuit();
}

// ---- descriptors and timers -----------------------------------------------------------------

bool MessageQueue::WatchFd(int fd, uint32_t events, FdWatcher* watcher) {
    if (!CheckOwner()) return false;
    return fds_.Watch(fd, events, watcher, depth_ > 0);
}

bool MessageQueue::ModifyFd(int fd, uint32_t events) {
    if (!CheckOwner()) return false;
    return fds_.Modify(fd, events, depth_ > 0);
}

bool MessageQueue::UnwatchFd(int fd) {
    if (!CheckOwner()) return false;
    return fds_.Unwatch(fd);
}

TimerId MessageQueue::AddTimer(std::chrono::milliseconds interval, bool periodic, std::function<void()> fn) {
    if (!CheckOwner() || !fn) return 0;
    TimerId id = timers_.Add(interval, periodic, std::move(fn), Clock::now());
    SyncTimerFd();
    return id;
}

void MessageQueue::CancelTimer(TimerId id) {
    // The timer descriptor is left as it is: at worst it wakes an outside poller once for
    // nothing, which costs less than re-arming it on every cancel.
    if (CheckOwner()) timers_.Cancel(id);
}

void MessageQueue::SyncTimerFd() {
    if (!external_ || timerFd_ < 0) return;
    auto earliest = timers_.Earliest();
    if (!earliest || (armedDeadline_ && *armedDeadline_ <= *earliest)) return;
    // steady_clock is CLOCK_MONOTONIC on Linux, so its epoch is the timer descriptor's.
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(earliest->time_since_epoch()).count();
    if (ns <= 0) ns = 1;  // an all-zero value would disarm the descriptor
    itimerspec deadline{};
    deadline.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    deadline.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    if (::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &deadline, nullptr) == 0) armedDeadline_ = earliest;
}

int MessageQueue::PollDescriptor() {
    if (!CheckOwner()) return -1;
    if (!external_) {
        external_ = true;
        if (!posted_.empty()) SignalLocal();
        SyncTimerFd();
    }
    return epollFd_;
}

}  // namespace tav::platform
