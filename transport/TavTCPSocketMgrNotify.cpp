// TavTCPSocketMgr: the inner manager's notifications turned into the manager's events (the
// receive path is in TavTCPSocketMgrReceive.cpp).
//
// Every handler runs under a DispatchGuard (see TavTCPSocketMgrSink.hpp) and absorbs what the
// event handlers of the host throw: nothing reaches the inner manager.
#include <tavsock/TavTCPSocketMgr.hpp>

#include "platform/DebugLog.hpp"
#include "core/SocketAccess.hpp"
#include "platform/RaiseEvent.hpp"
#include "transport/TavTCPSocketMgrSink.hpp"

namespace tav {

namespace {
constexpr int32_t kLogLevel = 2;
}  // namespace

void TavTCPSocketMgr::ITAVSockNotify_AsyncError(int32_t AsyncHandle, int32_t ErrorCode) {
    try {
        RaiseEvent(AsyncError, AsyncHandle, ErrorCode);
    } catch (...) {
    }
}

void TavTCPSocketMgr::ITAVSockNotify_HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) {
    try {
        RaiseEvent(HostResolved, AsyncHandle, HostObject);
    } catch (...) {
    }
}

void TavTCPSocketMgr::ITAVSockNotify_SocketError(int32_t ErrorCode, const std::shared_ptr<TAVSocket>& Socket) {
    const std::shared_ptr<TAVSocket> socket = Socket;
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - ITAVSockNotify_SocketError   ErrorCode>" +
                                     std::to_string(ErrorCode));
    try {
        RaiseEvent(SocketError, socket, ErrorCode);  // the socket first, unlike the notification
    } catch (...) {
    }
}

void TavTCPSocketMgr::ITAVSockNotify_DataSent(const std::shared_ptr<TAVSocket>& Skt) {
    try {
        RaiseEvent(DataSent, Skt);
    } catch (...) {
    }
}

void TavTCPSocketMgr::ITAVSockNotify_SocketNotification(const std::shared_ptr<TAVSocket>& Skt, int32_t& EventType) {
    // Held for the whole call: a handler may destroy the socket.
    const std::shared_ptr<TAVSocket> socket = Skt;
    if (!socket) return;
    try {
        switch (EventType) {
        case FD_ACCEPT:
            if (socket->IsServerSocket()) OnAccept(socket);
            break;
        case FD_CONNECT:
            if (socket->IsServerSocket()) break;
            SocketAccess::SetState(*socket, Skt_Ready);
            if (DebugLogWanted(kLogLevel))
                WriteDebugLog(kLogLevel, LogPrefix() +
                                             "<TAVTcpSocketMgr - ITAVSockNotify_SocketNotification   FD_CONNECT message - "
                                             "setting skt_ready for socket sckhandle>" +
                                             std::to_string(socket->Handle()));
            RaiseEvent(ConnectComplete, socket);
            break;
        case FD_CLOSE:
            if (DebugLogWanted(kLogLevel))
                WriteDebugLog(kLogLevel, LogPrefix() +
                                             "<TAVTcpSocketMgr - ITAVSockNotify_SocketNotification   FD_CLOSE message - sckhandle>" +
                                             std::to_string(socket->Handle()));
            RaiseEvent(SocketClosed, socket);
            break;
        default:
            if (DebugLogWanted(kLogLevel))
                WriteDebugLog(kLogLevel, LogPrefix() +
                                             "<TAVTcpSocketMgr - ITAVSockNotify_SocketNotification   case else EventType>" +
                                             std::to_string(EventType));
            break;
        }
    } catch (...) {
    }
}

void TavTCPSocketMgr::OnAccept(const std::shared_ptr<TAVSocket>& Skt) {
    std::shared_ptr<TAVSockAddr> ConnectedName;
    // Accept registers the new socket with the inner manager under its handle in decimal.
    const std::shared_ptr<TAVSocket> NewSocket = Skt->Accept(mSocketMgr, ConnectedName);
    if (!NewSocket) return;
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, LogPrefix() +
                                     "<TAVTcpSocketMgr - ITAVSockNotify_SocketNotification   FD_ACCEPT message sckhandle>" +
                                     std::to_string(Skt->Handle()));
    RaiseEvent(AcceptComplete, Skt, NewSocket, ConnectedName);
}

}  // namespace tav
