// TavTCPSocketMgr's inner parts: the object through which the inner socket manager notifies
// it, and the guard every dispatch into it holds.
#pragma once

#include <tavsock/ITAVSockNotify.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>

#include <memory>
#include <utility>

namespace tav {

/// Holds the manager for one dispatch and counts the dispatches running, so that the manager
/// can tell whether anyone else still holds it (StillServing). The count drops before the
/// reference does, since letting go may end the manager.
class TavTCPSocketMgr::DispatchGuard {
public:
    explicit DispatchGuard(std::shared_ptr<TavTCPSocketMgr> mgr) : mgr_(std::move(mgr)) { ++mgr_->mDispatches; }
    ~DispatchGuard() { --mgr_->mDispatches; }
    DispatchGuard(const DispatchGuard&) = delete;
    DispatchGuard& operator=(const DispatchGuard&) = delete;
    TavTCPSocketMgr* operator->() const noexcept { return mgr_.get(); }

private:
    std::shared_ptr<TavTCPSocketMgr> mgr_;
};

/// The manager seen through ITAVSockNotify: the inner manager's CallbackObject while
/// InternalEarlyBound is true, and the target of its event handlers otherwise, so both routes
/// end in the same handlers. Refers to the manager weakly: the inner manager holds its
/// callback object, and must not keep its owner alive. Once the manager is gone it does
/// nothing.
class TavTCPSocketMgr::NotifySink final : public ITAVSockNotify {
public:
    explicit NotifySink(std::weak_ptr<TavTCPSocketMgr> mgr) : mgr_(std::move(mgr)) {}

    void AsyncError(int32_t AsyncHandle, int32_t ErrorCode) override {
        if (auto m = mgr_.lock()) DispatchGuard(std::move(m))->ITAVSockNotify_AsyncError(AsyncHandle, ErrorCode);
    }
    void HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) override {
        if (auto m = mgr_.lock()) DispatchGuard(std::move(m))->ITAVSockNotify_HostResolved(AsyncHandle, HostObject);
    }
    void SocketError(int32_t ErrorCode, const std::shared_ptr<TAVSocket>& Socket) override {
        if (auto m = mgr_.lock()) DispatchGuard(std::move(m))->ITAVSockNotify_SocketError(ErrorCode, Socket);
    }
    void DataReceived(const std::shared_ptr<TAVSocket>& Skt, bool IsOOB) override {
        if (auto m = mgr_.lock()) DispatchGuard(std::move(m))->ITAVSockNotify_DataReceived(Skt, IsOOB);
    }
    void DataSent(const std::shared_ptr<TAVSocket>& Skt) override {
        if (auto m = mgr_.lock()) DispatchGuard(std::move(m))->ITAVSockNotify_DataSent(Skt);
    }
    void SocketNotification(const std::shared_ptr<TAVSocket>& Skt, int32_t& EventType) override {
        if (auto m = mgr_.lock()) DispatchGuard(std::move(m))->ITAVSockNotify_SocketNotification(Skt, EventType);
    }

private:
    std::weak_ptr<TavTCPSocketMgr> mgr_;
};

}  // namespace tav
