// Hook points where the synchronous socket calls re-enable asynchronous-select notifications.
//
// Windows Sockets posts each readiness message once and then waits for the application to
// call the matching "re-enabling" function before it posts that event again (recv re-enables
// FD_READ, accept FD_ACCEPT, a send that would block arms FD_WRITE, and so on). The socket
// calls report those points through this table; the asynchronous-select service installs it.
// With no table installed a hook point costs one load and a predicted branch.
#pragma once

#include "platform/SockIntf.hpp"
#include "platform/SockLayer.hpp"

#include <atomic>
#include <cerrno>

namespace tav::sockintf {

/// Called on the thread that made the socket call (any thread), after the system call and
/// before the socket call returns. The first three members of an installed table must be
/// non-null; the functions must be cheap, must not block, and may call back into the layer
/// (the last error and errno of the caller are saved around them, except around a Reenable
/// whose table says it keeps them itself).
struct AsyncSelectHooks {
    /// A re-enabling call ran on `s`, whatever its result unless said otherwise: `event` is
    /// FD_READ_W after intrecv/intrecvfrom (FD_OOB_W when MSG_OOB_W was given); FD_WRITE_W
    /// after intsend/intsendto failed with 10035; FD_CONNECT_W after intconnect succeeded or
    /// failed with 10035 (a connection is established or under way); FD_ACCEPT_W after
    /// intlisten succeeded (the socket now takes connections).
    void (*Reenable)(SOCKET s, int32_t event) noexcept;
    /// intaccept ran on the listener `s` (re-enables FD_ACCEPT_W); `accepted` is the new
    /// handle, or INVALID_SOCKET when the call failed, errno then holding its reason.
    /// Windows gives the accepted socket the listener's registration; this hook is where that
    /// can be done.
    void (*Accepted)(SOCKET s, SOCKET accepted) noexcept;
    /// intclosesocket is about to close `s`: drop its registration. The descriptor is still
    /// open while this runs, so its number cannot be reused by another socket meanwhile.
    void (*Closing)(SOCKET s) noexcept;
    /// Whether `s` is registered for notifications: Windows refuses to make such a socket
    /// blocking again (intioctlsocket FIONBIO_W with 0 fails with 10022). May be null: then
    /// no socket counts as registered.
    bool (*Registered)(SOCKET s) noexcept = nullptr;
    /// True when Reenable leaves errno and the last error as they were by itself: it runs
    /// after every receive, and a hook that seldom makes a call can save them only then.
    bool reenableKeepsErrors = false;
};

namespace detail {
inline std::atomic<const AsyncSelectHooks*> gAsyncSelectHooks{nullptr};
}  // namespace detail

/// Installs `hooks` (null removes them). The table must outlive every socket call made after
/// this; a static table is the intended use.
inline void InstallAsyncSelectHooks(const AsyncSelectHooks* hooks) noexcept {
    detail::gAsyncSelectHooks.store(hooks, std::memory_order_release);
}

namespace detail {

/// Calls `fn` with the caller's errno and last error kept as they were.
template <class Fn>
[[gnu::cold]] inline void RunHook(Fn&& fn) noexcept {
    const int savedErrno = errno;
    const int savedLastError = tLastError;
    fn();
    tLastError = savedLastError;
    errno = savedErrno;
}

inline void HookReenable(SOCKET s, int32_t event) noexcept {
    if (const AsyncSelectHooks* h = gAsyncSelectHooks.load(std::memory_order_acquire)) [[unlikely]] {
        if (h->reenableKeepsErrors)
            h->Reenable(s, event);
        else
            RunHook([&] { h->Reenable(s, event); });
    }
}

inline void HookAccepted(SOCKET s, SOCKET accepted) noexcept {
    if (const AsyncSelectHooks* h = gAsyncSelectHooks.load(std::memory_order_acquire)) [[unlikely]]
        RunHook([&] { h->Accepted(s, accepted); });
}

/// Asks without saving errno or the last error: the caller has made no system call yet.
inline bool HookRegistered(SOCKET s) noexcept {
    const AsyncSelectHooks* h = gAsyncSelectHooks.load(std::memory_order_acquire);
    return h != nullptr && h->Registered != nullptr && h->Registered(s);
}

inline void HookClosing(SOCKET s) noexcept {
    if (const AsyncSelectHooks* h = gAsyncSelectHooks.load(std::memory_order_acquire)) [[unlikely]]
        RunHook([&] { h->Closing(s); });
}

}  // namespace detail
}  // namespace tav::sockintf
