// TavFTPTransferMgr::Impl: explicit FTP over TLS: AUTH TLS, the handshakes of the control and
// data connections (carried out by FtpControl and FtpData), PBSZ and PROT after the login.
#include "transfer/FtpSession.hpp"

#include "base/SockErrors.hpp"
#include "transfer/FtpStates.hpp"
#include "transfer/TlsChannel.hpp"

namespace tav {

namespace st = ftpstate;

void TavFTPTransferMgr::Impl::UseTLS(bool value) {
    if (mState != st::Disconnected) RaiseSockError(kErrInvalidState);
    mUseTLS = value;
}

bool TavFTPTransferMgr::Impl::InTlsSetup() const noexcept {
    return mState == st::TlsGreeting || mState == st::AuthSent || mState == st::ControlHandshake ||
           mState == st::PbszSent || mState == st::ProtSent;
}

void TavFTPTransferMgr::Impl::StartControlTls() {
    SetState(st::ControlHandshake);
    std::unique_ptr<TlsChannel> channel = mTls.OpenChannel(mSite);
    if (!channel) {
        FailTls(mTls.Error());
        return;
    }
    const uint64_t generation = mGuard.Generation();
    const std::string error = mControl.StartTls(std::move(channel));
    if (!error.empty() && !mGuard.Moved(generation)) FailTls(error);
}

void TavFTPTransferMgr::Impl::ControlTlsDone() {
    // The greeting, AUTH TLS and the handshake were the set-up; the login is an operation.
    mWatchdog.EndSetup();
    Progress();
    mTls.Secured(*mControl.Tls());
    // The login, now in the clear no more.
    const uint64_t generation = mGuard.Generation();
    SetState(st::UserSent);
    if (SendCommand("USER " + mUser) != 0 && !mGuard.Moved(generation)) Fail(3);
}

int32_t TavFTPTransferMgr::Impl::ProtectAfterLogin(uint64_t generation) {
    if (!mUseTLS) {
        ReadyAfterLogin(generation);
        return 0;
    }
    SetState(st::PbszSent);
    return SendCommand("PBSZ 0");
}

void TavFTPTransferMgr::Impl::FailTls(const std::string& reason) {
    mTls.Failed(reason);
    Fail(kObjectErrorTLS);
}

void TavFTPTransferMgr::Impl::StartDataTls() {
    if (!mUseTLS || !mData.Socket()) return;
    if (!mControl.Tls()) {
        // Data before the control connection was secured: it never goes in the clear.
        FailTls("a data connection was opened before the session was secured");
        return;
    }
    // The control connection's session: the server ties the data connection to it.
    std::unique_ptr<TlsChannel> channel = mTls.OpenChannel(mSite, mControl.Tls().get());
    if (!channel) {
        FailTls(mTls.Error());
        return;
    }
    mWatchdog.BeginSetup(mTls.HandshakeTimeout());
    const uint64_t generation = mGuard.Generation();
    const std::string error = mData.StartTls(std::move(channel));
    if (!error.empty() && !mGuard.Moved(generation)) FailTls(error);
}

void TavFTPTransferMgr::Impl::DataTlsReceived(const ByteArray& bytes) {
    const std::shared_ptr<TAVSocket> data = mData.Socket();
    const uint64_t generation = mGuard.Generation();
    std::string error;
    const FtpData::TlsReceived got =
        mData.ReceiveTls(bytes, [this](const uint8_t* plain, size_t n) { DataBytes(plain, n); }, error);
    if (mGuard.Moved(generation)) return;
    Progress();  // data-connection bytes, handshake records included
    switch (got) {
    case FtpData::TlsReceived::Failed:
        FailTls(error);
        return;
    case FtpData::TlsReceived::Closed:
        if (data == mData.Socket()) DataSocketClosed(data);
        return;
    case FtpData::TlsReceived::HandshakeDone:
        mWatchdog.EndSetup();
        Progress();
        // An upload whose go-ahead came during the handshake starts now.
        if (data == mData.Socket() && mState == st::Storing) DataSocketWritable();
        return;
    case FtpData::TlsReceived::Plain:
        return;
    }
}

}  // namespace tav
