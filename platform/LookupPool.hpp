// A small pool of worker threads for blocking host look-ups.
//
// Threads are started on demand, up to kMaxThreads, and leave after kIdleTime without work.
// None is ever detached: a thread that leaves hands its std::thread to the pool, which joins
// it on the next Submit, and Shutdown (run at process exit) joins all of them, so no worker
// outlives the memory it uses. A job that is running at exit is waited for; jobs not started
// by then are dropped (destroyed, not run).
//
// Thread-safe. Jobs must not throw (what they throw is dropped) and must not call Shutdown.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace tav::sockintf {

class LookupPool {
public:
    static constexpr size_t kMaxThreads = 4;
    static constexpr std::chrono::seconds kIdleTime{10};

    /// The process's pool, shut down at process exit. Any thread.
    static LookupPool& Instance();

    /// Queues `job`. Starts a thread when the idle ones are fewer than the queued jobs and the
    /// limit allows. False when the pool has shut down, or when no thread runs and none can
    /// be started (the job is then dropped).
    bool Submit(std::function<void()> job);
    /// Stops taking jobs, drops those not started and joins every thread.
    void Shutdown();
    /// Threads running now (for tests and diagnostics).
    size_t ThreadCount() const;
    /// Jobs queued or running. At 0, whatever finished jobs handed on (posted) has been
    /// handed on.
    size_t BusyCount() const;

    LookupPool() = default;
    LookupPool(const LookupPool&) = delete;
    LookupPool& operator=(const LookupPool&) = delete;
    ~LookupPool();

private:
    using ThreadList = std::list<std::thread>;
    void WorkerLoop(ThreadList::iterator self);

    mutable std::mutex mu_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;  // guarded by mu_
    ThreadList threads_;                      // guarded by mu_: running workers
    std::vector<std::thread> finished_;       // guarded by mu_: left on idle, not joined yet
    size_t idle_ = 0;                         // guarded by mu_
    bool stopping_ = false;                   // guarded by mu_
};

}  // namespace tav::sockintf
