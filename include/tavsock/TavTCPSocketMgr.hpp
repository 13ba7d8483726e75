// The TCP socket manager: stream sockets driven by events, with framed text messages.
#pragma once

#include <tavsock/Event.hpp>
#include <tavsock/Object.hpp>
#include <tavsock/TAVHostInfo.hpp>
#include <tavsock/TAVSockAddr.hpp>
#include <tavsock/TAVSocket.hpp>
#include <tavsock/TAVSocketMgr.hpp>
#include <tavsock/ValueStore.hpp>
#include <tavsock/Variant.hpp>

#include <cstdint>
#include <memory>
#include <string_view>
#include <string>
#include <vector>

namespace tav {

namespace platform {
class Timer;
}
class MessageFramer;

/// Stream sockets for applications (and for the HTTP and FTP clients). Creates client sockets
/// (bound, to be connected by the caller) and server sockets (bound and listening) in an inner
/// TAVSocketMgr (`Sockets`), and turns what happens on them into nine events.
///
/// Receiving: in DataMode_Binary every read is raised as DataReceived with the bytes read. In
/// DataMode_String the text read is held per socket, and each whole message standing between
/// the socket's MsgBeginMark and MsgEndMark (compared without regard to letter case; either
/// may be empty) is raised as one DataReceived with the message text, without its marks; text
/// before a begin mark is dropped with the message. A large read is framed in slices of at most
/// half the socket's MaxRecvHoldBufferSize, so only held text that still would grow beyond
/// that limit (a message longer than it) is dropped, silently; with an end mark set such a
/// message is dropped whole, up to and including its end mark, however many reads it takes,
/// and what follows is framed as usual (no part of it is ever raised). Out-of-band data is
/// raised as OOBDataReceived, also when the urgent byte came with no normal data. A one-second timer reads data that was left unread: once five seconds have
/// passed since the last read without a read (twelve after a socket was made), it looks at the
/// last socket that had data, reads what waits, and stops when nothing does.
///
/// Creatable ("TAVSock.TavTCPSocketMgr"). Creating one starts the network stack (version 1.1);
/// its end stops the timer, lets go of the held text, ExtraData and the inner manager (which
/// lets go of its sockets), and stops the stack again if its own start-up succeeded.
///
/// Thread rule: everything runs on the creating thread; events are raised while that thread
/// runs its message queue (MessageLoop.hpp). Handlers may call back into the manager, destroy
/// the socket they are told about, or let go of the manager: the dispatch keeps both alive
/// until it returns and stops delivering once the manager was let go or the socket was taken
/// out. Whatever a handler throws is absorbed; inside the message cutting it is also shown in
/// a message box (MessageBox.hpp) titled "TAVSock.TavTCPSocketMgr.ProcessRecvBuf".
class TavTCPSocketMgr : public Object {
public:
    /// A new manager: network stack started, inner manager made, timer disabled.
    static std::shared_ptr<TavTCPSocketMgr> Create();
    ~TavTCPSocketMgr() override;
    std::string TypeName() const override { return "TavTCPSocketMgr"; }

    // ---- Events, in dispatch-identifier order ----------------------------------------------

    /// (SourceSocket, NewSocket, NewSocketName): a server socket accepted a connection;
    /// NewSocket is held by Sockets under its handle in decimal, NewSocketName is the peer.
    Event<const std::shared_ptr<TAVSocket>&, const std::shared_ptr<TAVSocket>&, const std::shared_ptr<TAVSockAddr>&>
        AcceptComplete;
    /// (AsyncHandle, ErrorCode): a background look-up failed.
    Event<int32_t, int32_t> AsyncError;
    /// (SourceSocket): a client socket's connection is established (State Skt_Ready).
    Event<const std::shared_ptr<TAVSocket>&> ConnectComplete;
    /// (SourceSocket, Info): bytes read (binary mode) or one message (text mode).
    Event<const std::shared_ptr<TAVSocket>&, Variant&> DataReceived;
    /// (SourceSocket): the socket can take more data; what was pending has just been flushed
    /// as far as the stack took it (PendedSendLength tells what still waits).
    Event<const std::shared_ptr<TAVSocket>&> DataSent;
    /// (AsyncHandle, HostObject): a background look-up succeeded.
    Event<int32_t, const std::shared_ptr<TAVHostInfo>&> HostResolved;
    /// (SourceSocket, Info): out-of-band data read.
    Event<const std::shared_ptr<TAVSocket>&, Variant&> OOBDataReceived;
    /// (SourceSocket): the connection closed (State Skt_Disconnecting during the event).
    Event<const std::shared_ptr<TAVSocket>&> SocketClosed;
    /// (SourceSocket, ErrorCode): a notification carried an error; SourceSocket is null when
    /// the handle is not one of the manager's. Note the order: socket first.
    Event<const std::shared_ptr<TAVSocket>&, int32_t> SocketError;

    // ---- Properties --------------------------------------------------------------------------

    /// Free for the client. Reading it when none is held creates an empty store and keeps it.
    std::shared_ptr<ValueStore> ExtraData();
    void ExtraData(std::shared_ptr<ValueStore> store);

    /// True: the inner manager calls this manager directly (as its CallbackObject); false
    /// (the start): through the inner manager's events. The same events either way.
    bool InternalEarlyBound() const;
    void InternalEarlyBound(bool value);

    /// The inner manager that holds the sockets.
    const std::shared_ptr<TAVSocketMgr>& Sockets() const noexcept { return mSocketMgr; }

    /// Free for the client: kept here (it starts every debug-log line of this manager) and
    /// copied into the inner manager's Tag, which is what reading it returns.
    Variant Tag() const;
    void Tag(Variant value);

    // ---- Methods -----------------------------------------------------------------------------

    /// Whether sockets made from now on and bound to an IPv6 address take IPv6 peers only.
    /// False (the default): a server on "::" also accepts IPv4 clients (shown as IPv4).
    bool IPv6Only() const noexcept { return mIPv6Only; }
    void IPv6Only(bool value) noexcept { mIPv6Only = value; }

    /// Gives up a background look-up; unknown handles are ignored.
    void CancelAsyncRequest(int32_t AsyncHandle);
    /// A new stream socket under Key (unless empty), bound to LocalAddr, IsServerSocket false.
    /// Connect it with TAVSocket::Connect; ConnectComplete follows. LocalAddr and the address
    /// connected to may be IPv4 or IPv6: a client bound to 0.0.0.0 or "::" with port 0 takes
    /// the family of the address it connects to. On failure the socket is
    /// taken out again and the library error whose code is the last socket error is raised
    /// (a key in use raises 457 from the collection).
    std::shared_ptr<TAVSocket> CreateClientSocket(const std::shared_ptr<TAVSockAddr>& LocalAddr,
                                                  const std::string& Key = "");
    /// As CreateClientSocket, then listening with Backlog; IsServerSocket true. Each waiting
    /// connection is accepted and raised as AcceptComplete.
    std::shared_ptr<TAVSocket> CreateServerSocket(const std::shared_ptr<TAVSockAddr>& LocalAddr,
                                                  const std::string& Key = "", int32_t Backlog = 1);
    /// Takes the socket out of Sockets (when held there) and drops its held text in any case.
    /// The socket closes when its last reference goes. Null raises error 91.
    void DestroySocket(const std::shared_ptr<TAVSocket>& Skt);
    /// Starts a background look-up of a dotted address; HostResolved or AsyncError follows with
    /// the returned handle. 0 when it could not start.
    int32_t WSAAsyncGetHostByAddress(const std::string& IPAddr);
    /// As WSAAsyncGetHostByAddress, by host name.
    int32_t WSAAsyncGetHostByName(const std::string& HostName);

private:
    class NotifySink;
    class Receiving;
    class DispatchGuard;
    friend class TcpSocketMgrAccess;  // transport/TcpSocketMgrAccess.hpp

    TavTCPSocketMgr();
    void Initialize();
    void Terminate() noexcept;
    std::string LogPrefix() const;
    [[noreturn]] void FailCreate(const std::shared_ptr<TAVSocket>& socket);
    // True while someone besides the running dispatches holds the manager and Skt is still
    // one of its sockets (any socket when Skt is null).
    bool StillServing(const std::shared_ptr<TAVSocket>& Skt) const;

    // The ITAVSockNotify implementation, reached through NotifySink by either route.
    void ITAVSockNotify_AsyncError(int32_t AsyncHandle, int32_t ErrorCode);
    void ITAVSockNotify_HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject);
    void ITAVSockNotify_SocketError(int32_t ErrorCode, const std::shared_ptr<TAVSocket>& Socket);
    void ITAVSockNotify_DataReceived(const std::shared_ptr<TAVSocket>& Skt, bool IsOOB);
    void ITAVSockNotify_DataSent(const std::shared_ptr<TAVSocket>& Skt);
    void ITAVSockNotify_SocketNotification(const std::shared_ptr<TAVSocket>& Skt, int32_t& EventType);
    void OnAccept(const std::shared_ptr<TAVSocket>& Skt);
    // Receive path helpers (TavTCPSocketMgrReceive.cpp).
    void ReceiveOutOfBand(const std::shared_ptr<TAVSocket>& Skt);
    void ReceiveNormal(const std::shared_ptr<TAVSocket>& Skt);
    // Hands text read from Skt to the framer in slices; a pause keeps the rest back.
    void FrameText(const std::shared_ptr<TAVSocket>& Skt, std::string_view text);
    void LogRead(size_t length) const;
    void ArmTimer(const std::shared_ptr<TAVSocket>& Skt);
    void tmrProcessIncoming_Tick();

    bool mStartedUp = false;
    bool mIPv6Only = false;
    std::shared_ptr<ValueStore> mExtraData;      // null until first read or set
    std::shared_ptr<ValueStore> HoldBuffer;      // held text per socket (see MessageFramer)
    std::unique_ptr<MessageFramer> mFramer;      // works on HoldBuffer
    Variant mTag;
    std::shared_ptr<TAVSocket> mLastSocket;      // the socket the timer polls; may be null
    // Read buffers kept between reads (taken while in use, so a nested read gets its own):
    // text stays inside the manager, bytes come back after the host's handlers have run.
    std::vector<std::string> mReadText;
    std::vector<std::vector<uint8_t>> mReadBytes;
    size_t mReadTarget = 64 * 1024;              // size to read into: the last read's and some room
    int64_t mWaitTime = 0;                       // ten-thousandths of a second since local midnight
    std::shared_ptr<TAVSocketMgr> mSocketMgr;
    std::unique_ptr<platform::Timer> tmrProcessIncoming;
    std::shared_ptr<NotifySink> mNotifySink;     // refers back weakly
    std::vector<EventConnection> mSubscriptions; // to mSocketMgr's events and the timer's Tick
    int32_t mDispatches = 0;                     // dispatches running, each holding the manager
    std::weak_ptr<TavTCPSocketMgr> mSelf;        // counts who holds the manager without a copy
    mutable const TAVSocket* mServingSocket = nullptr;  // last socket StillServing found served
    mutable uint64_t mServingChanges = 0;        // collection changes when it was found
};

}  // namespace tav
