// One socket handle of the socket interface layer, with its state, framing marks and send
// buffer.
#pragma once

#include <tavsock/Object.hpp>
#include <tavsock/TAVSockAddr.hpp>
#include <tavsock/Types.hpp>
#include <tavsock/ValueStore.hpp>
#include <tavsock/Variant.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class TAVSocketMgr;

/// A stream or datagram socket. Hosts cannot create one: socket managers make them (and
/// `Accept` makes the sockets of accepted connections); hosts reach them through the managers
/// and collections. The handle is non-blocking once the manager has created it.
///
/// Thread rule: use on the thread that created it. `Connect` and the retry waits of the send
/// methods run the calling thread's message queue, so notifications (for this or other
/// sockets) may be handled inside those calls; a handler may even drop the last reference to
/// this socket, which then ends when the call returns.
///
/// Errors: only `SocketOption` and the send methods raise (a bare SockError whose number is
/// the Windows Sockets code, empty source and description). Everything else reports through
/// its result, its out parameters and `State()`. Precondition failures (an invalid handle, a
/// value out of range, a data-mode mismatch) go to the diagnostics service; the call goes on.
/// A null address object where one is required raises SockError 91 ("Object variable not
/// set"), as the object model's runtime does.
///
/// Sending: data goes into a pending buffer and is flushed at once. When the stack's send
/// buffer is full (10035) the flush waits and retries: the wait before retry n of one flush is
/// lngRetrySendStart + (n - 1) * lngRetrySendStep + carry-over milliseconds (carry-over at
/// least 1, and after a flush whose last send needed k retries it is lngRetrySendStart +
/// k * lngRetrySendStep), at most lngRetrySendTimes retries in a row. Each wait is measured on
/// the monotonic clock and spent blocked in the message queue, running whatever arrives; it
/// never spins and never sleeps without running the queue. When the retries run out the send
/// raises 10035 and the rest stays pending; the socket manager flushes it on the next write
/// notification. Decisions where the classic behaviour was open:
///   - A failure inside a flush that is not a socket error (out of memory, an exception
///     escaping the message queue) is written to the debug log and ends the flush with the
///     result of the last send call; what is unsent stays pending.
///   - `SendTo` with text sends its bytes as they are (one byte per character), without the
///     framing marks, which belong to stream messages.
///   - `SendTo` with a buffer that is neither bytes nor text reports "Unsupported data type"
///     and sends nothing.
///
/// Receiving: `Recv`, `RecvOOB` and `RecvFrom` read what waits now and never raise. A read
/// with nothing waiting returns one zero byte (or a one-character text "\0") with a count of
/// 0; go by the count. Decisions:
///   - A read that was sized above 0 but returned no bytes (a failure, or an empty datagram)
///     returns an empty byte array or empty text.
///   - `RecvOOB` sizes its buffer by the normal data waiting but at least 1 byte, so the
///     urgent byte (TCP carries one) can be read when no normal data waits.
class TAVSocket : public Object {
public:
    ~TAVSocket() override;
    std::string TypeName() const override { return "TAVSocket"; }

    // ---- Properties -----------------------------------------------------------------------

    /// Result of the last send call of the last flush (-1 when it failed).
    int32_t BytesSent() const noexcept { return mBytesSent; }

    /// DataMode_String (0): received data comes back as text, one character per byte;
    /// DataMode_Binary (1): as a byte array. Another value is reported and stored.
    int32_t DataMode() const noexcept { return mDataMode; }
    void DataMode(int32_t NewValue);

    /// How the connection ended, as the socket manager last set it.
    TAV_SocketDisconnectKind DisconnectKind() const noexcept { return mDisconnectKind; }

    /// Free for the client. Reading it when none is held creates an empty store and keeps it.
    std::shared_ptr<ValueStore> ExtraData();
    void ExtraData(std::shared_ptr<ValueStore> store);

    /// The socket handle; TAVSock_InvalidSocketHandle (-1) when there is none.
    int32_t Handle() const noexcept { return mHandle; }

    /// Retry settings of the send path, in milliseconds and tries; stored without checks.
    /// Defaults 1, 50 and 30.
    int32_t lngRetrySendStart() const noexcept { return mRetrySendStart; }
    void lngRetrySendStart(int32_t value) noexcept { mRetrySendStart = value; }
    int32_t lngRetrySendStep() const noexcept { return mRetrySendStep; }
    void lngRetrySendStep(int32_t value) noexcept { mRetrySendStep = value; }
    int32_t lngRetrySendTimes() const noexcept { return mRetrySendTimes; }
    void lngRetrySendTimes(int32_t value) noexcept { mRetrySendTimes = value; }

    /// True on sockets made by `Accept`.
    bool IsConnectionAcceptor() const noexcept { return mIsConnectionAcceptor; }

    /// Zero-time polls of the handle: an exception waits (urgent data, a failed connect),
    /// urgent data waits (at-mark query), data or a connection can be read.
    bool IsExceptionTriggered() const;
    bool IsOOBAvailable() const;
    bool IsReadable() const;

    /// True when a transport manager made this socket a server socket.
    bool IsServerSocket() const noexcept { return mIsServerSocket; }

    /// True when 8192 <= Value <= 16777216.
    bool IsValidMaxRecvHoldBufferSize(int32_t Value) const noexcept;

    /// Zero-time poll: the socket can take data now.
    bool IsWriteable() const;

    /// 1 stream (TCP), 2 datagram (UDP), 0 until set by CreateSocket (and on accepted sockets).
    int32_t Kind() const noexcept { return mKind; }

    /// The calling thread's last Windows Sockets error, not a value kept by the socket.
    int32_t LastError() const;

    /// The local end point, or null when the handle has none (the error is dropped).
    std::shared_ptr<TAVSockAddr> LocalAddr() const;

    /// Largest hold buffer of the TCP manager's message framing; a value outside 8192 to
    /// 16777216 is reported and stored. Default 1048576.
    int32_t MaxRecvHoldBufferSize() const noexcept { return mMaxRecvHoldBufferSize; }
    void MaxRecvHoldBufferSize(int32_t NewValue);

    /// Framing marks put around every text sent with `Send`; received text is cut at them by
    /// the TCP manager. Default empty.
    const std::string& MsgBeginMark() const noexcept { return mMsgBeginMark; }
    void MsgBeginMark(const std::string& NewValue) { mMsgBeginMark = NewValue; }
    const std::string& MsgEndMark() const noexcept { return mMsgEndMark; }
    void MsgEndMark(const std::string& NewValue) { mMsgEndMark = NewValue; }

    /// Kept for hosts (nothing in the library reads it); a negative value is reported and
    /// stored.
    int32_t NoEndMarkTimeout() const noexcept { return mNoEndMarkTimeout; }
    void NoEndMarkTimeout(int32_t NewValue);

    /// Bytes that Send and SendOOB accepted and the stack has not taken yet (the pending
    /// length the send log calls mPendedSendLength): what a peer that does not read makes
    /// this socket hold. Read-only.
    int32_t PendedSendLength() const noexcept;

    /// Most bytes PendedSendLength may reach; 0 (the default) sets no bound. A Send or
    /// SendOOB whose message would take it past the bound raises 10055 (WSAENOBUFS) and keeps
    /// nothing of that message, so a message longer than the bound is never sent; the host
    /// may pause reading, drop the peer, or send again after DataSent. A negative value is
    /// reported and stored (and sets no bound).
    int32_t MaxPendedSendLength() const noexcept { return mMaxPendedSendLength; }
    void MaxPendedSendLength(int32_t NewValue);

    /// The connected peer, or null when not connected (the error is dropped).
    std::shared_ptr<TAVSockAddr> RemoteAddr() const;

    /// A socket-level option (level 0xFFFF, Windows numbering: 2 accepts connections, 128
    /// linger, 0x1001 send buffer, 0x2003 largest message, ...) as a 32-bit value. Raises the
    /// socket error when the call fails.
    int32_t SocketOption(int32_t SktOpt) const;
    void SocketOption(int32_t SktOpt, int32_t value);

    TAV_SocketState State() const noexcept { return mState; }

    /// Free for the client: any value or object.
    Variant Tag() const { return mTag; }
    void Tag(Variant value) { mTag = std::move(value); }

    // ---- Connections ----------------------------------------------------------------------

    /// Takes one waiting connection of this listening socket. On success returns the new
    /// socket (the listener's marks and data mode, IsConnectionAcceptor true; Kind 0 and
    /// State Skt_NotInitialized), sets ConnectedName to a new address holding the peer and
    /// registers the socket with SocketList under the decimal text of its handle (a null
    /// SocketList skips that). Otherwise returns null and leaves ConnectedName alone. Either
    /// way the listener is Skt_Listening afterwards.
    std::shared_ptr<TAVSocket> Accept(const std::shared_ptr<TAVSocketMgr>& SocketList,
                                      std::shared_ptr<TAVSockAddr>& ConnectedName);

    /// Binds to the end point. Returns 0 (State Skt_Bound) or -1 (State Skt_Error).
    /// A stream socket not yet bound nor connected takes the family of the address it is
    /// bound (or connected) to, under the same Handle; a datagram socket keeps the family it
    /// was made with (the UDP manager makes it from its local address).
    int32_t Bind(const std::shared_ptr<TAVSockAddr>& SockAddr);

    /// Whether a Bind to an IPv6 address takes IPv6 peers only. False (the default): bound
    /// to "::", the socket takes IPv4 peers too (dual stack), and shows them as IPv4
    /// addresses. Set it before Bind.
    bool IPv6Only() const noexcept { return mIPv6Only; }
    void IPv6Only(bool value) noexcept { mIPv6Only = value; }

    /// Starts a connection, running pending messages once before and once after the call.
    /// Returns 0 (connected, Skt_Ready) or -1; then State tells: Skt_ConnectionPending while
    /// under way (10035; completion arrives as a connect notification), Skt_Disconnected when
    /// refused, Skt_NotInitialized when the stack is not started, Skt_Error otherwise (10056
    /// for a socket whose connection is already made). LastError() holds the code of the
    /// connect call on return.
    /// Re-entry: the messages run here are delivered before Connect returns, so on loopback
    /// ConnectComplete (and other sockets' events) usually arrive inside the call. Set your own
    /// state before calling, never after. Messages run through the thread's pump
    /// (SetMessagePump in MessageLoop.hpp), so a host loop keeps running too. A Connect called
    /// inside handlers nested eight passes deep runs no messages: they run, in order, after
    /// it returns (this bounds the stack when every handler connects).
    int32_t Connect(const std::shared_ptr<TAVSockAddr>& SockAddr);

    /// Bytes waiting to be read (for a datagram socket: the size of the next datagram); 0 on
    /// failure or without a handle. An urgent byte is not counted, but the data behind it is:
    /// ahead of the byte the count stops where it stands, at it the count is what follows
    /// (one read would return as much), so a reader sized by this count reads past it.
    int32_t HowMuchDataIsAvailable() const;

    /// Starts listening. Returns 0 (State Skt_Listening) or -1 (State unchanged; read the
    /// code with LastError()). A socket that was never bound cannot listen (10022): nothing
    /// picks an address on every interface behind the host's back.
    int32_t Listen(int32_t Backlog = 1);

    /// The largest message of the socket (SocketOption 0x2003), 0 without a handle.
    int32_t MaxUDPDatagramSize() const;

    // ---- Receiving ------------------------------------------------------------------------

    /// Reads what waits: a datagram socket up to its largest datagram, otherwise the bytes
    /// waiting. RtnBytesRead gets the count read (0 on failure), RtnErrorCode 0 or the socket
    /// error. Returns text (DataMode_String) or a byte array (DataMode_Binary); Empty for an
    /// invalid data mode (reported).
    Variant Recv(int32_t& RtnBytesRead, int32_t& RtnErrorCode);
    /// As Recv, reading urgent (out-of-band) data; RtnErrorCode is the socket error in every
    /// case.
    Variant RecvOOB(int32_t& RtnBytesRead, int32_t& RtnErrorCode);
    /// As Recv; when a read was made and PeerName is not null, PeerName gets the sender.
    Variant RecvFrom(int32_t& BytesRead, int32_t& ErrorCode, const std::shared_ptr<TAVSockAddr>& PeerName);

    /// Reading can be set aside: while paused, nothing is read from this socket and no
    /// DataReceived (nor OOBDataReceived) is raised for it, by the read notifications, the
    /// close or the TCP manager's timer. The data stays in the stack, whose flow control then
    /// slows the peer down; the peer's orderly close waits too. A broken connection (the
    /// close comes with an error) ends the pause: its SocketError, data and close are raised
    /// as usual, since nothing is left to push back on and its pending data is gone. Messages
    /// already read and not yet raised wait with it. Both calls may be made from any handler
    /// and cost no system call while paused; pausing twice is pausing once.
    /// ResumeRecv delivers, from the queue and after the caller has returned, what waited:
    /// the data first, then the close. Typical use: pause while PendedSendLength is high,
    /// resume on DataSent once it has come down.
    void PauseRecv() noexcept { mRecvPaused = true; }
    void ResumeRecv();
    /// True between PauseRecv and ResumeRecv.
    bool IsRecvPaused() const noexcept { return mRecvPaused; }

    // ---- Sending --------------------------------------------------------------------------

    /// Sends a byte array as it is, or a text between MsgBeginMark and MsgEndMark (the other
    /// types are reported and nothing is sent). A data-mode mismatch is reported only.
    /// Raises the socket error when the flush ends in failure; after 10035 the rest stays
    /// pending and goes out at the next write notification (DataSent follows); so it does
    /// after 10057 (never connected); a reset drops it.
    /// Re-entry: while the stack's buffer is full, Send waits with growing pauses
    /// (lngRetrySendStart/Step/Times: with the defaults about 22 s in all) and lets
    /// messages run during each pause, so any event, including DataReceived of this socket
    /// and a nested Send on it, can be delivered before Send returns.
    void Send(const Variant& Buffer);
    /// Sends a byte array as urgent data; another type raises 10014.
    void SendOOB(const Variant& Buffer);
    /// Sends one datagram (or urgent data when OOB) to PeerName (null: the connected peer).
    /// Raises 10035 without sending when data is still pending.
    void SendTo(const Variant& Buffer, const std::shared_ptr<TAVSockAddr>& PeerName, bool OOB = false);

    // ---- Diagnostics ----------------------------------------------------------------------

    /// Reads the polls and the options 2 and 128; shows nothing. Raises only when an option
    /// read fails.
    void ShowSocketInfo() const;

private:
    struct SendState;
    struct RecvLabels;
    friend class SocketAccess;  // core/SocketAccess.hpp: the library's way in

    TAVSocket();

    // Library-internal members (reached through SocketAccess).
    void SetDisconnectKind(TAV_SocketDisconnectKind kind) noexcept { mDisconnectKind = kind; }
    void SetHandle(int32_t handle) noexcept { mHandle = handle; }
    void SetIsConnectionAcceptor(bool flag) noexcept { mIsConnectionAcceptor = flag; }
    void SetIsServerSocket(bool flag) noexcept { mIsServerSocket = flag; }
    void SetState(TAV_SocketState state) noexcept { mState = state; }
    void ClearPendingSend() noexcept;
    // Whether a message of `size` more bytes fits under MaxPendedSendLength; raises 10055
    // when it does not.
    void CheckPendedRoom(size_t size) const;
    // `family` 2 (IPv4) or 23 (IPv6).
    int32_t CreateSocket(int32_t kind, int32_t family = 2);
    int32_t BindForConnect(const std::shared_ptr<TAVSockAddr>& SockAddr);
    int32_t GenericSend();
    static void ClearLastError() noexcept;

    // Helpers of the send and receive paths.
    bool SendDirect(const uint8_t* data, size_t size, int32_t& result);
    // Send of a byte array, straight from the caller's bytes.
    void SendBytes(const uint8_t* data, size_t size);
    // Send's end: raises the socket error of a failed send, writes the closing log line.
    void FinishSend(int32_t result);
    int32_t FlushOutOfBand(int32_t& result);
    int32_t FlushNormal(int32_t& result);
    void WaitBeforeRetry(int32_t error, int32_t length, int32_t result, int32_t retryCount, int64_t currentStep);
    bool Poll(int which) const;
    Variant Deliver(ByteArray& bytes, int32_t bytesRead, int32_t errorCode, const RecvLabels& labels);
    Variant DeliverText(std::string& text, int32_t bytesRead, int32_t errorCode, const RecvLabels& labels);
    // Recv of a stream socket whose waiting byte count the caller has just asked.
    Variant RecvWaiting(int32_t count, int32_t& RtnBytesRead, int32_t& RtnErrorCode);
    // Stream read into a caller's buffer, up to `capacity` bytes, without asking first how
    // much waits; the count read, 0 when nothing was (RtnErrorCode says why).
    int32_t RecvInto(char* into, int32_t capacity, int32_t& RtnErrorCode);
    // The debug-log line of a read of `count` bytes into `data` (as Recv writes it).
    void LogRecv(const char* data, int32_t count) const;
    void CheckHandle(const char* conditionText) const;
    std::string LogPrefix() const;

    int32_t mHandle = TAVSock_InvalidSocketHandle;
    int32_t mKind = 0;
    TAV_SocketState mState = Skt_NotInitialized;
    TAV_SocketDisconnectKind mDisconnectKind = NotDisconnected;
    int32_t mDataMode = DataMode_String;
    bool mIsServerSocket = false;
    bool mIsConnectionAcceptor = false;
    std::string mMsgBeginMark;
    std::string mMsgEndMark;
    int32_t mNoEndMarkTimeout = 0;
    int32_t mMaxRecvHoldBufferSize = 1048576;
    int32_t mRetrySendStart = 1;
    int32_t mRetrySendStep = 50;
    int32_t mRetrySendTimes = 30;
    int32_t mBytesSent = 0;
    int32_t mMaxPendedSendLength = 0;  // 0: no bound
    bool mRecvPaused = false;
    // The TCP manager stopped cutting messages when reading was paused: text it read waits
    // in mWithheldText (or in its hold buffer), and ResumeRecv must bring it a notification.
    bool mRecvWithheld = false;
    // A close that arrived while paused: -1 none; e >= 0 waits for ResumeRecv, with its error
    // (0 for the peer's orderly close); -2 - e once ResumeRecv has brought it again.
    int32_t mDeferredClose = -1;
    std::string mWithheldText;
    int32_t mMaxDatagram = 0;  // cached by CreateSocket for datagram sockets
    bool mIPv6Only = false;
    Variant mTag;
    std::shared_ptr<ValueStore> mExtraData;  // null until first read or set
    std::unique_ptr<SendState> mSend;        // pending data; never null
};

}  // namespace tav
