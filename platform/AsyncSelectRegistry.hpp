// The asynchronous-select registrations of one thread: the sockets registered for windows of
// that thread's message queue, watched through the queue and turned into posted messages.
//
// Thread rule: a registry belongs to its thread (created on first use, ended with the thread)
// and every member runs there. Other threads reach it through PostToOwner() only. The slot
// table (AsyncSelectSlots) is the authority on which registration of a socket is current;
// members that take a generation do nothing when the entry no longer has it.
//
// Cost: entries are a vector indexed by descriptor number, so a notification, a re-enabling
// call and a registration are O(1) whatever the number of registered sockets.
#pragma once

#include "platform/AsyncSelectEntry.hpp"
#include "platform/MessageQueue.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace tav::sockintf::async {

class AsyncSelectRegistry final : public platform::FdWatcher {
public:
    /// The calling thread's registry, created on first use (with the thread's queue); null
    /// while the thread is ending.
    static AsyncSelectRegistry* ForThisThread();
    /// The calling thread's registry, or null when it has none.
    static AsyncSelectRegistry* Current();
    /// Runs `fn` with registry `owner` on its thread, in order with that thread's messages.
    /// Any thread. False when that registry or its thread has ended (`fn` is then dropped).
    static bool PostToOwner(uint32_t owner, std::function<void(AsyncSelectRegistry&)> fn);

    uint32_t Id() const { return id_; }
    /// Number of registered sockets.
    size_t Count() const { return count_; }

    /// Starts registration `gen` of `s` (its token must already be in the slot table),
    /// replacing any earlier one here. Returns 0, or the Windows error that refused it.
    int Register(SOCKET s, uint32_t gen, HWND hWnd, uint32_t msg, int32_t mask, SockPhase phase);
    /// Gives the socket `accepted`, whose token with generation `gen` the caller has stored,
    /// the registration of `listener`, as Windows does for accepted sockets. When the listener
    /// is no longer registered the token is withdrawn instead.
    void Inherit(SOCKET listener, SOCKET accepted, uint32_t gen);
    /// Whether registration `gen` of `s` is live here and was made for a connection.
    bool IsConnection(SOCKET s, uint32_t gen) {
        const AsyncSelectEntry* e = Find(s, gen);
        return e != nullptr && e->phase == SockPhase::Connected;
    }
    /// True once after FD_READ was posted for registration `gen` of `s` from a poll that
    /// watched for urgent data and saw none, until a re-enabling call; see UrgentDataKnownAbsent.
    bool TakeUrgentAbsent(SOCKET s, uint32_t gen) {
        AsyncSelectEntry* e = Find(s, gen);
        if (e == nullptr || !e->urgentAbsent) return false;
        e->urgentAbsent = false;
        return true;
    }
    /// The bytes waiting on `s` as counted after the end of its stream for registration
    /// `gen`, when nothing has been received since; false when not known.
    bool WaitingAtEnd(SOCKET s, uint32_t gen, int& bytes) {
        const AsyncSelectEntry* e = Find(s, gen);
        if (e == nullptr || e->waitingAtEnd < 0) return false;
        bytes = e->waitingAtEnd;
        return true;
    }
    /// A re-enabling call ran on `s` (see AsyncSelectHooks).
    void Reenable(SOCKET s, uint32_t gen, int32_t event) {
        AsyncSelectEntry* e = Find(s, gen);
        if (e != nullptr && !e->ReenableKept(event)) ReenableAndWatch(s, *e, event);
    }
    /// The common case of Reenable, a receive after FD_READ while the watch still covers the
    /// event: only its bit changes. True when that was all; false when Reenable() must run
    /// (it then has nothing left undone by this call).
    bool ReenableKept(SOCKET s, uint32_t gen, int32_t event) {
        AsyncSelectEntry* e = Find(s, gen);
        return e != nullptr && e->ReenableKept(event);
    }
    /// See ResumeReadNotices (SockIntf.hpp).
    void ResumeReading(SOCKET s, uint32_t gen, bool postRead, bool postClose);
    /// Ends registration `gen` of `s` and stops watching it.
    void Drop(SOCKET s, uint32_t gen);
    /// An accept on `listener` failed for want of descriptors (or memory). Re-enabling
    /// FD_ACCEPT at once would post it again and again, as fast as the thread can go, while
    /// the connections wait; instead it is re-enabled when a socket is closed on this thread
    /// (ResumeStarvedAccepts) or, for descriptors freed elsewhere, after a short wait.
    void DeferAccept(SOCKET listener, uint32_t gen);
    /// Re-enables FD_ACCEPT on every listener waiting for a descriptor.
    void ResumeStarvedAccepts();
    bool HasStarvedAccepts() const { return !starved_.empty(); }

    void OnFdReady(int fd, uint32_t events) override;

    AsyncSelectRegistry(const AsyncSelectRegistry&) = delete;
    AsyncSelectRegistry& operator=(const AsyncSelectRegistry&) = delete;
    /// Withdraws this thread's tokens from the slot table and its watches from the queue.
    ~AsyncSelectRegistry();

private:
    explicit AsyncSelectRegistry(platform::MessageQueue& queue);

    AsyncSelectEntry* Find(SOCKET s, uint32_t gen) {
        if (s < 0 || static_cast<size_t>(s) >= entries_.size()) return nullptr;
        AsyncSelectEntry& e = entries_[static_cast<size_t>(s)];
        return e.gen != 0 && e.gen == gen ? &e : nullptr;
    }
    void ReenableAndWatch(SOCKET s, AsyncSelectEntry& e, int32_t event);
    void Rewatch(SOCKET s, AsyncSelectEntry& e);
    void Forget(SOCKET s);

    const uint32_t id_;
    // The thread's queue is created before its registry and ended after it.
    platform::MessageQueue& queue_;
    std::vector<AsyncSelectEntry> entries_;  // indexed by socket handle
    size_t count_ = 0;
    struct Starved {
        SOCKET listener;
        uint32_t gen;
    };
    std::vector<Starved> starved_;        // listeners whose FD_ACCEPT waits for a descriptor
    platform::TimerId starvedTimer_ = 0;  // the retry for them; 0 while none is set
};

}  // namespace tav::sockintf::async
