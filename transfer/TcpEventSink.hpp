// How a transfer manager's implementation takes the events of the TCP manager it owns: one
// handler per event, each called only while the manager is alive and held for the call.
#pragma once

#include <tavsock/Event.hpp>
#include <tavsock/TAVHostInfo.hpp>
#include <tavsock/TAVSockAddr.hpp>
#include <tavsock/TAVSocket.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace tav {

/// The TCP manager's events as virtual handlers (each does nothing unless overridden), named
/// as the handlers of an owned part's events are named.
class TcpEventSink {
public:
    virtual ~TcpEventSink() = default;

    virtual void TCPMgr_AcceptComplete(const std::shared_ptr<TAVSocket>&, const std::shared_ptr<TAVSocket>&,
                                       const std::shared_ptr<TAVSockAddr>&) {}
    virtual void TCPMgr_AsyncError(int32_t /*AsyncHandle*/, int32_t /*ErrorCode*/) {}
    virtual void TCPMgr_ConnectComplete(const std::shared_ptr<TAVSocket>&) {}
    virtual void TCPMgr_DataReceived(const std::shared_ptr<TAVSocket>&, Variant& /*Info*/) {}
    virtual void TCPMgr_DataSent(const std::shared_ptr<TAVSocket>&) {}
    virtual void TCPMgr_HostResolved(int32_t /*AsyncHandle*/, const std::shared_ptr<TAVHostInfo>&) {}
    virtual void TCPMgr_SocketClosed(const std::shared_ptr<TAVSocket>&) {}
    virtual void TCPMgr_SocketError(const std::shared_ptr<TAVSocket>&, int32_t /*ErrorCode*/) {}

    /// Subscribes `sink` to every event of `tcp` (out-of-band data aside). Each delivery
    /// holds `owner` (the public manager) for the call, so a receiver of the manager's own
    /// notifications may let go of it, and does nothing once it is gone: the TCP manager,
    /// which the owner owns, never keeps it alive. `sink` must live as long as the owner.
    /// The subscriptions end when the returned handles go.
    static std::vector<EventSubscription> Subscribe(TavTCPSocketMgr& tcp, std::weak_ptr<const void> owner,
                                                    TcpEventSink& sink);
};

}  // namespace tav
