// intWSAAsyncSelect and the re-enabling hooks of the socket calls.
//
// A registration lives in the registry of the thread that owns its window. The hooks run on
// whatever thread made the socket call: on the owner's thread they act at once, elsewhere
// they send the change to the owner's queue. The slot table is always updated at once, on the
// calling thread, so a close or a new registration takes effect before the call returns even
// when the owner hears of it later.
#include "platform/AsyncSelectHooks.hpp"
#include "platform/AsyncSelectRegistry.hpp"
#include "platform/AsyncSelectSlots.hpp"
#include "platform/MessageQueue.hpp"
#include "platform/SockIntf.hpp"
#include "platform/SockLayer.hpp"
#include "platform/SocketFacts.hpp"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

namespace tav::sockintf {

using async::AsyncSelectRegistry;
using async::AsyncSelectSlots;
using async::GenOf;
using async::MakeToken;
using async::OwnerOf;
using async::Token;
using detail::Fail;

namespace {

constexpr int32_t kAllEvents = FD_READ_W | FD_WRITE_W | FD_OOB_W | FD_ACCEPT_W | FD_CONNECT_W | FD_CLOSE_W;

/// Runs `fn` with the registry of `owner`: at once on its own thread, else through its queue.
/// Hooks must not throw; a change that cannot be sent (no memory, owner gone) is lost, which
/// the owner's check against the slot table makes safe.
template <class Fn>
void WithOwner(uint32_t owner, Fn&& fn) noexcept {
    AsyncSelectRegistry* self = AsyncSelectRegistry::Current();
    if (self != nullptr && self->Id() == owner) {
        fn(*self);
        return;
    }
    try {
        AsyncSelectRegistry::PostToOwner(owner, std::forward<Fn>(fn));
    } catch (...) {
    }
}

/// Ends registration `old` (if any) in its owner's registry.
void DropRegistration(SOCKET s, Token old) noexcept {
    if (old == 0) return;
    WithOwner(OwnerOf(old), [s, gen = GenOf(old)](AsyncSelectRegistry& r) { r.Drop(s, gen); });
}

/// The re-enabling calls that may change the watch or post to another thread, either of
/// which may make a system call: the caller's errno and last error are kept around them.
[[gnu::noinline, gnu::cold]] void ReenableWithOwner(SOCKET s, Token t, int32_t event) noexcept {
    detail::RunHook([&] {
        WithOwner(OwnerOf(t), [s, gen = GenOf(t), event](AsyncSelectRegistry& r) { r.Reenable(s, gen, event); });
    });
}

void OnReenable(SOCKET s, int32_t event) noexcept {
    // Here, not in the owner's registry: the owner may hear of the call only later.
    if (facts::Load(s) & facts::kWaitingCounted) facts::Remove(s, facts::kWaitingCounted);
    const Token t = AsyncSelectSlots::Load(s);
    if (t == 0) return;
    // After a receive on the owner's thread the watch usually covers the event already: a
    // bit to set and no system call.
    AsyncSelectRegistry* self = AsyncSelectRegistry::Current();
    if (self != nullptr && self->Id() == OwnerOf(t) && self->ReenableKept(s, GenOf(t), event)) return;
    ReenableWithOwner(s, t, event);
}

/// Accept failures that only more descriptors (or memory) can end.
bool IsStarved(int err) noexcept { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

void OnAccepted(SOCKET listener, SOCKET accepted) noexcept {
    const int acceptError = errno;  // of the failed accept, when it failed
    const Token t = AsyncSelectSlots::Load(listener);
    if (t == 0) return;
    if (accepted == INVALID_SOCKET && IsStarved(acceptError)) {
        WithOwner(OwnerOf(t), [listener, gen = GenOf(t)](AsyncSelectRegistry& r) { r.DeferAccept(listener, gen); });
        return;
    }
    uint32_t acceptedGen = 0;
    if (accepted != INVALID_SOCKET) {
        // Claimed here, so a close of the new socket before its owner hears of it wins.
        acceptedGen = AsyncSelectSlots::NewGeneration();
        bool ok = false;
        const Token old = AsyncSelectSlots::Exchange(accepted, MakeToken(OwnerOf(t), acceptedGen), ok);
        if (!ok) acceptedGen = 0;
        if (OwnerOf(old) != OwnerOf(t)) DropRegistration(accepted, old);
    }
    WithOwner(OwnerOf(t), [listener, accepted, gen = GenOf(t), acceptedGen](AsyncSelectRegistry& r) {
        r.Reenable(listener, gen, FD_ACCEPT_W);
        if (acceptedGen != 0) r.Inherit(listener, accepted, acceptedGen);
    });
}

void OnClosing(SOCKET s) noexcept {
    bool ok = false;
    DropRegistration(s, AsyncSelectSlots::Exchange(s, 0, ok));
    // The descriptor is free once this returns: a listener that ran out of them may accept
    // again (its notification is posted at the next poll, after the close).
    if (AsyncSelectRegistry* r = AsyncSelectRegistry::Current(); r != nullptr && r->HasStarvedAccepts())
        r->ResumeStarvedAccepts();
}

bool IsRegistered(SOCKET s) noexcept {
    return AsyncSelectSlots::Load(s) != 0;
}

constexpr AsyncSelectHooks kHooks{OnReenable, OnAccepted, OnClosing, IsRegistered, true};

/// The phase of `s` for a new registration without asking the kernel, when it is known: from
/// the facts of a socket the layer opened (its type; a stream socket that never connected or
/// listened is idle), or from the registration it has on this thread for a connection (an
/// accepted socket that its manager registers again). False when only the kernel can tell.
bool KnownPhase(SOCKET s, facts::Facts known, Token current, AsyncSelectRegistry* registry,
                async::SockPhase& phase) {
    if ((known & facts::kKnown) != 0) {
        if ((known & facts::kDatagram) != 0) {
            phase = async::SockPhase::Datagram;
            return true;
        }
        if ((known & facts::kNeverConnected) != 0) {
            phase = async::SockPhase::Idle;
            return true;
        }
    }
    // A connection stays one for registration purposes: the kernel would say established,
    // closing or closed, and a closed one counts as the connection it was.
    if (registry != nullptr && current != 0 && OwnerOf(current) == registry->Id() &&
        registry->IsConnection(s, GenOf(current))) {
        phase = async::SockPhase::Connected;
        return true;
    }
    return false;
}

}  // namespace

bool UrgentDataKnownAbsent(SOCKET s) noexcept {
    const Token t = AsyncSelectSlots::Load(s);
    if (t == 0) return false;
    AsyncSelectRegistry* r = AsyncSelectRegistry::Current();
    return r != nullptr && r->Id() == OwnerOf(t) && r->TakeUrgentAbsent(s, GenOf(t));
}

bool WritableKnown(SOCKET s) noexcept {
    if ((facts::Load(s) & facts::kWritableKnown) == 0) return false;
    facts::Remove(s, facts::kWritableKnown);
    return true;
}

bool RememberedBytesWaiting(SOCKET s, int& bytes) noexcept {
    if ((facts::Load(s) & facts::kWaitingCounted) == 0) return false;
    const Token t = AsyncSelectSlots::Load(s);
    if (t == 0) return false;
    AsyncSelectRegistry* r = AsyncSelectRegistry::Current();
    return r != nullptr && r->Id() == OwnerOf(t) && r->WaitingAtEnd(s, GenOf(t), bytes);
}

void ResumeReadNotices(SOCKET s, bool postRead, bool postClose) noexcept {
    const Token t = AsyncSelectSlots::Load(s);
    AsyncSelectRegistry* r = AsyncSelectRegistry::Current();
    if (t == 0 || r == nullptr || r->Id() != OwnerOf(t)) return;
    detail::RunHook([&] { r->ResumeReading(s, GenOf(t), postRead, postClose); });
}

int intWSAAsyncSelect(SOCKET s, HWND hWnd, uint32_t wMsg, int32_t lEvent) {
    if (!detail::Started()) return SOCKET_ERROR;
    // Installed by every call rather than once, so a table swapped in meanwhile (tests do)
    // cannot leave registrations without their re-enabling points.
    if (detail::gAsyncSelectHooks.load(std::memory_order_acquire) != &kHooks) InstallAsyncSelectHooks(&kHooks);
    if ((lEvent & ~kAllEvents) != 0) return Fail(WSAEINVAL);
    // Notifications are delivered by the queue of the calling thread only.
    if (!platform::IsWindowOfThisThread(hWnd)) return Fail(WSAEINVAL);
    // What the layer remembers of the socket, or the registration it has on this thread,
    // answers most of what would otherwise be asked of the kernel here.
    const facts::Facts known = facts::Load(s);
    const Token current = AsyncSelectSlots::Load(s);
    AsyncSelectRegistry* registry = AsyncSelectRegistry::ForThisThread();
    async::SockPhase phase = async::SockPhase::Idle;
    if (lEvent == 0) {
        // Cancelling needs only to know the handle is a socket: one the layer opened, or
        // one registered now, is.
        if ((known & facts::kKnown) == 0 && current == 0) {
            int type = 0;
            socklen_t len = sizeof type;
            if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return Fail(WSAENOTSOCK);
        }
    } else if (!KnownPhase(s, known, current, registry, phase)) {
        int error = 0;
        phase = async::ClassifySocket(s, error);
        if (error != 0) return Fail(error);
    }
    if (s >= AsyncSelectSlots::kMaxHandle) return Fail(WSAENOBUFS);
    if (registry == nullptr) return Fail(WSAENETDOWN);  // the thread is ending

    bool ok = false;
    if (lEvent == 0) {
        DropRegistration(s, AsyncSelectSlots::Exchange(s, 0, ok));
        return 0;
    }
    // As on Windows, a registered socket is non-blocking (and stays so until unregistered).
    if ((known & facts::kNonBlocking) == 0) {
        int on = 1;
        if (::ioctl(s, FIONBIO, &on) != 0) return detail::FailErrno();
        facts::Add(s, facts::kNonBlocking);
    }
    const uint32_t gen = AsyncSelectSlots::NewGeneration();
    const Token token = MakeToken(registry->Id(), gen);
    const Token old = AsyncSelectSlots::Exchange(s, token, ok);
    if (!ok) return Fail(WSAENOBUFS);
    // A connection that ended while it waited to be accepted (a reset in the backlog) shows
    // no connection state any more, but its data and its close are still to be told; the
    // registration it had from its listener says what it is. A fresh socket is never there.
    if (phase == async::SockPhase::Idle && OwnerOf(old) == registry->Id() && registry->IsConnection(s, GenOf(old)))
        phase = async::SockPhase::Connected;
    // A registration on this thread is simply replaced by Register.
    if (OwnerOf(old) != registry->Id()) DropRegistration(s, old);
    if (const int err = registry->Register(s, gen, hWnd, wMsg, lEvent, phase); err != 0) {
        AsyncSelectSlots::Replace(s, token, 0);
        return Fail(err);
    }
    return 0;
}

}  // namespace tav::sockintf
