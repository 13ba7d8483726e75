// The TCP manager's events, handed to a transfer manager's implementation.
#include "transfer/TcpEventSink.hpp"

namespace tav {

std::vector<EventSubscription> TcpEventSink::Subscribe(TavTCPSocketMgr& tcp, std::weak_ptr<const void> owner,
                                                       TcpEventSink& sink) {
    auto held = [owner, &sink](auto member) {
        return [owner, &sink, member](auto&&... args) {
            if (const auto alive = owner.lock()) (sink.*member)(args...);
        };
    };
    std::vector<EventSubscription> s;
    s.push_back(tcp.AcceptComplete.SubscribeScoped(held(&TcpEventSink::TCPMgr_AcceptComplete)));
    s.push_back(tcp.AsyncError.SubscribeScoped(held(&TcpEventSink::TCPMgr_AsyncError)));
    s.push_back(tcp.ConnectComplete.SubscribeScoped(held(&TcpEventSink::TCPMgr_ConnectComplete)));
    s.push_back(tcp.DataReceived.SubscribeScoped(held(&TcpEventSink::TCPMgr_DataReceived)));
    s.push_back(tcp.DataSent.SubscribeScoped(held(&TcpEventSink::TCPMgr_DataSent)));
    s.push_back(tcp.HostResolved.SubscribeScoped(held(&TcpEventSink::TCPMgr_HostResolved)));
    s.push_back(tcp.SocketClosed.SubscribeScoped(held(&TcpEventSink::TCPMgr_SocketClosed)));
    s.push_back(tcp.SocketError.SubscribeScoped(held(&TcpEventSink::TCPMgr_SocketError)));
    return s;
}

}  // namespace tav
