// TavFTPTransferMgr: life cycle, properties, the session methods, the control connection's
// events, the time-out and the notifications.
#include <tavsock/TavFTPTransferMgr.hpp>

#include <tavsock/TAVSocketUtil.hpp>

#include "platform/DebugLog.hpp"
#include "core/SockAddrAccess.hpp"
#include "base/SockErrors.hpp"
#include "platform/RaiseEvent.hpp"
#include "platform/SockIntf.hpp"
#include "platform/Timer.hpp"
#include "transfer/FtpLocalFile.hpp"
#include "transfer/FtpStates.hpp"
#include "transfer/ReceiveBatching.hpp"
#include "transfer/TlsChannel.hpp"
#include "transfer/TlsContext.hpp"

#include <algorithm>

namespace tav {

namespace st = ftpstate;

namespace {
constexpr int32_t kLogLevel = 2;
// The time-out is checked this many times per period.
constexpr int kChecksPerTimeout = 4;
}  // namespace

const char* ftpstate::Name(int32_t state) noexcept {
    switch (state) {
    case Disconnected: return "Disconnected";
    case Resolving: return "Resolving";
    case ConnectPending: return "ConnectPending";
    case Connecting: return "Connecting";
    case Connected: return "Connected";
    case UserSent: return "UserSent";
    case PassSent: return "PassSent";
    case AcctSent: return "AcctSent";
    case Ready: return "Ready";
    case PasvSent: return "PasvSent";
    case PortSent: return "PortSent";
    case DataConnecting: return "DataConnecting";
    case Listing: return "Listing";
    case ChangingDir: return "ChangingDir";
    case RetrSent: return "RetrSent";
    case Retrieving: return "Retrieving";
    case Storing: return "Storing";
    case StoreDone: return "StoreDone";
    case StorSent: return "StorSent";
    case TlsGreeting: return "TlsGreeting";
    case AuthSent: return "AuthSent";
    case ControlHandshake: return "ControlHandshake";
    case PbszSent: return "PbszSent";
    case ProtSent: return "ProtSent";
    default: return "?";
    }
}

// ---- Life cycle -------------------------------------------------------------------------------

std::shared_ptr<TavFTPTransferMgr> TavFTPTransferMgr::Create() {
    std::shared_ptr<TavFTPTransferMgr> mgr(new TavFTPTransferMgr());
    mgr->Initialize();
    return mgr;
}

TavFTPTransferMgr::TavFTPTransferMgr() = default;

void TavFTPTransferMgr::Initialize() {
    mTcp = TavTCPSocketMgr::Create();
    mTcp->InternalEarlyBound(true);
    tmrTimeout = std::make_unique<platform::Timer>();
    mBatching = std::make_unique<ReceiveBatching>();
    tmrTlsHandshake = std::make_unique<platform::Timer>();
    Subscribe();
    NewControlSocket();
}

void TavFTPTransferMgr::Subscribe() {
    // Every handler holds the manager for its call and refers to it weakly otherwise: the TCP
    // manager is our part and must not keep us alive.
    const std::weak_ptr<TavFTPTransferMgr> weak = WeakFromThisAs<TavFTPTransferMgr>();
    auto guarded = [weak](auto member) {
        return [weak, member](auto&&... args) {
            if (const std::shared_ptr<TavFTPTransferMgr> self = weak.lock()) {
                try {
                    ((*self).*member)(args...);
                } catch (...) {
                    // Nothing goes back into the TCP manager's delivery.
                }
            }
        };
    };
    mSubscriptions.push_back(mTcp->ConnectComplete.Subscribe(guarded(&TavFTPTransferMgr::TCPMgr_ConnectComplete)));
    mSubscriptions.push_back(mTcp->DataReceived.Subscribe(guarded(&TavFTPTransferMgr::TCPMgr_DataReceived)));
    mSubscriptions.push_back(mTcp->DataSent.Subscribe(guarded(&TavFTPTransferMgr::TCPMgr_DataSent)));
    mSubscriptions.push_back(mTcp->SocketClosed.Subscribe(guarded(&TavFTPTransferMgr::TCPMgr_SocketClosed)));
    mSubscriptions.push_back(mTcp->SocketError.Subscribe(guarded(&TavFTPTransferMgr::TCPMgr_SocketError)));
    mSubscriptions.push_back(mTcp->AsyncError.Subscribe(guarded(&TavFTPTransferMgr::TCPMgr_AsyncError)));
    mSubscriptions.push_back(mTcp->HostResolved.Subscribe(guarded(&TavFTPTransferMgr::TCPMgr_HostResolved)));
    mSubscriptions.push_back(mTcp->AcceptComplete.Subscribe(guarded(&TavFTPTransferMgr::TCPMgr_AcceptComplete)));
    mSubscriptions.push_back(tmrTimeout->Tick.Subscribe(guarded(&TavFTPTransferMgr::tmrTimeout_Tick)));
    mSubscriptions.push_back(tmrTlsHandshake->Tick.Subscribe(guarded(&TavFTPTransferMgr::tmrTlsHandshake_Tick)));
}

TavFTPTransferMgr::~TavFTPTransferMgr() {
    EndSession(false);
    for (EventConnection& c : mSubscriptions) c.Disconnect();
    mSubscriptions.clear();
    tmrTimeout.reset();
    mBatching.reset();
    tmrTlsHandshake.reset();
    mCallbackObject.reset();
    if (mTcp) {
        try {
            mTcp->InternalEarlyBound(false);
        } catch (...) {
        }
        mTcp.reset();
    }
}

void TavFTPTransferMgr::NewControlSocket() {
    mControl = mTcp->CreateClientSocket(TAVSockAddr::Create());
    mControl->DataMode(DataMode_Binary);
}

void TavFTPTransferMgr::EndSession(bool createControl) noexcept {
    // Whatever runs further up the stack for the old session sees this and stops.
    ++mGeneration;
    if (mLookup != 0 && mTcp) {
        try {
            mTcp->CancelAsyncRequest(mLookup);
        } catch (...) {
        }
    }
    mLookup = 0;
    CloseLocalFile(false);
    CloseDataSocket();
    if (mControl && mTcp) {
        try {
            mTcp->DestroySocket(mControl);
        } catch (...) {
        }
    }
    mControl.reset();
    mControlTls.reset();
    if (tmrTlsHandshake) tmrTlsHandshake->Enabled(false);
    mReplyBuffer.clear();
    mScanFrom = 0;
    mPendingCommand.clear();
    PendingState = st::Disconnected;
    mLossReported = false;
    ClientState = st::Disconnected;
    if (createControl && mTcp) NewControlSocket();  // may raise to the caller
}

void TavFTPTransferMgr::Reset() {
    EndSession(true);
}

int32_t TavFTPTransferMgr::Disconnect() {
    EndSession(true);
    return 0;
}

void TavFTPTransferMgr::Fail(int32_t code) {
    const uint64_t generation = mGeneration;
    NotifyObjectError(code);
    // A receiver that reset (or reset and reconnected) has already ended this session.
    if (generation == mGeneration) Reset();
}

// ---- Properties -------------------------------------------------------------------------------

bool TavFTPTransferMgr::SetStoredInState() const noexcept {
    return ClientState < st::Connected || ClientState == st::Ready;
}

void TavFTPTransferMgr::User(const std::string& value) {
    if (!SetStoredInState()) return;
    mUser = value;
    if (ClientState == st::Ready) (void)SendLogin(st::UserSent, "USER " + mUser);
}

void TavFTPTransferMgr::Account(const std::string& value) {
    if (!SetStoredInState()) return;
    mAccount = value;
    if (ClientState == st::Ready) (void)SendLogin(st::AcctSent, "ACCT " + mAccount);
}

int32_t TavFTPTransferMgr::SendLogin(int32_t nextState, const std::string& command) {
    const uint64_t generation = mGeneration;
    ClientState = nextState;  // before the send: its reply may be handled inside it
    const int32_t result = SendCommand(command);
    if (result != 0 && generation == mGeneration) {
        // The reply will not come: back to Ready rather than waiting for it forever.
        if (ClientState == nextState) ClientState = st::Ready;
        NotifyObjectError(3);
    }
    return result;
}

int16_t TavFTPTransferMgr::State() const noexcept {
    if (ClientState == st::Disconnected) return 0;
    return ClientState == st::Ready ? 1 : 2;
}

void TavFTPTransferMgr::PassiveMode(bool value) {
    if (ClientState != st::Disconnected) RaiseSockError(kErrInvalidState);
    mPassiveMode = value;
}

void TavFTPTransferMgr::Port(int32_t value) {
    if (value < 1 || value > 65535) RaiseSockError(kErrInvalidParameter);
    mPort = value;
}

void TavFTPTransferMgr::Timeout(int32_t ms) {
    mTimeout = std::max(ms, 0);
    ArmTimeout();
}

// ---- Session methods --------------------------------------------------------------------------

int32_t TavFTPTransferMgr::Connect(const std::string& Site) {
    mSite = Site;
    mTlsError.clear();
    mTlsVersion.clear();
    mTlsCipher.clear();
    const int32_t address = mTcp->Sockets()->Util()->NetAddrFromDottedStr(Site);
    if (address != -1) {
        ClientState = st::ConnectPending;
        return ConnectControl(address);
    }
    ClientState = st::Resolving;
    Progress();
    mLookup = mTcp->WSAAsyncGetHostByName(Site);
    if (mLookup == 0) {
        ClientState = st::Disconnected;
        return sockintf::intWSAGetLastError();
    }
    return 0;
}

int32_t TavFTPTransferMgr::ConnectControl(int32_t address) {
    if (ClientState != st::ConnectPending) return -1;
    auto peer = TAVSockAddr::Create();
    SockAddrAccess::SetNetAddress(*peer, address);
    peer->Port(static_cast<int16_t>(mPort));
    const uint64_t generation = mGeneration;
    const std::shared_ptr<TAVSocket> control = mControl;
    // Connecting before the call: on loopback the completion is usually handled inside it.
    ClientState = st::Connecting;
    Progress();
    if (control->Connect(peer) == 0) {
        // Connected at once: no completion notification is owed for it.
        if (generation == mGeneration && ClientState == st::Connecting) TCPMgr_ConnectComplete(control);
        return 0;
    }
    const int32_t error = control->LastError();
    if (error == sockintf::WSAEWOULDBLOCK || generation != mGeneration) return 0;
    // A socket whose connect failed is not connected again: the next Connect gets a fresh one.
    EndSession(true);
    return error;
}

int32_t TavFTPTransferMgr::SendCommand(const std::string& command) {
    if (command.empty() || !mControl) return -1;
    const std::shared_ptr<TAVSocket> control = mControl;
    std::string text = command + "\r\n";
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, "Tag>" + mTcp->Tag().ToString() + "<TavFTPTransferMgr - SendCommand state>" +
                                     st::Name(ClientState) + "<cmd>" + (command.rfind("PASS ", 0) == 0 ? "PASS ****" : command));
    Progress();
    ByteArray bytes(text.begin(), text.end());
    if (const std::shared_ptr<TlsChannel> tls = mControlTls) {
        if (!tls->Send(bytes.data(), bytes.size())) return -1;
        bytes = tls->TakeOutgoing();
    }
    try {
        control->Send(Variant(std::move(bytes)));
    } catch (const SockError& e) {
        // The rest stays pending and goes out on the next write notification.
        if (e.Number() == sockintf::WSAEWOULDBLOCK) return 0;
        return e.Number() != 0 ? e.Number() : -1;
    } catch (...) {
        return -1;
    }
    if (control->BytesSent() == 0 && control->LastError() != sockintf::WSAEWOULDBLOCK) return -1;
    return 0;
}

int32_t TavFTPTransferMgr::chDir(const std::string& Directory) {
    if (ClientState != st::Ready) RaiseSockError(kErrInvalidState);
    const uint64_t generation = mGeneration;
    ClientState = st::ChangingDir;
    const int32_t result = SendCommand("CWD " + Directory);
    if (result != 0 && generation == mGeneration && ClientState == st::ChangingDir) ClientState = st::Ready;
    return result;
}

int32_t TavFTPTransferMgr::chDirParent() {
    if (ClientState != st::Ready) RaiseSockError(kErrInvalidState);
    const uint64_t generation = mGeneration;
    ClientState = st::ChangingDir;
    const int32_t result = SendCommand("CDUP");
    if (result != 0 && generation == mGeneration && ClientState == st::ChangingDir) ClientState = st::Ready;
    return result;
}

int32_t TavFTPTransferMgr::Abort() {
    if (ClientState == st::Disconnected || ClientState == st::Ready) RaiseSockError(kErrInvalidState);
    return SendCommand("ABOR");
}

void TavFTPTransferMgr::Ascii() {
    SendTypeCommand("type a");
}

void TavFTPTransferMgr::Binary() {
    SendTypeCommand("type i");
}

void TavFTPTransferMgr::SendTypeCommand(const std::string& command) {
    if (mPairReplies && ClientState == st::Ready) {
        // Its reply ends it, as for a directory change.
        (void)SendLogin(st::ChangingDir, command);
        return;
    }
    if (SendCommand(command) != 0) NotifyObjectError(3);
}

// ---- Events of the TCP manager -----------------------------------------------------------------

void TavFTPTransferMgr::TCPMgr_ConnectComplete(const std::shared_ptr<TAVSocket>& Skt) {
    if (Skt && Skt == mControl) {
        if (ClientState != st::Connecting) return;
        Progress();
        if (mUseTLS) {
            // AUTH TLS follows the greeting; nothing else goes out in the clear.
            ClientState = st::TlsGreeting;
            ArmTlsTimer();
            return;
        }
        if (mPairReplies) {
            ClientState = st::Connected;  // USER follows the greeting
            return;
        }
        // Connected is passed through: USER goes out at once, its result is not looked at.
        ClientState = st::UserSent;
        (void)SendCommand("USER " + mUser);
        return;
    }
    DataConnectComplete(Skt);
}

void TavFTPTransferMgr::TCPMgr_DataReceived(const std::shared_ptr<TAVSocket>& Skt, Variant& Info) {
    if (!Skt) return;
    if (Skt == mControl) {
        ControlReceived(Info);
        return;
    }
    DataReceivedOn(Skt, Info);
}

void TavFTPTransferMgr::TCPMgr_DataSent(const std::shared_ptr<TAVSocket>& Skt) {
    if (Skt && Skt == mData) DataSocketWritable();
}

void TavFTPTransferMgr::TCPMgr_SocketClosed(const std::shared_ptr<TAVSocket>& Skt) {
    if (!Skt) return;
    if (Skt == mControl) {
        if (ClientState == st::Disconnected) return;
        // The server's last words were delivered before this: a final 421 has already ended
        // the session (and replaced the socket), so this is a loss nobody reported yet.
        if (mLossReported) {
            Reset();
            return;
        }
        Fail(4);
        return;
    }
    DataSocketClosed(Skt);
}

void TavFTPTransferMgr::TCPMgr_SocketError(const std::shared_ptr<TAVSocket>& Skt, int32_t /*ErrorCode*/) {
    if (!Skt) return;
    const bool control = Skt == mControl;
    if (control && ClientState == st::Connecting) {
        Fail(3);
        return;
    }
    if (ClientState == st::Storing && (control || Skt == mData)) {
        // The close that usually follows on the control connection must not report it again.
        if (control) mLossReported = true;
        NotifyObjectError(4);
    }
}

void TavFTPTransferMgr::TCPMgr_AsyncError(int32_t AsyncHandle, int32_t /*ErrorCode*/) {
    if (AsyncHandle == 0 || AsyncHandle != mLookup) return;
    mLookup = 0;
    ClientState = st::Disconnected;
    NotifyObjectError(1);
}

void TavFTPTransferMgr::TCPMgr_HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) {
    if (AsyncHandle == 0 || AsyncHandle != mLookup || ClientState != st::Resolving) return;
    mLookup = 0;
    if (HostObject && HostObject->AddressCount() >= 1) {
        ClientState = st::ConnectPending;
        if (ConnectControl(HostObject->Address(1)) != 0) NotifyObjectError(2);
        return;
    }
    ClientState = st::Disconnected;
    NotifyObjectError(1);
}

// ---- Time-out ----------------------------------------------------------------------------------

void TavFTPTransferMgr::Progress() noexcept {
    ++mProgress;
}

void TavFTPTransferMgr::ArmTimeout() {
    if (!tmrTimeout) return;
    mQuietChecks = 0;
    mProgressSeen = mProgress;
    if (mTimeout <= 0) {
        tmrTimeout->Enabled(false);
        return;
    }
    tmrTimeout->Interval(std::max(1, mTimeout / kChecksPerTimeout));
    tmrTimeout->Enabled(true);
}

void TavFTPTransferMgr::tmrTimeout_Tick() {
    // Only a pending operation can time out; a quiet Ready (or closed) session waits forever.
    if (ClientState == st::Disconnected || ClientState == st::Ready || mProgress != mProgressSeen) {
        mProgressSeen = mProgress;
        mQuietChecks = 0;
        return;
    }
    if (++mQuietChecks < kChecksPerTimeout) return;
    mQuietChecks = 0;
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, "Tag>" + mTcp->Tag().ToString() + "<TavFTPTransferMgr - Timeout state>" + st::Name(ClientState));
    Fail(5);
}

// ---- Notifications ------------------------------------------------------------------------------

void TavFTPTransferMgr::NotifyObjectError(int32_t code) {
    const auto self = SharedFromThisAs<TavFTPTransferMgr>();
    try {
        if (const std::shared_ptr<ITavFTPNotify> receiver = mCallbackObject)
            receiver->FTPObjectError(self, code);
        else
            RaiseEvent(FTPObjectError, code);
    } catch (...) {
    }
}

void TavFTPTransferMgr::NotifyError(const std::string& ErrCode, const std::string& errdesc) {
    const auto self = SharedFromThisAs<TavFTPTransferMgr>();
    try {
        if (const std::shared_ptr<ITavFTPNotify> receiver = mCallbackObject)
            receiver->FTPError(self, ErrCode, errdesc);
        else
            RaiseEvent(FTPError, ErrCode, errdesc);
    } catch (...) {
    }
}

void TavFTPTransferMgr::NotifyReady() {
    const auto self = SharedFromThisAs<TavFTPTransferMgr>();
    try {
        if (const std::shared_ptr<ITavFTPNotify> receiver = mCallbackObject)
            receiver->FTPReady(self, 0);
        else
            RaiseEvent(FTPReady, 0);
    } catch (...) {
    }
}

void TavFTPTransferMgr::NotifyDataReceived() {
    const auto self = SharedFromThisAs<TavFTPTransferMgr>();
    try {
        if (const std::shared_ptr<ITavFTPNotify> receiver = mCallbackObject)
            receiver->FTPDataReceived(self, mDataBuffer);
        else
            RaiseEvent(FTPDataReceived, mDataBuffer);
    } catch (...) {
    }
}

void TavFTPTransferMgr::NotifyDataTransferred(int32_t ByteCount) {
    const auto self = SharedFromThisAs<TavFTPTransferMgr>();
    try {
        if (const std::shared_ptr<ITavFTPNotify> receiver = mCallbackObject)
            receiver->FTPDataTransferred(self, ByteCount);
        else
            RaiseEvent(FTPDataTransferred, ByteCount);
    } catch (...) {
    }
}

}  // namespace tav
