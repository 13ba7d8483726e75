#include "events/SocketMgrForwarding.hpp"

namespace tav {

void ForwardSocketMgrEvents(TAVSocketMgr& mgr, const std::weak_ptr<ITAVSockNotify>& receiver,
                            std::vector<EventConnection>& out) {
    std::weak_ptr<ITAVSockNotify> r = receiver;
    out.push_back(mgr.AsyncError.Subscribe([r](int32_t AsyncHandle, int32_t ErrorCode) {
        if (auto s = r.lock()) s->AsyncError(AsyncHandle, ErrorCode);
    }));
    out.push_back(mgr.HostResolved.Subscribe([r](int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) {
        if (auto s = r.lock()) s->HostResolved(AsyncHandle, HostObject);
    }));
    out.push_back(mgr.SocketError.Subscribe([r](int32_t ErrorCode, const std::shared_ptr<TAVSocket>& Socket) {
        if (auto s = r.lock()) s->SocketError(ErrorCode, Socket);
    }));
    out.push_back(mgr.DataReceived.Subscribe([r](const std::shared_ptr<TAVSocket>& Skt, bool IsOOB) {
        if (auto s = r.lock()) s->DataReceived(Skt, IsOOB);
    }));
    out.push_back(mgr.SocketNotification.Subscribe([r](const std::shared_ptr<TAVSocket>& Skt, int32_t& EventType) {
        if (auto s = r.lock()) s->SocketNotification(Skt, EventType);
    }));
    out.push_back(mgr.DataSent.Subscribe([r](const std::shared_ptr<TAVSocket>& Skt) {
        if (auto s = r.lock()) s->DataSent(Skt);
    }));
}

}  // namespace tav
