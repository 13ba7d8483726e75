#include "platform/AsyncSelectRegistry.hpp"

#include "platform/AsyncSelectSlots.hpp"

#include <chrono>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace tav::sockintf::async {

namespace {

thread_local AsyncSelectRegistry* tRegistry = nullptr;
thread_local bool tRegistryEnded = false;

/// Where other threads find a registry's thread: registry id to its queue. Never destroyed,
/// so a thread still running at exit can always ask.
class Directory {
public:
    static Directory& Instance() {
        static auto* const directory = new Directory;
        return *directory;
    }
    uint32_t Add(platform::QueueRef ref) {
        std::lock_guard lock(mu_);
        uint32_t id;
        do {
            id = next_++;
        } while (id == 0 || owners_.count(id) != 0);
        owners_.emplace(id, std::move(ref));
        return id;
    }
    void Remove(uint32_t id) {
        std::lock_guard lock(mu_);
        owners_.erase(id);
    }
    platform::QueueRef Find(uint32_t id) const {
        std::lock_guard lock(mu_);
        auto it = owners_.find(id);
        return it != owners_.end() ? it->second : platform::QueueRef{};
    }

private:
    mutable std::mutex mu_;
    uint32_t next_ = 1;                                         // guarded by mu_
    std::unordered_map<uint32_t, platform::QueueRef> owners_;   // guarded by mu_
};

intptr_t NoticeParam(const Notice& n) {
    const uint32_t value = static_cast<uint32_t>(n.error) << 16 | (static_cast<uint32_t>(n.event) & 0xFFFF);
    return static_cast<int32_t>(value);
}

}  // namespace

/// Ends the thread's registry together with its other thread_local objects.
struct RegistryHolder {
    std::unique_ptr<AsyncSelectRegistry> registry;
    ~RegistryHolder() {
        tRegistryEnded = true;
        tRegistry = nullptr;
        registry.reset();
    }
};

namespace {
thread_local RegistryHolder tHolder;
}  // namespace

AsyncSelectRegistry* AsyncSelectRegistry::ForThisThread() {
    if (tRegistry != nullptr || tRegistryEnded) return tRegistry;
    // The queue first: thread_local objects end in the reverse order of their creation.
    platform::MessageQueue& queue = platform::MessageQueue::ForThisThread();
    tHolder.registry.reset(new AsyncSelectRegistry(queue));
    tRegistry = tHolder.registry.get();
    return tRegistry;
}

AsyncSelectRegistry* AsyncSelectRegistry::Current() {
    return tRegistry;
}

bool AsyncSelectRegistry::PostToOwner(uint32_t owner, std::function<void(AsyncSelectRegistry&)> fn) {
    platform::QueueRef ref = Directory::Instance().Find(owner);
    return ref.PostTask([owner, fn = std::move(fn)] {
        // The registry may have ended (and its thread started another) since the post.
        if (tRegistry != nullptr && tRegistry->Id() == owner) fn(*tRegistry);
    });
}

AsyncSelectRegistry::AsyncSelectRegistry(platform::MessageQueue& queue)
    : id_(Directory::Instance().Add(queue.Ref())), queue_(queue) {}

AsyncSelectRegistry::~AsyncSelectRegistry() {
    Directory::Instance().Remove(id_);
    const bool queueAlive = platform::MessageQueue::Current() == &queue_;
    if (queueAlive && starvedTimer_ != 0) queue_.CancelTimer(starvedTimer_);
    for (size_t s = 0; s < entries_.size(); ++s) {
        if (entries_[s].gen == 0) continue;
        const int fd = static_cast<int>(s);
        AsyncSelectSlots::Replace(fd, MakeToken(id_, entries_[s].gen), 0);
        if (queueAlive) queue_.UnwatchFd(fd);
    }
}

int AsyncSelectRegistry::Register(SOCKET s, uint32_t gen, HWND hWnd, uint32_t msg, int32_t mask, SockPhase phase) {
    if (s < 0) return WSAENOTSOCK;
    if (static_cast<size_t>(s) >= entries_.size()) entries_.resize(static_cast<size_t>(s) + 1);
    AsyncSelectEntry& e = entries_[s];
    if (e.gen == 0) ++count_;
    e.Start(gen, hWnd, msg, mask, phase);
    e.watched = e.Interest();
    // A new watch: readiness collected for an earlier registration must not reach this one.
    if (!queue_.WatchFd(s, e.watched, this)) {
        Forget(s);
        return WSAENOTSOCK;
    }
    return 0;
}

void AsyncSelectRegistry::Inherit(SOCKET listener, SOCKET accepted, uint32_t gen) {
    const Token token = MakeToken(id_, gen);
    // Closed, or registered anew, since the accept.
    if (AsyncSelectSlots::Load(accepted) != token) return;
    const Token listenerToken = AsyncSelectSlots::Load(listener);
    const AsyncSelectEntry* l = OwnerOf(listenerToken) == id_ ? Find(listener, GenOf(listenerToken)) : nullptr;
    if (l == nullptr || Register(accepted, gen, l->hWnd, l->msg, l->mask, SockPhase::Connected) != 0)
        AsyncSelectSlots::Replace(accepted, token, 0);
}

void AsyncSelectRegistry::ReenableAndWatch(SOCKET s, AsyncSelectEntry& e, int32_t event) {
    e.Reenable(event);
    if (event == FD_CONNECT_W && e.phase == SockPhase::Connecting) {
        // A new connection: readiness collected before it belongs to an earlier one and must
        // not be taken for its outcome. (A watch the stack refuses fails as a deferred
        // change would: silently.)
        e.watched = e.Interest();
        queue_.WatchFd(s, e.watched, this);
        return;
    }
    Rewatch(s, e);
}

void AsyncSelectRegistry::DeferAccept(SOCKET listener, uint32_t gen) {
    if (Find(listener, gen) == nullptr) return;
    starved_.push_back({listener, gen});
    if (starvedTimer_ != 0) return;
    // Short enough that a server whose descriptors are freed by others goes on accepting
    // soon; long enough that waiting costs nothing measurable.
    constexpr std::chrono::milliseconds kRetry{100};
    starvedTimer_ = queue_.AddTimer(kRetry, false, [this] {
        starvedTimer_ = 0;
        ResumeStarvedAccepts();
    });
}

void AsyncSelectRegistry::ResumeStarvedAccepts() {
    if (starvedTimer_ != 0) {
        queue_.CancelTimer(starvedTimer_);
        starvedTimer_ = 0;
    }
    std::vector<Starved> starved;
    starved.swap(starved_);
    for (const Starved& s : starved) Reenable(s.listener, s.gen, FD_ACCEPT_W);
}

void AsyncSelectRegistry::ResumeReading(SOCKET s, uint32_t gen, bool postRead, bool postClose) {
    AsyncSelectEntry* e = Find(s, gen);
    if (e == nullptr) return;
    const auto post = [&](int32_t event) {
        platform::PostMessageTo(e->hWnd, e->msg, static_cast<uintptr_t>(s), NoticeParam({event, 0}));
    };
    if (postRead && (e->mask & FD_READ_W) != 0)
        post(FD_READ_W);
    else
        Reenable(s, gen, FD_READ_W);
    if (postClose && (e->mask & FD_CLOSE_W) != 0) post(FD_CLOSE_W);
}

void AsyncSelectRegistry::Drop(SOCKET s, uint32_t gen) {
    if (Find(s, gen) != nullptr) Forget(s);
}

void AsyncSelectRegistry::Forget(SOCKET s) {
    entries_[s] = AsyncSelectEntry{};
    --count_;
    queue_.UnwatchFd(s);
}

void AsyncSelectRegistry::Rewatch(SOCKET s, AsyncSelectEntry& e) {
    // Changes made while the queue dispatches are batched there: a disarm and the re-arm by
    // the receive in the same pass cost no system call.
    const uint32_t want = e.Interest();
    if (want == e.watched) return;
    e.watched = want;
    queue_.ModifyFd(s, want);
}

void AsyncSelectRegistry::OnFdReady(int fd, uint32_t events) {
    if (fd < 0 || static_cast<size_t>(fd) >= entries_.size() || entries_[fd].gen == 0) {
        queue_.UnwatchFd(fd);
        return;
    }
    AsyncSelectEntry& e = entries_[fd];
    // Closed or registered again from another thread: the drop request may still be on its
    // way here, but nothing more may be posted for this registration.
    if (AsyncSelectSlots::Load(fd) != MakeToken(id_, e.gen)) {
        Forget(fd);
        return;
    }
    if (e.OnDataOnly(events)) {
        platform::PostMessageTo(e.hWnd, e.msg, static_cast<uintptr_t>(fd), NoticeParam({FD_READ_W, 0}));
        return;
    }
    Notice notices[AsyncSelectEntry::kMaxNotices];
    const int n = e.OnReady(fd, events, notices);
    const HWND hWnd = e.hWnd;
    const uint32_t msg = e.msg;
    Rewatch(fd, e);
    for (int i = 0; i < n; ++i) platform::PostMessageTo(hWnd, msg, static_cast<uintptr_t>(fd), NoticeParam(notices[i]));
}

}  // namespace tav::sockintf::async
