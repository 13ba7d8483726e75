// The socket manager: a set of sockets and the notifications of their readiness.
#pragma once

#include <tavsock/Event.hpp>
#include <tavsock/ITAVSockNotify.hpp>
#include <tavsock/OSSockLibInfo.hpp>
#include <tavsock/Object.hpp>
#include <tavsock/TAVHostInfo.hpp>
#include <tavsock/TAVSocket.hpp>
#include <tavsock/TAVSocketUtil.hpp>
#include <tavsock/TAVSockets.hpp>
#include <tavsock/ValueStore.hpp>
#include <tavsock/Variant.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class TAVAsyncSocket;
class SocketHandleIndex;

/// Owns a set of sockets: creates them, registers them for the six readiness notifications
/// (read, write, out-of-band, accept, connect, close) with its own hidden window, keeps them by
/// position (1 to SocketCount) and optional key (unique, letter case ignored), and turns what
/// arrives for them into six notifications. Each notification goes to the CallbackObject when
/// one is set, otherwise out as the event of the same name; never both. While delivering, the
/// manager moves the socket's state: an accept notification makes it Skt_ConnectionPending, a
/// connect notification Skt_Ready (NotDisconnected), a close notification Skt_Disconnecting
/// (GracefulDisconnect, or AbortiveDisconnect when it carries an error), then, once the close
/// has been delivered, Skt_Disconnected. A notification that carries an error is delivered as
/// SocketError first, and for every event but close ends there.
///
/// Creatable ("TAVSock.TAVSocketMgr"); the TCP and UDP managers each own one. Creating one
/// starts the network stack (version 1.1, overwriting the thread's start-up record that
/// SockLibInfo reads); its end stops it again, after every socket has been made non-async and
/// let go and the hidden window destroyed. A socket closes its handle when its last reference
/// goes, which is not necessarily when the manager lets go of it (nor before the stack stops:
/// a socket let go of after the last manager ended still closes its handle).
///
/// Thread rule: everything runs on the creating thread; notifications arrive while that
/// thread runs its message queue (MessageLoop.hpp). Receivers (callback or event handlers)
/// may call back into the manager, destroy the socket they are told about, or let go of the
/// manager itself: the dispatch keeps both alive until it returns, and after each delivery it
/// stops if nobody else holds the manager any more or the manager no longer holds the
/// socket. A close is the exception to the second rule: a receiver that destroys the socket
/// while its remaining data is offered ends the offers, but is still told of the close, once
/// (and the socket ends Skt_Disconnected). Whatever a receiver throws is absorbed.
class TAVSocketMgr : public Object {
public:
    /// A new manager with an empty collection.
    static std::shared_ptr<TAVSocketMgr> Create();
    /// Terminates: removes every socket (position 1 first), lets go of the collection and
    /// ExtraData, detaches and ends the asynchronous service (pending look-ups are cancelled,
    /// the window destroyed), lets go of Util and SockLibInfo, and stops the network stack.
    ~TAVSocketMgr() override;
    std::string TypeName() const override { return "TAVSocketMgr"; }

    // ---- Events, in their fixed order ---------------------------------------------------------

    /// (AsyncHandle, ErrorCode): a background look-up failed.
    Event<int32_t, int32_t> AsyncError;
    /// (AsyncHandle, HostObject): a background look-up succeeded.
    Event<int32_t, const std::shared_ptr<TAVHostInfo>&> HostResolved;
    /// (ErrorCode, Socket): a socket notification carried an error; Socket is empty when the
    /// handle is not one of the manager's.
    Event<int32_t, const std::shared_ptr<TAVSocket>&> SocketError;
    /// (Skt, IsOOB): data (out-of-band data when IsOOB) can be read.
    Event<const std::shared_ptr<TAVSocket>&, bool> DataReceived;
    /// (Skt, EventType): 8 a connection waits to be accepted, 16 connected, 32 closed.
    Event<const std::shared_ptr<TAVSocket>&, int32_t&> SocketNotification;
    /// (Skt): the socket can take more data. Pending send data was flushed just before, as far
    /// as the stack took it, so PendedSendLength tells what still waits.
    Event<const std::shared_ptr<TAVSocket>&> DataSent;

    // ---- Properties ---------------------------------------------------------------------------

    /// Receiver of the notifications; empty means the events are raised instead. The manager
    /// holds it strongly: an owner that sets itself here passes an object that refers back to
    /// it weakly (the TCP and UDP managers pass their NotifySink), so the manager never keeps
    /// its owner alive.
    const std::shared_ptr<ITAVSockNotify>& CallbackObject() const noexcept { return mCallbackObject; }
    void CallbackObject(std::shared_ptr<ITAVSockNotify> value) { mCallbackObject = std::move(value); }

    /// Free for the client. Reading it when none is held creates an empty store and keeps it.
    std::shared_ptr<ValueStore> ExtraData();
    void ExtraData(std::shared_ptr<ValueStore> store);

    /// The socket at a position or under a key (the collection's Item; library error 1 when
    /// the index designates no socket).
    std::shared_ptr<TAVSocket> Item(const Variant& Index) const;
    /// Number of sockets held.
    int32_t SocketCount() const noexcept;
    /// What the network stack said at the latest start-up on this thread.
    const std::shared_ptr<OSSockLibInfo>& SockLibInfo() const noexcept { return mSockLibInfo; }
    /// Free for the client: an object (stored unless it is the one already held) or a value
    /// (stored unless equal to the one held).
    Variant Tag() const { return mTag; }
    void Tag(Variant value);
    /// Conversions and blocking look-ups.
    const std::shared_ptr<TAVSocketUtil>& Util() const noexcept { return mUtil; }

    // ---- Methods ------------------------------------------------------------------------------

    /// Gives up a background look-up: nothing is delivered for it. Unknown handles are ignored.
    void CancelAsyncRequest(int32_t AsyncHandle);
    /// True when that very socket object is held.
    bool Contains(const std::shared_ptr<TAVSocket>& Obj) const;
    /// A new socket of the kind (1 stream, 2 datagram) with a non-blocking handle, held at the
    /// end of the collection (under Key unless empty) and registered for notifications.
    /// Returns null when no handle could be made (nothing is held then) or when registering
    /// failed (the socket stays held). A key in use raises error 457 and nothing is held.
    std::shared_ptr<TAVSocket> CreateSocket(int32_t SocketOption, const std::string& Key = "");
    /// Stops the notifications of a socket and lets go of it. SktVal: a position (a number or
    /// numeric text) or the socket object. Returns Empty when done, and also when the position
    /// designates no socket (then nothing changes); Integer -1 for position 0, a value that is
    /// neither, or a socket that is not held.
    Variant DestroySocket(const Variant& SktVal);
    /// True when no socket is held.
    bool IsEmpty() const noexcept;
    /// True when 1 <= Index <= SocketCount.
    bool IsValidIndex(int32_t Index) const;
    /// True when a socket is held under Key (letter case ignored).
    bool IsValidKey(const std::string& Key) const;
    /// Starts a background look-up of a dotted IPv4 address; HostResolved or AsyncError
    /// follows from the message queue with the returned handle. 0 when it could not start.
    int32_t WSAAsyncGetHostByAddress(const std::string& IPAddr);
    /// As WSAAsyncGetHostByAddress, by host name.
    int32_t WSAAsyncGetHostByName(const std::string& HostName);

private:
    friend class SocketMgrAccess;  // events/SocketMgrAccess.hpp: the library's way in

    TAVSocketMgr();
    void Initialize();
    void Terminate() noexcept;

    // Library-internal members (reached through SocketMgrAccess).
    int32_t AddSocket(const std::shared_ptr<TAVSocket>& Socket, const std::string& Key);
    Variant RemoveSocket(const Variant& SktVal);
    // CreateSocket of a socket of `family` (2 IPv4, 23 IPv6).
    std::shared_ptr<TAVSocket> CreateSocketOf(int32_t kind, const std::string& Key, int32_t family);
    int32_t IndexOfSocket(const std::shared_ptr<TAVSocket>& Socket) const;
    std::shared_ptr<TAVSocket> SocketFromHandle(int32_t Handle) const;

    // Handlers of mAsync's events; `self` keeps the manager alive for the call.
    void mAsync_AsyncError(int32_t AsyncHandle, int32_t ErrorCode);
    void mAsync_HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject);
    void mAsync_SocketMessage(const std::shared_ptr<TAVSocketMgr>& self, int32_t wParam, int32_t lParam);

    // The notification dispatch (TAVSocketMgrDispatch.cpp).
    void DispatchEvent(const std::shared_ptr<TAVSocketMgr>& self, const std::shared_ptr<TAVSocket>& socket,
                       int32_t event, int32_t error);
    void CloseSocket(const std::shared_ptr<TAVSocketMgr>& self, const std::shared_ptr<TAVSocket>& socket,
                     int32_t error);
    bool StillServing(const std::shared_ptr<TAVSocketMgr>& self, const std::shared_ptr<TAVSocket>& socket) const;

    // Delivery of one notification by exactly one route; what the receiver throws is absorbed.
    void DeliverAsyncError(int32_t AsyncHandle, int32_t ErrorCode) noexcept;
    void DeliverHostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) noexcept;
    void DeliverSocketError(int32_t ErrorCode, const std::shared_ptr<TAVSocket>& Socket) noexcept;
    void DeliverDataReceived(const std::shared_ptr<TAVSocket>& Skt, bool IsOOB) noexcept;
    void DeliverSocketNotification(const std::shared_ptr<TAVSocket>& Skt, int32_t EventType) noexcept;
    void DeliverDataSent(const std::shared_ptr<TAVSocket>& Skt) noexcept;

    std::shared_ptr<ITAVSockNotify> mCallbackObject;
    std::shared_ptr<ValueStore> mExtraData;  // null until first read or set
    std::shared_ptr<TAVSockets> mSockets;
    std::unique_ptr<SocketHandleIndex> mHandles;  // follows mSockets
    std::shared_ptr<OSSockLibInfo> mSockLibInfo;
    std::shared_ptr<TAVSocketUtil> mUtil;
    Variant mTag;
    std::shared_ptr<TAVAsyncSocket> mAsync;
};

}  // namespace tav
