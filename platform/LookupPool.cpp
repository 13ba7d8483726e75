#include "platform/LookupPool.hpp"

#include <system_error>

namespace tav::sockintf {

namespace {

// Joins the pool's threads when the process exits. The pool itself is never destroyed, so a
// late Submit (from another static destructor) meets a pool that says no rather than freed
// memory.
struct PoolJoiner {
    LookupPool* pool;
    ~PoolJoiner() { pool->Shutdown(); }
};

}  // namespace

LookupPool& LookupPool::Instance() {
    static auto* const pool = new LookupPool;
    static PoolJoiner joiner{pool};
    return *pool;
}

LookupPool::~LookupPool() {
    Shutdown();
}

bool LookupPool::Submit(std::function<void()> job) {
    std::vector<std::thread> done;
    bool accepted = true;
    {
        std::lock_guard lock(mu_);
        if (stopping_) return false;
        done.swap(finished_);
        jobs_.push_back(std::move(job));
        if (idle_ < jobs_.size() && threads_.size() < kMaxThreads) {
            try {
                threads_.emplace_back();
                auto self = std::prev(threads_.end());
                // The new thread waits for mu_ before it looks at its own handle.
                *self = std::thread([this, self] { WorkerLoop(self); });
            } catch (const std::system_error&) {
                threads_.pop_back();
                if (threads_.empty()) {
                    job = std::move(jobs_.back());
                    jobs_.pop_back();
                    accepted = false;
                }
            }
        }
        if (accepted) wake_.notify_one();
    }
    for (std::thread& t : done) t.join();
    return accepted;  // a refused job is destroyed here, outside the lock
}

void LookupPool::Shutdown() {
    std::deque<std::function<void()>> dropped;
    ThreadList running;
    std::vector<std::thread> done;
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
        dropped.swap(jobs_);
        running.swap(threads_);
        done.swap(finished_);
    }
    wake_.notify_all();
    for (std::thread& t : running)
        if (t.joinable()) t.join();
    for (std::thread& t : done) t.join();
}

size_t LookupPool::ThreadCount() const {
    std::lock_guard lock(mu_);
    return threads_.size();
}

size_t LookupPool::BusyCount() const {
    std::lock_guard lock(mu_);
    return jobs_.size() + (threads_.size() - idle_);
}

void LookupPool::WorkerLoop(ThreadList::iterator self) {
    std::unique_lock lock(mu_);
    for (;;) {
        if (jobs_.empty() && !stopping_) {
            ++idle_;
            const bool woken = wake_.wait_for(lock, kIdleTime, [this] { return !jobs_.empty() || stopping_; });
            --idle_;
            if (!woken) {
                // Idle too long: leave, and let the next Submit (or Shutdown) join this thread.
                finished_.push_back(std::move(*self));
                threads_.erase(self);
                return;
            }
        }
        // Shutdown holds this thread's handle (it swapped the list out) and joins it.
        if (stopping_) return;
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        try {
            job();
        } catch (...) {
            // A job's failure must not end the worker.
        }
        job = nullptr;  // destroyed before the lock is taken again
        lock.lock();
    }
}

}  // namespace tav::sockintf
