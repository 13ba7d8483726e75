// TavFTPTransferMgr::Impl: explicit FTP over TLS: AUTH TLS, the handshakes of the control and
// data connections (carried out by FtpControl and FtpData), PBSZ and PROT after the login.
#include "transfer/FtpSession.hpp"

#include "core/SockErrors.hpp"
#include "platform/Timer.hpp"
#include "transfer/FtpStates.hpp"
#include "transfer/TlsChannel.hpp"
#include "transfer/TlsContext.hpp"

#include <algorithm>
#include <cstdio>

namespace tav {

namespace st = ftpstate;

// ---- Properties -------------------------------------------------------------------------------

void TavFTPTransferMgr::Impl::UseTLS(bool value) {
    if (mState != st::Disconnected) RaiseSockError(kErrInvalidState);
    mUseTLS = value;
}

void TavFTPTransferMgr::Impl::TLSCAFile(const std::string& path) {
    mCAFile = path;
    mTlsContext.reset();
}

void TavFTPTransferMgr::Impl::TLSCAFolder(const std::string& path) {
    mCAFolder = path;
    mTlsContext.reset();
}

void TavFTPTransferMgr::Impl::DangerouslyAcceptAnyCertificate(bool value) {
    mAcceptAnyCertificate = value;
    mTlsContext.reset();
}

void TavFTPTransferMgr::Impl::TLSHandshakeTimeout(int32_t ms) {
    mHandshakeTimeout = std::max(ms, 0);
}

// ---- Control connection -----------------------------------------------------------------------

bool TavFTPTransferMgr::Impl::InTlsSetup() const noexcept {
    return mState == st::TlsGreeting || mState == st::AuthSent || mState == st::ControlHandshake ||
           mState == st::PbszSent || mState == st::ProtSent;
}

void TavFTPTransferMgr::Impl::ArmTlsTimer() {
    if (!tmrTlsHandshake) return;
    mTlsStarted = std::chrono::steady_clock::now();
    if (mHandshakeTimeout <= 0) return;
    tmrTlsHandshake->Interval(std::max(1, mHandshakeTimeout / 4));
    tmrTlsHandshake->Enabled(true);
}

void TavFTPTransferMgr::Impl::tmrTlsHandshake_Tick() {
    const std::shared_ptr<TlsChannel>& dataTls = mData.Tls();
    const bool settingUp = mState == st::TlsGreeting || mState == st::AuthSent || mState == st::ControlHandshake ||
                           (dataTls && dataTls->State() == TlsChannel::Phase::Handshaking);
    if (!settingUp || mHandshakeTimeout <= 0) {
        tmrTlsHandshake->Enabled(false);
        return;
    }
    if (std::chrono::steady_clock::now() - mTlsStarted < std::chrono::milliseconds(mHandshakeTimeout)) return;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", mHandshakeTimeout / 1000.0);
    FailTls(std::string("the TLS handshake did not finish within ") + seconds + " s");
}

void TavFTPTransferMgr::Impl::StartControlTls() {
    if (!mTlsContext) {
        TlsContext::Settings settings;
        settings.caFile = mCAFile;
        settings.caFolder = mCAFolder;
        settings.verify = !mAcceptAnyCertificate;
        settings.upToTls12 = true;
        std::string error;
        mTlsContext = TlsContext::Create(settings, error);
        if (!mTlsContext) {
            FailTls(error);
            return;
        }
    }
    mState = st::ControlHandshake;
    ArmTlsTimer();
    const uint64_t generation = mGeneration;
    const std::string error = mControl.StartTls(mTlsContext, mSite);
    if (!error.empty() && generation == mGeneration) FailTls(error);
}

void TavFTPTransferMgr::Impl::ControlTlsDone() {
    Progress();
    mTlsVersion = mControl.Tls()->Version();
    mTlsCipher = mControl.Tls()->Cipher();
    // The login, now in the clear no more.
    const uint64_t generation = mGeneration;
    mState = st::UserSent;
    if (SendCommand("USER " + mUser) != 0 && generation == mGeneration) Fail(3);
}

int32_t TavFTPTransferMgr::Impl::ProtectAfterLogin(uint64_t generation) {
    if (!mUseTLS) {
        ReadyAfterLogin(generation);
        return 0;
    }
    mState = st::PbszSent;
    return SendCommand("PBSZ 0");
}

void TavFTPTransferMgr::Impl::FailTls(const std::string& reason) {
    mTlsError = reason;
    Fail(kObjectErrorTLS);
}

// ---- Data connection --------------------------------------------------------------------------

void TavFTPTransferMgr::Impl::StartDataTls() {
    if (!mUseTLS || !mData.Socket()) return;
    if (!mControl.Tls()) {
        // Data before the control connection was secured: it never goes in the clear.
        FailTls("a data connection was opened before the session was secured");
        return;
    }
    ArmTlsTimer();
    const uint64_t generation = mGeneration;
    const std::string error = mData.StartTls(*mControl.Tls(), mSite);
    if (!error.empty() && generation == mGeneration) FailTls(error);
}

void TavFTPTransferMgr::Impl::DataTlsReceived(const ByteArray& bytes) {
    const std::shared_ptr<TAVSocket> data = mData.Socket();
    const uint64_t generation = mGeneration;
    std::string error;
    const FtpData::TlsReceived got =
        mData.ReceiveTls(bytes, [this](const uint8_t* plain, size_t n) { DataBytes(plain, n); }, error);
    if (generation != mGeneration) return;
    switch (got) {
    case FtpData::TlsReceived::Failed:
        FailTls(error);
        return;
    case FtpData::TlsReceived::Closed:
        if (data == mData.Socket()) DataSocketClosed(data);
        return;
    case FtpData::TlsReceived::HandshakeDone:
        Progress();
        // An upload whose go-ahead came during the handshake starts now.
        if (data == mData.Socket() && mState == st::Storing) DataSocketWritable();
        return;
    case FtpData::TlsReceived::Plain:
        return;
    }
}

}  // namespace tav
