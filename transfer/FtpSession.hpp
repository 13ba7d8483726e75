// TavFTPTransferMgr's private implementation: the session state, the reply state machine, and
// the parts it drives (FtpControl for the control connection, FtpData for the data
// connection). Library-internal; the public class forwards to it.
#pragma once

#include <tavsock/TavFTPTransferMgr.hpp>

#include "transfer/FtpControl.hpp"
#include "transfer/FtpData.hpp"
#include "transfer/NotifyRoute.hpp"
#include "transfer/ReentryGuard.hpp"
#include "transfer/TcpEventSink.hpp"
#include "transfer/TlsSettings.hpp"
#include "transfer/TransferWatchdog.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tav {

class LocalFile;

/// Owned by its manager and never outliving it. Owner thread only.
class TavFTPTransferMgr::Impl final : public TcpEventSink {
public:
    using ReplyLine = FtpControl::ReplyLine;
    using ReplyLines = FtpControl::ReplyLines;

    explicit Impl(TavFTPTransferMgr& owner);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    /// Subscribes to the TCP manager and the timers and makes the control socket; the owner
    /// is held by a shared_ptr by then.
    void Start();

    // ---- For the library's own tests -------------------------------------------------------
    /// The state number (transfer/FtpStates.hpp).
    int32_t ClientState() const noexcept { return mState; }
    /// The control socket (replaced by every Reset), or null.
    const std::shared_ptr<TAVSocket>& ControlSocket() const noexcept { return mControl.Socket(); }
    /// The data socket, or null.
    const std::shared_ptr<TAVSocket>& DataSocket() const noexcept { return mData.Socket(); }
    /// Text received on the control connection and not yet cut into lines.
    const std::string& ReplyBuffer() const noexcept { return mControl.Pending(); }
    /// The cap of a listing or in-memory retrieve (1 GiB); tests lower it.
    void MaxDataBuffer(size_t bytes) noexcept { mData.MaxBuffer(bytes); }

    // ---- Public members (the owner forwards) --------------------------------------------------
    void User(const std::string& value);
    void Account(const std::string& value);
    int16_t State() const noexcept;
    void PassiveMode(bool value);
    void Port(int32_t value);
    void UseTLS(bool value);
    int32_t StartListing(const std::string& verb, const std::string& Directory);
    int32_t StartFileTransfer(bool store, const std::string& SourceFile, const std::string& HostFileName);
    int32_t chDir(const std::string& command, const std::string& argument);
    int32_t Abort();
    void SendTypeCommand(const std::string& command);
    int32_t Connect(const std::string& Site);
    void EndSession(bool createControl);

    // Handlers of the TCP manager's events.
    void TCPMgr_ConnectComplete(const std::shared_ptr<TAVSocket>& Skt) override;
    void TCPMgr_DataReceived(const std::shared_ptr<TAVSocket>& Skt, Variant& Info) override;
    void TCPMgr_DataSent(const std::shared_ptr<TAVSocket>& Skt) override;
    void TCPMgr_SocketClosed(const std::shared_ptr<TAVSocket>& Skt) override;
    void TCPMgr_SocketError(const std::shared_ptr<TAVSocket>& Skt, int32_t ErrorCode) override;
    void TCPMgr_AsyncError(int32_t AsyncHandle, int32_t ErrorCode) override;
    void TCPMgr_HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) override;
    void TCPMgr_AcceptComplete(const std::shared_ptr<TAVSocket>& SourceSocket, const std::shared_ptr<TAVSocket>& NewSocket,
                               const std::shared_ptr<TAVSockAddr>& NewSocketName) override;

    // Property values and parts the owner reads and writes directly.
    NotifyRoute<TavFTPTransferMgr, ITavFTPNotify> mRoute;  // CallbackObject, and every notification
    TlsSettings mTls;                                      // the TLS properties and results
    TransferWatchdog mWatchdog;                            // Timeout, and the TLS set-up limit
    std::string mUser = "Anonymous";
    std::string mPassword;
    std::string mAccount;
    bool mPassiveMode = true;
    int32_t mPort = 21;
    bool mPairReplies = false;
    bool mPassiveAddressFromReply = true;
    bool mCheckDataPeer = false;
    bool mStrictPassiveReply = false;
    bool mReplaceWhenComplete = false;
    int64_t mRestartAt = 0;                       // RestartAt: REST before RETR when > 0
    bool mRestPending = false;                    // the pending RETR waits for REST's 350
    bool mUseTLS = false;
    std::string mLocalFileError;
    int64_t mByteCount = 0;
    int64_t mAnnouncedSize = -1;

private:
    // Session (FtpSession.cpp).
    void NewControlSocket();
    int32_t ConnectControl(const std::shared_ptr<TAVSockAddr>& peer);  // the port is set here
    int32_t SendCommand(const std::string& command);
    int32_t SendLogin(int32_t nextState, const std::string& command);
    bool SetStoredInState() const noexcept;
    void Fail(int32_t code);  // FTPObjectError code, then Reset
    void SetState(int32_t state);  // starts the watchdog when an operation begins, stops it at its end
    void Progress() noexcept;
    void Expired(TransferWatchdog::Expiry expiry);

    // Encryption (FtpTls.cpp).
    static constexpr int32_t kObjectErrorTLS = 7;
    bool InTlsSetup() const noexcept;
    void StartControlTls();
    void ControlTlsDone();
    void StartDataTls();
    void DataTlsReceived(const ByteArray& bytes);
    void FailTls(const std::string& reason);
    int32_t ProtectAfterLogin(uint64_t generation);

    // Replies (FtpReplies.cpp).
    void ControlReceived(const Variant& Info);
    void SplitReplies();
    void HandleReplies(const ReplyLines& lines);
    int32_t StateStep(const ReplyLines& lines, uint64_t generation);
    int32_t LoginStep(const ReplyLines& lines, uint64_t generation);
    int32_t TransferStep(const ReplyLines& lines, uint64_t generation);
    static size_t FindReply(const ReplyLines& lines, const char* prefix);
    void NoteAnnouncedSize(const ReplyLines& lines);
    void ReadyAfterLogin(uint64_t generation);
    void EndOperation(bool deleteFile);
    void Report(const ReplyLine& line);

    // Data connection and transfers (FtpTransfers.cpp, FtpDataEvents.cpp).
    bool ExtendedDataCommands() const;  // EPSV and EPRT: the control connection is IPv6
    int32_t SetUpDataConnection(const std::string& replyText);
    int32_t SendPendingCommand();
    void DrainDataSocket();
    void DataReceivedOn(const std::shared_ptr<TAVSocket>& Skt, const Variant& Info);
    void DataBytes(const uint8_t* data, size_t n);
    void DataConnectComplete(const std::shared_ptr<TAVSocket>& Skt);
    void DataSocketWritable();
    void DataSocketClosed(const std::shared_ptr<TAVSocket>& Skt);
    void FinishRetrieve();
    int32_t SendNextBlocks();
    // Ends the local file's part: kept as written (Close) or, when the transfer failed,
    // removed when this transfer created it (Discard).
    void CloseLocalFile(bool discard) noexcept;
    int32_t StartPending(bool namedFile);
    int32_t ConnectPassive(const std::string& replyText);
    int32_t SendPort();

    // Notifications: to the callback object when set, else the event; receiver errors absorbed.
    void NotifyObjectError(int32_t code);
    void NotifyError(const std::string& ErrCode, const std::string& errdesc);
    void NotifyReady();
    void NotifyDataReceived();
    void NotifyDataTransferred(int32_t ByteCount);
    void NotifyControlLine(bool Sent, const std::string& Line);

    TavFTPTransferMgr& mOwner;
    std::shared_ptr<TavTCPSocketMgr> mTcp;
    std::vector<EventSubscription> mSubscriptions;  // to mTcp's events
    FtpControl mControl;
    FtpData mData;

    int32_t mState = 0;                           // ClientState (FtpStates.hpp)
    int32_t mLookup = 0;                          // pending look-up handle, 0 = none
    ReentryGuard mGuard;                          // reply handling running; moved by every Reset
    bool mLossReported = false;                   // FTPObjectError 4 already given for this loss
    std::string mPendingCommand;
    std::string mReusedCommand;  // a download sent over a kept data connection, until its first reply
    int32_t mPendingState = 0;
    std::unique_ptr<LocalFile> mFile;             // open local file, or null
    int64_t mBytesRemaining = 0;
    std::string mSite;                            // the name given to Connect: the certificate's
};

}  // namespace tav
