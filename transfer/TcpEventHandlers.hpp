// How a transfer manager's private implementation hears its TCP manager: each event goes to
// the implementation's handler of the same name (TCPMgr_DataReceived, ...), written once for
// both clients.
#pragma once

#include <tavsock/Event.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>

#include <memory>
#include <vector>

namespace tav {

/// Subscribes every TCPMgr_<Event> handler that `Impl` declares (public) to `tcp`'s event of
/// that name and adds the connections to `out`. Each call holds `owner` (a receiver may let
/// go of the manager) and refers to it weakly in between, so the TCP manager, which the owner
/// owns, does not keep it alive; `impl` lives as long as the owner. Whatever a handler throws
/// stays here: nothing goes back into the TCP manager's delivery.
template <class Impl, class Owner>
void SubscribeTcpEvents(TavTCPSocketMgr& tcp, const std::weak_ptr<Owner>& owner, Impl& impl,
                        std::vector<EventConnection>& out) {
    auto held = [owner, &impl](auto member) {
        return [owner, &impl, member](auto&&... args) {
            if (const std::shared_ptr<Owner> self = owner.lock()) {
                try {
                    (impl.*member)(args...);
                } catch (...) {
                }
            }
        };
    };
    if constexpr (requires { &Impl::TCPMgr_HostResolved; }) out.push_back(tcp.HostResolved.Subscribe(held(&Impl::TCPMgr_HostResolved)));
    if constexpr (requires { &Impl::TCPMgr_AsyncError; }) out.push_back(tcp.AsyncError.Subscribe(held(&Impl::TCPMgr_AsyncError)));
    if constexpr (requires { &Impl::TCPMgr_ConnectComplete; })
        out.push_back(tcp.ConnectComplete.Subscribe(held(&Impl::TCPMgr_ConnectComplete)));
    if constexpr (requires { &Impl::TCPMgr_DataReceived; }) out.push_back(tcp.DataReceived.Subscribe(held(&Impl::TCPMgr_DataReceived)));
    if constexpr (requires { &Impl::TCPMgr_DataSent; }) out.push_back(tcp.DataSent.Subscribe(held(&Impl::TCPMgr_DataSent)));
    if constexpr (requires { &Impl::TCPMgr_SocketClosed; }) out.push_back(tcp.SocketClosed.Subscribe(held(&Impl::TCPMgr_SocketClosed)));
    if constexpr (requires { &Impl::TCPMgr_SocketError; }) out.push_back(tcp.SocketError.Subscribe(held(&Impl::TCPMgr_SocketError)));
    if constexpr (requires { &Impl::TCPMgr_AcceptComplete; })
        out.push_back(tcp.AcceptComplete.Subscribe(held(&Impl::TCPMgr_AcceptComplete)));
}

}  // namespace tav
