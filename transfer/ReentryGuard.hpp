// The re-entry bookkeeping of a transfer manager, whose handlers call host code (notifications)
// and run the message queue (Connect, Send), so they can be entered again while they run and
// find the operation they were working on reset or replaced when the call returns.
#pragma once

#include <cstdint>

namespace tav {

/// Two questions a handler asks: "is a handler of mine already running further up the
/// stack?" (Inside, with a Scope around the work) and "is the operation I was working on
/// still the current one?" (take Generation() before a call into host code or the queue and
/// compare with Moved() after it; Advance() whenever an operation starts or ends). One
/// thread; not copyable.
class ReentryGuard {
public:
    ReentryGuard() = default;
    ReentryGuard(const ReentryGuard&) = delete;
    ReentryGuard& operator=(const ReentryGuard&) = delete;

    /// Marks the guarded work as running for its lifetime.
    class Scope {
    public:
        explicit Scope(ReentryGuard& guard) noexcept : guard_(guard) { ++guard_.depth_; }
        ~Scope() { --guard_.depth_; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        ReentryGuard& guard_;
    };

    /// True while a Scope of this guard is alive.
    bool Inside() const noexcept { return depth_ > 0; }

    uint64_t Generation() const noexcept { return generation_; }
    /// An operation started or ended: work begun under an older generation is stale.
    void Advance() noexcept { ++generation_; }
    /// True when the operation changed since `seen` was taken.
    bool Moved(uint64_t seen) const noexcept { return seen != generation_; }

private:
    int depth_ = 0;
    uint64_t generation_ = 0;
};

}  // namespace tav
