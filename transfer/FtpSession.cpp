// TavFTPTransferMgr::Impl: life cycle, the session methods, the control connection's events,
// the time-out and the notifications.
#include "transfer/FtpSession.hpp"

#include <tavsock/TAVSocketUtil.hpp>

#include "platform/DebugLog.hpp"
#include "core/SockAddrAccess.hpp"
#include "base/SockErrors.hpp"
#include "platform/SockIntf.hpp"
#include "transfer/LocalFile.hpp"
#include "transfer/FtpStates.hpp"

#include <algorithm>

namespace tav {

namespace st = ftpstate;

namespace {
constexpr int32_t kLogLevel = 2;
}  // namespace

// ---- Life cycle -------------------------------------------------------------------------------

TavFTPTransferMgr::Impl::Impl(TavFTPTransferMgr& owner)
    : mTls(true),  // vsftpd 3.0.3 (Debian 12) answers uploads over TLS 1.3 with 426
      mWatchdog([this](TransferWatchdog::Expiry expiry) { Expired(expiry); }),
      mOwner(owner),
      mTcp(TavTCPSocketMgr::Create()),
      mData(*mTcp) {
    mTcp->InternalEarlyBound(true);
}

void TavFTPTransferMgr::Impl::Start() {
    mSubscriptions = TcpEventSink::Subscribe(*mTcp, mOwner.WeakFromThisAs<TavFTPTransferMgr>(), *this);
    mControl.Observe([this](bool sent, const std::string& line) { NotifyControlLine(sent, line); });
    NewControlSocket();
}

TavFTPTransferMgr::Impl::~Impl() {
    EndSession(false);
    mSubscriptions.clear();
    mWatchdog.Stop();
    mRoute.Object(nullptr);
    mData.Close();
    try {
        mTcp->InternalEarlyBound(false);
    } catch (...) {
    }
}

void TavFTPTransferMgr::Impl::NewControlSocket() {
    std::shared_ptr<TAVSocket> control = mTcp->CreateClientSocket(TAVSockAddr::Create());
    control->DataMode(DataMode_Binary);
    mControl.Attach(std::move(control));
}

void TavFTPTransferMgr::Impl::EndSession(bool createControl) {
    // Whatever runs further up the stack for the old session sees this and stops.
    mGuard.Advance();
    if (mLookup != 0) {
        try {
            mTcp->CancelAsyncRequest(mLookup);
        } catch (...) {
        }
    }
    mLookup = 0;
    CloseLocalFile(false);
    mData.Close();
    if (const std::shared_ptr<TAVSocket> control = mControl.Socket()) {
        try {
            mTcp->DestroySocket(control);
        } catch (...) {
        }
    }
    mControl.Detach();
    mPendingCommand.clear();
    mReusedCommand.clear();
    mPendingState = st::Disconnected;
    mLossReported = false;
    SetState(st::Disconnected);
    if (createControl) NewControlSocket();  // may raise to the caller
}

void TavFTPTransferMgr::Impl::Fail(int32_t code) {
    const uint64_t generation = mGuard.Generation();
    NotifyObjectError(code);
    // A receiver that reset (or reset and reconnected) has already ended this session.
    if (!mGuard.Moved(generation)) EndSession(true);
}

// ---- Properties -------------------------------------------------------------------------------

bool TavFTPTransferMgr::Impl::SetStoredInState() const noexcept {
    return mState < st::Connected || mState == st::Ready;
}

void TavFTPTransferMgr::Impl::User(const std::string& value) {
    if (!SetStoredInState()) return;
    // A new login sends the password and account too: all of it goes, or nothing does.
    if (mState == st::Ready) FtpControl::CheckCommandText({value, mPassword, mAccount});
    mUser = value;
    if (mState == st::Ready) (void)SendLogin(st::UserSent, "USER " + mUser);
}

void TavFTPTransferMgr::Impl::Account(const std::string& value) {
    if (!SetStoredInState()) return;
    if (mState == st::Ready) FtpControl::CheckCommandText({value});
    mAccount = value;
    if (mState == st::Ready) (void)SendLogin(st::AcctSent, "ACCT " + mAccount);
}

int32_t TavFTPTransferMgr::Impl::SendLogin(int32_t nextState, const std::string& command) {
    const uint64_t generation = mGuard.Generation();
    SetState(nextState);  // before the send: its reply may be handled inside it
    const int32_t result = SendCommand(command);
    if (result != 0 && !mGuard.Moved(generation)) {
        // The reply will not come: back to Ready rather than waiting for it forever.
        if (mState == nextState) SetState(st::Ready);
        NotifyObjectError(3);
    }
    return result;
}

int16_t TavFTPTransferMgr::Impl::State() const noexcept {
    if (mState == st::Disconnected) return 0;
    return mState == st::Ready ? 1 : 2;
}

void TavFTPTransferMgr::Impl::PassiveMode(bool value) {
    if (mState != st::Disconnected) RaiseSockError(kErrInvalidState);
    mPassiveMode = value;
}

void TavFTPTransferMgr::Impl::Port(int32_t value) {
    if (value < 1 || value > 65535) RaiseSockError(kErrInvalidParameter);
    mPort = value;
}

void TavFTPTransferMgr::Impl::SetState(int32_t state) {
    mState = state;
    // Only a pending operation can time out; a quiet Ready (or closed) session waits forever.
    if (state == st::Disconnected || state == st::Ready)
        mWatchdog.Stop();
    else if (!mWatchdog.Running())
        mWatchdog.Start();
}

// ---- Session methods --------------------------------------------------------------------------

int32_t TavFTPTransferMgr::Impl::Connect(const std::string& Site) {
    // The login sends these; the site names the certificate's host (an IPv6 address without
    // the brackets it may be written in).
    FtpControl::CheckCommandText({Site, mUser, mPassword, mAccount});
    const bool bracketed = Site.size() > 2 && Site.front() == '[' && Site.back() == ']';
    mSite = bracketed ? Site.substr(1, Site.size() - 2) : Site;
    mTls.ClearResults();
    const int32_t address = mTcp->Sockets()->Util()->NetAddrFromDottedStr(Site);
    if (address != -1) {
        auto peer = TAVSockAddr::Create();
        SockAddrAccess::SetNetAddress(*peer, address);
        SetState(st::ConnectPending);
        return ConnectControl(peer);
    }
    // Anything else is looked up, an IPv6 address too: the look-up gives it back as it is,
    // and it then takes the same way as a name that has IPv6 addresses only.
    SetState(st::Resolving);
    Progress();
    mLookup = mTcp->WSAAsyncGetHostByName(Site);
    if (mLookup == 0) {
        SetState(st::Disconnected);
        return sockintf::intWSAGetLastError();
    }
    return 0;
}

int32_t TavFTPTransferMgr::Impl::ConnectControl(const std::shared_ptr<TAVSockAddr>& peer) {
    if (mState != st::ConnectPending) return -1;
    peer->Port(static_cast<int16_t>(mPort));
    const uint64_t generation = mGuard.Generation();
    const std::shared_ptr<TAVSocket> control = mControl.Socket();
    // Connecting before the call: on loopback the completion is usually handled inside it.
    SetState(st::Connecting);
    Progress();
    if (control->Connect(peer) == 0) {
        // Connected at once: no completion notification is owed for it.
        if (!mGuard.Moved(generation) && mState == st::Connecting) TCPMgr_ConnectComplete(control);
        return 0;
    }
    const int32_t error = control->LastError();
    if (error == sockintf::WSAEWOULDBLOCK || mGuard.Moved(generation)) return 0;
    // A socket whose connect failed is not connected again: the next Connect gets a fresh one.
    EndSession(true);
    return error;
}

int32_t TavFTPTransferMgr::Impl::SendCommand(const std::string& command) {
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, "Tag>" + mTcp->Tag().ToString() + "<TavFTPTransferMgr - SendCommand state>" +
                                     st::Name(mState) + "<cmd>" + FtpControl::Shown(command));
    // A command starts the wait for its reply.
    Progress();
    return mControl.Send(command);
}

int32_t TavFTPTransferMgr::Impl::chDir(const std::string& command, const std::string& argument) {
    if (mState != st::Ready) RaiseSockError(kErrInvalidState);
    FtpControl::CheckCommandText({argument});
    const uint64_t generation = mGuard.Generation();
    SetState(st::ChangingDir);
    const int32_t result = SendCommand(command + argument);
    if (result != 0 && !mGuard.Moved(generation) && mState == st::ChangingDir) SetState(st::Ready);
    return result;
}

int32_t TavFTPTransferMgr::Impl::Abort() {
    if (mState == st::Disconnected || mState == st::Ready) RaiseSockError(kErrInvalidState);
    return SendCommand("ABOR");
}

void TavFTPTransferMgr::Impl::SendTypeCommand(const std::string& command) {
    if (mPairReplies && mState == st::Ready) {
        // Its reply ends it, as for a directory change.
        (void)SendLogin(st::ChangingDir, command);
        return;
    }
    if (SendCommand(command) != 0) NotifyObjectError(3);
}

// ---- Events of the TCP manager -----------------------------------------------------------------

void TavFTPTransferMgr::Impl::TCPMgr_ConnectComplete(const std::shared_ptr<TAVSocket>& Skt) {
    if (!Skt || Skt != mControl.Socket()) {
        DataConnectComplete(Skt);
        return;
    }
    if (mState != st::Connecting) return;
    Progress();
    if (mUseTLS) {
        // AUTH TLS follows the greeting; nothing else goes out in the clear.
        SetState(st::TlsGreeting);
        mWatchdog.BeginSetup(mTls.HandshakeTimeout());
        return;
    }
    if (mPairReplies) {
        SetState(st::Connected);  // USER follows the greeting
        return;
    }
    // Connected is passed through: USER goes out at once, its result is not looked at.
    SetState(st::UserSent);
    (void)SendCommand("USER " + mUser);
}

void TavFTPTransferMgr::Impl::TCPMgr_DataReceived(const std::shared_ptr<TAVSocket>& Skt, Variant& Info) {
    if (!Skt) return;
    if (Skt == mControl.Socket()) {
        ControlReceived(Info);
        return;
    }
    DataReceivedOn(Skt, Info);
}

void TavFTPTransferMgr::Impl::TCPMgr_DataSent(const std::shared_ptr<TAVSocket>& Skt) {
    if (Skt && Skt == mData.Socket()) DataSocketWritable();
}

void TavFTPTransferMgr::Impl::TCPMgr_SocketClosed(const std::shared_ptr<TAVSocket>& Skt) {
    if (!Skt) return;
    if (Skt != mControl.Socket()) {
        DataSocketClosed(Skt);
        return;
    }
    if (mState == st::Disconnected) return;
    // The server's last words were delivered before this: a final 421 has already ended
    // the session (and replaced the socket), so this is a loss nobody reported yet.
    if (mLossReported) {
        EndSession(true);
        return;
    }
    Fail(4);
}

void TavFTPTransferMgr::Impl::TCPMgr_SocketError(const std::shared_ptr<TAVSocket>& Skt, int32_t /*ErrorCode*/) {
    if (!Skt) return;
    const bool control = Skt == mControl.Socket();
    if (control && mState == st::Connecting) {
        Fail(3);
        return;
    }
    if (mState == st::Storing && (control || Skt == mData.Socket())) {
        // The close that usually follows on the control connection must not report it again.
        if (control) mLossReported = true;
        NotifyObjectError(4);
    }
}

void TavFTPTransferMgr::Impl::TCPMgr_AsyncError(int32_t AsyncHandle, int32_t /*ErrorCode*/) {
    if (AsyncHandle == 0 || AsyncHandle != mLookup) return;
    mLookup = 0;
    SetState(st::Disconnected);
    NotifyObjectError(1);
}

void TavFTPTransferMgr::Impl::TCPMgr_HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) {
    if (AsyncHandle == 0 || AsyncHandle != mLookup || mState != st::Resolving) return;
    mLookup = 0;
    // The first IPv4 address, as ever; a host without one is reached at its first IPv6 one.
    auto peer = TAVSockAddr::Create();
    if (HostObject && HostObject->AddressCount() >= 1)
        SockAddrAccess::SetNetAddress(*peer, HostObject->Address(1));
    else if (HostObject && HostObject->IPAddressCount() >= 1)
        peer->IPAddress(HostObject->IPAddress(1));
    else
        peer.reset();
    if (peer) {
        SetState(st::ConnectPending);
        if (ConnectControl(peer) != 0) NotifyObjectError(2);
        return;
    }
    SetState(st::Disconnected);
    NotifyObjectError(1);
}

// ---- Time-out ----------------------------------------------------------------------------------

void TavFTPTransferMgr::Impl::Progress() noexcept {
    mWatchdog.Progress();
}

void TavFTPTransferMgr::Impl::Expired(TransferWatchdog::Expiry expiry) {
    const auto self = mOwner.SharedFromThisAs<TavFTPTransferMgr>();  // the receiver may let go
    if (expiry == TransferWatchdog::Expiry::Setup) {
        FailTls(mWatchdog.SetupExpiredText());
        return;
    }
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, "Tag>" + mTcp->Tag().ToString() + "<TavFTPTransferMgr - Timeout state>" + st::Name(mState));
    Fail(5);
}

// ---- Notifications ------------------------------------------------------------------------------

void TavFTPTransferMgr::Impl::NotifyObjectError(int32_t code) {
    mRoute(mOwner.SharedFromThisAs<TavFTPTransferMgr>(), &ITavFTPNotify::FTPObjectError, mOwner.FTPObjectError, code);
}

void TavFTPTransferMgr::Impl::NotifyError(const std::string& ErrCode, const std::string& errdesc) {
    mRoute(mOwner.SharedFromThisAs<TavFTPTransferMgr>(), &ITavFTPNotify::FTPError, mOwner.FTPError, ErrCode, errdesc);
}

void TavFTPTransferMgr::Impl::NotifyReady() {
    mRoute(mOwner.SharedFromThisAs<TavFTPTransferMgr>(), &ITavFTPNotify::FTPReady, mOwner.FTPReady, 0);
}

void TavFTPTransferMgr::Impl::NotifyDataReceived() {
    mRoute(mOwner.SharedFromThisAs<TavFTPTransferMgr>(), &ITavFTPNotify::FTPDataReceived, mOwner.FTPDataReceived,
           mData.Buffer());
}

void TavFTPTransferMgr::Impl::NotifyControlLine(bool Sent, const std::string& Line) {
    mRoute(mOwner.SharedFromThisAs<TavFTPTransferMgr>(), &ITavFTPNotify::FTPControlLine, mOwner.FTPControlLine, Sent, Line);
}

void TavFTPTransferMgr::Impl::NotifyDataTransferred(int32_t ByteCount) {
    mRoute(mOwner.SharedFromThisAs<TavFTPTransferMgr>(), &ITavFTPNotify::FTPDataTransferred, mOwner.FTPDataTransferred,
           ByteCount);
}

}  // namespace tav
