#include "platform/FdTable.hpp"

#include <sys/epoll.h>

#include <cerrno>

namespace tav::platform {

namespace {
uint64_t EpollData(int fd, uint32_t gen) {
    return uint64_t{gen} << 32 | static_cast<uint32_t>(fd);
}
}  // namespace

bool FdTable::Watch(int fd, uint32_t events, FdWatcher* watcher, bool defer) {
    if (fd < 0 || !watcher) return false;
    if (static_cast<size_t>(fd) >= watches_.size()) watches_.resize(static_cast<size_t>(fd) + 1);
    Entry& w = watches_[fd];
    if (w.gen != 0 && w.watcher == watcher && w.epoch == flushes_ && (w.kernelGen != 0 || events == 0))
        return Modify(fd, events, defer);
    if (w.gen == 0) ++count_;
    w.epoch = flushes_;
    w.watcher = watcher;
    w.gen = nextGen_++;
    if (nextGen_ == 0) nextGen_ = 1;
    w.interest = events;
    if (w.kernelGen == 0 && events != 0) {
        if (!Apply(fd)) {
            w = Entry{};
            --count_;
            return false;
        }
        return true;
    }
    // A replaced watch needs new data in the kernel even if the interest stays the same.
    if (defer) {
        MarkDirty(fd);
        return true;
    }
    Apply(fd);
    return true;
}

bool FdTable::Modify(int fd, uint32_t events, bool defer) {
    if (fd < 0 || static_cast<size_t>(fd) >= watches_.size() || watches_[fd].gen == 0) return false;
    watches_[fd].interest = events;
    if (defer)
        MarkDirty(fd);
    else
        Apply(fd);
    return true;
}

bool FdTable::Unwatch(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= watches_.size() || watches_[fd].gen == 0) return false;
    Entry& w = watches_[fd];
    w.gen = 0;
    w.watcher = nullptr;
    w.interest = 0;
    --count_;
    Apply(fd);
    return true;
}

void FdTable::MarkDirty(int fd) {
    if (watches_[fd].dirty) return;
    watches_[fd].dirty = true;
    dirty_.push_back(fd);
}

void FdTable::Flush() {
    ++flushes_;
    // Apply() may not add to dirty_, so a plain walk is safe.
    for (int fd : dirty_) Apply(fd);
    dirty_.clear();
}

bool FdTable::Apply(int fd) {
    Entry& w = watches_[fd];
    w.dirty = false;
    bool wanted = w.gen != 0 && w.interest != 0;
    if (!wanted) {
        if (w.kernelGen == 0) return true;
        w.kernelGen = 0;
        w.kernelEvents = 0;
        // EBADF/ENOENT: the descriptor was closed first, which already took it out.
        return ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr) == 0 || errno == EBADF || errno == ENOENT;
    }
    if (w.kernelGen == w.gen && w.kernelEvents == w.interest) return true;
    epoll_event ev{};
    ev.events = w.interest;
    ev.data.u64 = EpollData(fd, w.gen);
    int rc;
    if (w.kernelGen == 0) {
        rc = ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
    } else {
        rc = ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev);
        // Closed and reopened under the same number: the old registration went with the close.
        if (rc < 0 && errno == ENOENT) rc = ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
    }
    if (rc < 0) {
        w.kernelGen = 0;
        w.kernelEvents = 0;
        return false;
    }
    w.kernelGen = w.gen;
    w.kernelEvents = w.interest;
    return true;
}

FdWatcher* FdTable::Resolve(uint64_t data, uint32_t& events) const {
    auto fd = static_cast<uint32_t>(data);
    auto gen = static_cast<uint32_t>(data >> 32);
    if (fd >= watches_.size()) return nullptr;
    const Entry& w = watches_[fd];
    if (gen == 0 || w.gen != gen || w.interest == 0) return nullptr;
    events &= w.interest | EPOLLERR | EPOLLHUP;
    return events ? w.watcher : nullptr;
}

}  // namespace tav::platform
