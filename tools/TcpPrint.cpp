#include "TcpPrint.hpp"

#include "TransportPrint.hpp"

namespace tavtool {

namespace {
std::string Mark(const std::string& mark) {
    return mark.empty() ? "none" : Quoted(mark);
}
}  // namespace

std::string FramingText(const tav::TAVSocket& skt) {
    if (skt.DataMode() == tav::DataMode_Binary) return "binary: every read is one event";
    return "text; begin mark " + Mark(skt.MsgBeginMark()) + ", end mark " + Mark(skt.MsgEndMark());
}

void PrintTcpEvents(tav::TavTCPSocketMgr& mgr, const std::string& label) {
    using SocketPtr = std::shared_ptr<tav::TAVSocket>;
    const std::string l = label;
    mgr.AcceptComplete.Subscribe([l](const SocketPtr& listener, const SocketPtr& skt,
                                     const std::shared_ptr<tav::TAVSockAddr>& name) {
        PrintEvent("AcceptComplete",
                   SocketName(listener) + " accepted " + SocketName(skt) + " from " + (name ? Endpoint(*name) : "?"), l);
    });
    mgr.AsyncError.Subscribe([l](int32_t handle, int32_t error) {
        PrintEvent("AsyncError", "handle " + std::to_string(handle) + ", " + ErrorText(error), l);
    });
    mgr.ConnectComplete.Subscribe([l](const SocketPtr& skt) {
        const auto peer = skt->RemoteAddr();
        PrintEvent("ConnectComplete", SocketName(skt) + " connected to " + (peer ? Endpoint(*peer) : "?"), l);
    });
    mgr.DataReceived.Subscribe(
        [l](const SocketPtr& skt, tav::Variant& info) { PrintEvent("DataReceived", SocketName(skt) + ": " + Shown(info), l); });
    mgr.DataSent.Subscribe(
        [l](const SocketPtr& skt) { PrintEvent("DataSent", SocketName(skt) + " can take more data", l); });
    mgr.HostResolved.Subscribe([l](int32_t handle, const std::shared_ptr<tav::TAVHostInfo>& host) {
        PrintEvent("HostResolved", "handle " + std::to_string(handle) + ": " + (host ? host->Name() : ""), l);
    });
    mgr.OOBDataReceived.Subscribe([l](const SocketPtr& skt, tav::Variant& info) {
        PrintEvent("OOBDataReceived", SocketName(skt) + ": " + Shown(info), l);
    });
    mgr.SocketClosed.Subscribe([l](const SocketPtr& skt) {
        const bool graceful = skt->DisconnectKind() == tav::GracefulDisconnect;
        PrintEvent("SocketClosed", SocketName(skt) + (graceful ? " (graceful)" : " (abortive)"), l);
    });
    mgr.SocketError.Subscribe([l](const SocketPtr& skt, int32_t error) {
        PrintEvent("SocketError", SocketName(skt) + ", " + ErrorText(error), l);
    });
}

}  // namespace tavtool
