// Background host look-ups (intWSAAsyncGetHostByName / ByAddr / intWSACancelAsyncRequest).
//
// A look-up runs on a worker of the LookupPool with the same resolver functions as the
// blocking calls, so both find the same records. Its result travels back as a task on the
// thread that owns the target window; only there, and only if the request is still pending,
// is the record written into the caller's buffer, immediately followed by the call of the
// window procedure with the completion message (wParam = request handle, lParam =
// (error << 16) | length). Writing and delivering in one task means no cancellation can fall
// between them, and a worker never touches the caller's memory.
//
// Whoever takes a request out of the pending table decides its fate: the completion task (the
// record is delivered), a cancellation (nothing is written, nothing delivered), or a worker
// whose result cannot reach the window's thread any more. Thread-safe.
#pragma once

#include "platform/HostDb.hpp"
#include "platform/SockIntf.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace tav::sockintf {

/// One background look-up. The inputs are copied at the call; `record` and `error` are
/// written by the worker and read on the owner's thread after the hand-over.
struct LookupRequest {
    HANDLE handle = 0;
    HWND hWnd = 0;
    uint32_t msg = 0;
    char* buf = nullptr;  // the caller's; written on the owner's thread only
    int buflen = 0;
    bool byAddr = false;
    std::string name;
    uint32_t addr = 0;  // network byte order
    int family = AF_INET_W;  // of the address looked up: AF_INET_W (addr) or AF_INET6_W (addr6)
    Inet6Address addr6;

    hostdb::HostRecord record;
    int error = 0;
};

class AsyncLookups {
public:
    /// The process's table of pending look-ups. Never destroyed. Any thread.
    static AsyncLookups& Instance();

    /// Gives `req` a handle, records it as pending and hands it to a worker. Returns the
    /// handle (non-zero, unique among pending look-ups and not reused for 2^31 look-ups), or
    /// 0 with WSAENOBUFS as the last error when no worker can take it.
    HANDLE Start(std::shared_ptr<LookupRequest> req);
    /// Drops a pending look-up: 0, or -1 with WSAEINVAL when the handle is not pending (never
    /// issued, completed or cancelled already).
    int Cancel(HANDLE handle);
    /// Look-ups started and not yet completed or cancelled.
    size_t Pending() const;

private:
    AsyncLookups() = default;
    static void Resolve(const std::shared_ptr<LookupRequest>& req);
    static void Deliver(const LookupRequest& req);
    bool IsPending(const LookupRequest& req) const;
    /// Takes `req` out of the pending table; false when it is no longer there.
    bool Claim(const LookupRequest& req);

    mutable std::mutex mu_;
    std::unordered_map<HANDLE, std::shared_ptr<LookupRequest>> pending_;  // guarded by mu_
    HANDLE next_ = 1;                                                      // guarded by mu_
};

}  // namespace tav::sockintf
