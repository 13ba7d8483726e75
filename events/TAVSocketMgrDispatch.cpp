// The socket manager's notification dispatch: what arrives from the asynchronous service,
// turned into deliveries and state changes.
#include <tavsock/TAVSocketMgr.hpp>

#include "core/SocketAccess.hpp"
#include "events/SocketHandleIndex.hpp"
#include "platform/RaiseEvent.hpp"
#include "platform/SockIntf.hpp"

namespace tav {

namespace {

// Low and high 16 bits of a notification's lParam: event code and error code.
constexpr int32_t LowWord(int32_t value) noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(value) & 0xFFFFu);
}
constexpr int32_t HighWord(int32_t value) noexcept {
    return static_cast<int32_t>((static_cast<uint32_t>(value) >> 16) & 0xFFFFu);
}

}  // namespace

// ---- Handlers of the asynchronous service -----------------------------------------------------

void TAVSocketMgr::mAsync_AsyncError(int32_t AsyncHandle, int32_t ErrorCode) {
    DeliverAsyncError(AsyncHandle, ErrorCode);
}

void TAVSocketMgr::mAsync_HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) {
    DeliverHostResolved(AsyncHandle, HostObject);
}

void TAVSocketMgr::mAsync_SocketMessage(const std::shared_ptr<TAVSocketMgr>& self, int32_t wParam, int32_t lParam) {
    // Nothing escapes to the service, which would show it to the user.
    try {
        const int32_t handle = wParam;
        const int32_t error = HighWord(lParam);
        const int32_t event = LowWord(lParam);

        // Held for the whole dispatch: a receiver may destroy the socket.
        std::shared_ptr<TAVSocket> socket;
        if (handle != 0) socket = SocketFromHandle(handle);

        if (error != 0) {
            DeliverSocketError(error, socket);
            if (event != FD_CLOSE) return;
        }
        if (!socket) return;
        DispatchEvent(self, socket, event, error);
    } catch (...) {
        // A failed step (a poll, a flush) ends the dispatch; the next notification starts anew.
    }
}

void TAVSocketMgr::DispatchEvent(const std::shared_ptr<TAVSocketMgr>& self, const std::shared_ptr<TAVSocket>& socket,
                                 int32_t event, int32_t error) {
    switch (event) {
    case FD_READ:
        // A paused reader hears nothing; the stack keeps the data, and ResumeRecv brings a
        // notification again. Not receiving leaves FD_READ disabled, so the socket costs one
        // more wake-up and is then not watched for data until it is resumed.
        if (socket->IsRecvPaused()) [[unlikely]]
            break;
        // The poll behind a read notification usually has answered the urgent-data question
        // already; only when it has not is the stack asked (a system call on every read).
        if (sockintf::UrgentDataKnownAbsent(socket->Handle())) {
            SocketAccess::ClearLastError();  // as the question leaves it
            DeliverDataReceived(socket, false);
        } else {
            DeliverDataReceived(socket, socket->IsOOBAvailable());
        }
        break;
    case FD_OOB:
        if (socket->IsRecvPaused()) break;
        DeliverDataReceived(socket, socket->IsOOBAvailable());
        break;
    case FD_WRITE:
        // The flush comes before DataSent, so that its receivers see in PendedSendLength what
        // the stack still could not take: a host that paused reading while much was pending
        // must learn that it came down, and a flush that sends everything is followed by no
        // other write notification. With nothing pending the flush would send nothing,
        // whatever the poll said; only the last error it leaves (none) is kept.
        // The poll that posted it usually knows the socket is writable still: then no question.
        if (SocketAccess::HasPendingSend(*socket)) {
            if (sockintf::WritableKnown(socket->Handle())) {
                SocketAccess::ClearLastError();  // as the question leaves it
                SocketAccess::GenericSend(*socket);
            } else if (socket->IsWriteable()) {
                SocketAccess::GenericSend(*socket);
            }
            if (!StillServing(self, socket)) return;
        } else {
            SocketAccess::ClearLastError();
        }
        DeliverDataSent(socket);
        break;
    case FD_ACCEPT:
        SocketAccess::SetState(*socket, Skt_ConnectionPending);
        DeliverSocketNotification(socket, FD_ACCEPT);
        break;
    case FD_CONNECT:
        SocketAccess::SetState(*socket, Skt_Ready);
        SocketAccess::SetDisconnectKind(*socket, NotDisconnected);
        DeliverSocketNotification(socket, FD_CONNECT);
        break;
    case FD_CLOSE:
        CloseSocket(self, socket, error);
        break;
    default:
        break;
    }
}

void TAVSocketMgr::CloseSocket(const std::shared_ptr<TAVSocketMgr>& self, const std::shared_ptr<TAVSocket>& socket,
                               int32_t error) {
    // A paused reader hears of the peer's orderly close after the data that came before it:
    // both wait for ResumeRecv, which brings this notification again. A broken connection
    // ends the pause instead: there is no peer left to push back on, and its pending data is
    // gone, so a host waiting for DataSent to resume would wait for ever.
    if (socket->IsRecvPaused()) {
        if (error == 0) {
            SocketAccess::DeferClose(*socket, error);
            return;
        }
        SocketAccess::EndPause(*socket);
    }
    const int32_t deferredError = SocketAccess::TakeDeferredCloseError(*socket);
    if (error == 0) error = deferredError;
    SocketAccess::SetState(*socket, Skt_Disconnecting);
    SocketAccess::SetDisconnectKind(*socket, error != 0 ? AbortiveDisconnect : GracefulDisconnect);
    SocketAccess::ClearPendingSend(*socket);

    // Offer what is still readable: the loop ends when nothing is readable, or when a receiver
    // read nothing (the amount waiting did not change), so a receiver that ignores the data
    // gets exactly one offer.
    // A receiver of the SocketError that came first may already be done with the socket.
    // Bytes waiting make a socket readable, so the readiness poll is left to a handle that a
    // receiver closed on the way (whose failed precondition it reports): one system call less
    // on every close.
    bool serving = StillServing(self, socket);
    int32_t previous = 0;
    while (serving && (socket->Handle() != TAVSock_InvalidSocketHandle || socket->IsReadable())) {
        const int32_t waiting = socket->HowMuchDataIsAvailable();
        if (waiting == 0 || waiting == previous) break;
        previous = waiting;
        DeliverDataReceived(socket, false);
        serving = StillServing(self, socket);
        if (serving && socket->IsRecvPaused()) {
            SocketAccess::DeferClose(*socket, error);
            return;
        }
    }
    // The close is told even when a receiver destroyed the socket on the way (the dispatch
    // holds it): a host that frees sockets when they close must hear of every close, and
    // destroying a socket while its remaining data is offered is the natural way to be done
    // with it. Only a manager that was let go stays silent.
    if (self.use_count() > 1) DeliverSocketNotification(socket, FD_CLOSE);
    // The socket ends disconnected even when a receiver let go of it on the way.
    SocketAccess::SetState(*socket, Skt_Disconnected);
}

bool TAVSocketMgr::StillServing(const std::shared_ptr<TAVSocketMgr>& self,
                                const std::shared_ptr<TAVSocket>& socket) const {
    // Only the dispatch's own reference is left: the host let go of the manager, which ends
    // when the dispatch returns; nothing more is delivered on its behalf. (A dispatch nested
    // inside another one of the same manager, through a receiver that runs the queue, sees the
    // outer dispatch's reference too and goes on until it returns; the outer one then stops.)
    if (self.use_count() <= 1) return false;
    // A receiver removed the socket: it is done with it.
    return mHandles && mHandles->Holds(socket);
}

// ---- Delivery: the callback object when set, else the event -----------------------------------

void TAVSocketMgr::DeliverAsyncError(int32_t AsyncHandle, int32_t ErrorCode) noexcept {
    try {
        // The receiver may replace or clear CallbackObject during the call; keep it alive.
        if (std::shared_ptr<ITAVSockNotify> receiver = mCallbackObject)
            receiver->AsyncError(AsyncHandle, ErrorCode);
        else
            RaiseEvent(AsyncError, AsyncHandle, ErrorCode);
    } catch (...) {
    }
}

void TAVSocketMgr::DeliverHostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) noexcept {
    try {
        if (std::shared_ptr<ITAVSockNotify> receiver = mCallbackObject)
            receiver->HostResolved(AsyncHandle, HostObject);
        else
            RaiseEvent(HostResolved, AsyncHandle, HostObject);
    } catch (...) {
    }
}

void TAVSocketMgr::DeliverSocketError(int32_t ErrorCode, const std::shared_ptr<TAVSocket>& Socket) noexcept {
    try {
        if (std::shared_ptr<ITAVSockNotify> receiver = mCallbackObject)
            receiver->SocketError(ErrorCode, Socket);
        else
            RaiseEvent(SocketError, ErrorCode, Socket);
    } catch (...) {
    }
}

void TAVSocketMgr::DeliverDataReceived(const std::shared_ptr<TAVSocket>& Skt, bool IsOOB) noexcept {
    try {
        if (std::shared_ptr<ITAVSockNotify> receiver = mCallbackObject)
            receiver->DataReceived(Skt, IsOOB);
        else
            RaiseEvent(DataReceived, Skt, IsOOB);
    } catch (...) {
    }
}

void TAVSocketMgr::DeliverSocketNotification(const std::shared_ptr<TAVSocket>& Skt, int32_t EventType) noexcept {
    try {
        // The receiver gets the event code by reference; what it leaves there is not used.
        if (std::shared_ptr<ITAVSockNotify> receiver = mCallbackObject)
            receiver->SocketNotification(Skt, EventType);
        else
            RaiseEvent(SocketNotification, Skt, EventType);
    } catch (...) {
    }
}

void TAVSocketMgr::DeliverDataSent(const std::shared_ptr<TAVSocket>& Skt) noexcept {
    try {
        if (std::shared_ptr<ITAVSockNotify> receiver = mCallbackObject)
            receiver->DataSent(Skt);
        else
            RaiseEvent(DataSent, Skt);
    } catch (...) {
    }
}

}  // namespace tav
