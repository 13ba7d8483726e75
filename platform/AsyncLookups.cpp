#include "platform/AsyncLookups.hpp"

#include "platform/LookupPool.hpp"
#include "platform/MessageQueue.hpp"
#include "platform/SockLayer.hpp"

#include <climits>

namespace tav::sockintf {

AsyncLookups& AsyncLookups::Instance() {
    // Never destroyed: workers and other threads may still finish look-ups at exit.
    static auto* const lookups = new AsyncLookups;
    return *lookups;
}

HANDLE AsyncLookups::Start(std::shared_ptr<LookupRequest> req) {
    {
        std::lock_guard lock(mu_);
        do {
            req->handle = next_;
            next_ = next_ == INT32_MAX ? 1 : next_ + 1;
        } while (pending_.count(req->handle) != 0);
        pending_.emplace(req->handle, req);
    }
    const HANDLE handle = req->handle;
    if (!LookupPool::Instance().Submit([req] { Resolve(req); })) {
        Claim(*req);
        detail::tLastError = WSAENOBUFS;
        return 0;
    }
    return handle;
}

int AsyncLookups::Cancel(HANDLE handle) {
    std::shared_ptr<LookupRequest> dropped;  // the last reference may go outside the lock
    {
        std::lock_guard lock(mu_);
        auto it = pending_.find(handle);
        if (it == pending_.end()) return detail::Fail(WSAEINVAL);
        dropped = std::move(it->second);
        pending_.erase(it);
    }
    return 0;
}

size_t AsyncLookups::Pending() const {
    std::lock_guard lock(mu_);
    return pending_.size();
}

bool AsyncLookups::IsPending(const LookupRequest& req) const {
    std::lock_guard lock(mu_);
    auto it = pending_.find(req.handle);
    return it != pending_.end() && it->second.get() == &req;
}

bool AsyncLookups::Claim(const LookupRequest& req) {
    std::shared_ptr<LookupRequest> taken;
    std::lock_guard lock(mu_);
    auto it = pending_.find(req.handle);
    if (it == pending_.end() || it->second.get() != &req) return false;
    taken = std::move(it->second);
    pending_.erase(it);
    return true;
}

void AsyncLookups::Resolve(const std::shared_ptr<LookupRequest>& req) {
    // Cancelled before its turn came: no need to ask the resolver.
    if (!Instance().IsPending(*req)) return;
    if (!req->byAddr)
        req->error = hostdb::ResolveByName(req->name.c_str(), req->record);
    else if (req->family == AF_INET6_W)
        req->error = hostdb::ResolveByAddr(reinterpret_cast<const char*>(req->addr6.bytes.data()), 16, AF_INET6_W,
                                           req->record);
    else
        req->error = hostdb::ResolveByAddr(reinterpret_cast<const char*>(&req->addr), 4, AF_INET_W, req->record);
    const bool posted = platform::PostTaskToWindowThread(req->hWnd, [req] {
        if (Instance().Claim(*req)) Deliver(*req);
    });
    // The window or its thread is gone: nobody can be told, and the entry must not stay.
    if (!posted) Instance().Claim(*req);
}

void AsyncLookups::Deliver(const LookupRequest& req) {
    // A window destroyed since the post may take the buffer with it: nothing is written.
    if (!platform::IsWindowOfThisThread(req.hWnd)) return;
    int error = req.error;
    int length = 0;
    if (error == 0) error = hostdb::SerializeHostEnt(req.record, req.buf, req.buflen, length);
    if (length > 0xFFFF) length = 0xFFFF;
    const uint32_t value = static_cast<uint32_t>(error) << 16 | static_cast<uint32_t>(length);
    // The IPv6 addresses go beside the record, for the handler of this message only.
    detail::tHostAddresses6 = error == 0 ? req.record.addresses6 : std::vector<Inet6Address>{};
    platform::SendMessageTo(req.hWnd, req.msg, static_cast<uintptr_t>(static_cast<uint32_t>(req.handle)),
                            static_cast<int32_t>(value));
    detail::tHostAddresses6.clear();
}

}  // namespace tav::sockintf
