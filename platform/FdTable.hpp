// The descriptors one message queue watches for the asynchronous-select layer, and their
// registration with the queue's epoll instance.
//
// Level-triggered. A descriptor is in the kernel's interest list only while its interest is
// non-zero: epoll reports errors and hang-ups even for an empty interest, which would keep the
// loop busy for a watch that asked for nothing.
//
// Every registration carries a generation number that travels in the epoll event's data, so
// readiness collected before an UnwatchFd (or before the number was closed, reused and watched
// again) is recognised as stale and never reaches the new watcher. Lookup is by descriptor
// number in a vector: O(1) per ready descriptor, whatever the number of idle ones.
//
// Interest changes can be deferred (the queue defers them while it dispatches) and are then
// applied by Flush() with at most one epoll_ctl per changed descriptor. Single-threaded: owned
// and used by the queue's thread. Does not own the descriptors, nor the watchers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tav::platform {

class FdWatcher;

class FdTable {
public:
    /// `epollFd` must outlive the table.
    explicit FdTable(int epollFd) : epollFd_(epollFd) {}

    /// Starts (or replaces) the watch of `fd`. A descriptor new to the kernel is added at once,
    /// so a bad descriptor is reported here (false); other changes follow `defer`. Replacing a
    /// watch of the same watcher made since the last poll keeps its registration: nothing can
    /// have been collected for it that the new one must not see.
    bool Watch(int fd, uint32_t events, FdWatcher* watcher, bool defer);
    /// Changes the interest of a watched descriptor; false if it is not watched.
    bool Modify(int fd, uint32_t events, bool defer);
    /// Ends the watch. Removal from the kernel is immediate: the caller usually closes the
    /// descriptor next, and a duplicate of it elsewhere would otherwise stay registered.
    /// False if it was not watched.
    bool Unwatch(int fd);
    /// Applies deferred interest changes.
    void Flush();

    /// The watcher an epoll event (its data and bits) still belongs to, with `events` cut down
    /// to the current interest plus errors and hang-ups; null when the registration ended or
    /// nothing of interest remains.
    FdWatcher* Resolve(uint64_t data, uint32_t& events) const;
    /// Epoll data of events that are not descriptor watches have generation 0.
    static bool IsWatchData(uint64_t data) { return (data >> 32) != 0; }

    size_t Count() const { return count_; }

private:
    struct Entry {
        FdWatcher* watcher = nullptr;
        uint32_t gen = 0;  // 0: not watched
        uint32_t interest = 0;
        uint32_t kernelGen = 0;  // 0: not in the kernel's interest list
        uint32_t kernelEvents = 0;
        uint64_t epoch = 0;  // flushes_ when the watch was made
        bool dirty = false;
    };
    bool Apply(int fd);
    void MarkDirty(int fd);

    int epollFd_;
    std::vector<Entry> watches_;  // indexed by descriptor number
    std::vector<int> dirty_;
    uint32_t nextGen_ = 1;
    // Counts Flush() calls. The queue flushes before every poll, so a watch made since the
    // last flush cannot have readiness collected for it yet.
    uint64_t flushes_ = 0;
    size_t count_ = 0;
};

}  // namespace tav::platform
