// TavFTPTransferMgr: explicit FTP over TLS: AUTH TLS on the control connection, the
// handshakes of the control and data connections, PBSZ and PROT after the login, and the
// bytes of both connections through their TLS channels.
#include <tavsock/TavFTPTransferMgr.hpp>

#include "base/SockErrors.hpp"
#include "platform/Timer.hpp"
#include "transfer/FtpStates.hpp"
#include "transfer/TlsChannel.hpp"
#include "transfer/TlsContext.hpp"

#include <algorithm>
#include <cstdio>

namespace tav {

namespace st = ftpstate;

// ---- Properties -------------------------------------------------------------------------------

void TavFTPTransferMgr::UseTLS(bool value) {
    if (ClientState != st::Disconnected) RaiseSockError(kErrInvalidState);
    mUseTLS = value;
}

void TavFTPTransferMgr::TLSCAFile(const std::string& path) {
    mCAFile = path;
    mTlsContext.reset();
}

void TavFTPTransferMgr::TLSCAFolder(const std::string& path) {
    mCAFolder = path;
    mTlsContext.reset();
}

void TavFTPTransferMgr::DangerouslyAcceptAnyCertificate(bool value) {
    mAcceptAnyCertificate = value;
    mTlsContext.reset();
}

void TavFTPTransferMgr::TLSHandshakeTimeout(int32_t ms) {
    mHandshakeTimeout = std::max(ms, 0);
}

// ---- Control connection -----------------------------------------------------------------------

bool TavFTPTransferMgr::InTlsSetup() const noexcept {
    return ClientState == st::TlsGreeting || ClientState == st::AuthSent || ClientState == st::ControlHandshake ||
           ClientState == st::PbszSent || ClientState == st::ProtSent;
}

void TavFTPTransferMgr::ArmTlsTimer() {
    if (!tmrTlsHandshake) return;
    mTlsStarted = std::chrono::steady_clock::now();
    if (mHandshakeTimeout <= 0) return;
    tmrTlsHandshake->Interval(std::max(1, mHandshakeTimeout / 4));
    tmrTlsHandshake->Enabled(true);
}

void TavFTPTransferMgr::tmrTlsHandshake_Tick() {
    const bool settingUp = ClientState == st::TlsGreeting || ClientState == st::AuthSent ||
                           ClientState == st::ControlHandshake ||
                           (mDataTls && mDataTls->State() == TlsChannel::Phase::Handshaking);
    if (!settingUp || mHandshakeTimeout <= 0) {
        tmrTlsHandshake->Enabled(false);
        return;
    }
    if (std::chrono::steady_clock::now() - mTlsStarted < std::chrono::milliseconds(mHandshakeTimeout)) return;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", mHandshakeTimeout / 1000.0);
    FailTls(std::string("the TLS handshake did not finish within ") + seconds + " s");
}

void TavFTPTransferMgr::StartControlTls() {
    // Plain text after the 234 reply cannot be the server's (it speaks TLS from here on):
    // taking it for replies would let a third party inject them.
    mReplyBuffer.clear();
    mScanFrom = 0;
    std::string error;
    if (!mTlsContext) {
        TlsContext::Settings settings;
        settings.caFile = mCAFile;
        settings.caFolder = mCAFolder;
        settings.verify = !mAcceptAnyCertificate;
        settings.upToTls12 = true;
        mTlsContext = TlsContext::Create(settings, error);
        if (!mTlsContext) {
            FailTls(error);
            return;
        }
    }
    std::shared_ptr<TlsChannel> tls = TlsChannel::Create(mTlsContext, mSite, nullptr, error);
    if (!tls) {
        FailTls(error);
        return;
    }
    mControlTls = tls;
    ClientState = st::ControlHandshake;
    ArmTlsTimer();
    tls->Start();
    if (tls->State() == TlsChannel::Phase::Failed) {
        FailTls(tls->Error());
        return;
    }
    const uint64_t generation = mGeneration;
    if (!SendControlBytes(tls->TakeOutgoing()) && generation == mGeneration) Fail(3);
}

bool TavFTPTransferMgr::SendControlBytes(ByteArray bytes) {
    if (bytes.empty()) return true;
    const std::shared_ptr<TAVSocket> control = mControl;
    if (!control) return false;
    return SendOnData(*control, std::move(bytes)) != SendOutcome::Failed;
}

void TavFTPTransferMgr::ControlTlsReceived(const ByteArray& bytes) {
    // Held for the call: a receiver may end the session (and drop the channel) on the way.
    const std::shared_ptr<TlsChannel> tls = mControlTls;
    const uint64_t generation = mGeneration;
    const bool wasHandshaking = tls->State() == TlsChannel::Phase::Handshaking;
    const TlsChannel::Phase phase = tls->Receive(bytes.data(), bytes.size());
    if (phase == TlsChannel::Phase::Failed) {
        FailTls(tls->Error());
        return;
    }
    Progress();
    if (wasHandshaking && phase != TlsChannel::Phase::Handshaking) {
        mTlsVersion = tls->Version();
        mTlsCipher = tls->Cipher();
        // The end of the handshake first, then the login, now in the clear no more.
        if (!SendControlBytes(tls->TakeOutgoing())) {
            if (generation == mGeneration) Fail(3);
            return;
        }
        if (generation != mGeneration) return;
        ClientState = st::UserSent;
        if (SendCommand("USER " + mUser) != 0 && generation == mGeneration) Fail(3);
        return;
    }
    ByteArray answer = tls->HasOutgoing() ? tls->TakeOutgoing() : ByteArray();
    // The replies are copied into the reply buffer before anything can run the queue.
    if (tls->PlainSize() > 0) ControlBytes(tls->PlainData(), tls->PlainSize());
    if (generation == mGeneration && !answer.empty()) (void)SendControlBytes(std::move(answer));
}

int32_t TavFTPTransferMgr::ProtectAfterLogin(uint64_t generation) {
    if (!mUseTLS) {
        ReadyAfterLogin(generation);
        return 0;
    }
    ClientState = st::PbszSent;
    return SendCommand("PBSZ 0");
}

void TavFTPTransferMgr::FailTls(const std::string& reason) {
    mTlsError = reason;
    Fail(kObjectErrorTLS);
}

// ---- Data connection --------------------------------------------------------------------------

void TavFTPTransferMgr::StartDataTls() {
    const std::shared_ptr<TAVSocket> data = mData;
    if (!mUseTLS || !data) return;
    if (!mControlTls) {
        // Data before the control connection was secured: it never goes in the clear.
        FailTls("a data connection was opened before the session was secured");
        return;
    }
    std::string error;
    // The control connection's session: the server ties the data connection to it.
    std::shared_ptr<TlsChannel> tls = TlsChannel::Create(mControlTls->Context(), mSite, mControlTls.get(), error);
    if (!tls) {
        FailTls(error);
        return;
    }
    mDataTls = tls;
    ArmTlsTimer();
    tls->Start();
    if (tls->State() == TlsChannel::Phase::Failed) {
        FailTls(tls->Error());
        return;
    }
    // The ClientHello waits at the server until it takes the data connection up.
    if (SendOnData(*data, tls->TakeOutgoing()) == SendOutcome::Failed)
        FailTls("the data connection's TLS handshake could not be sent");
}

void TavFTPTransferMgr::DataTlsReceived(const ByteArray& bytes) {
    const std::shared_ptr<TlsChannel> tls = mDataTls;
    const std::shared_ptr<TAVSocket> data = mData;
    const uint64_t generation = mGeneration;
    const bool wasHandshaking = tls->State() == TlsChannel::Phase::Handshaking;
    const TlsChannel::Phase phase = tls->Receive(bytes.data(), bytes.size());
    if (phase == TlsChannel::Phase::Failed) {
        FailTls(tls->Error());
        return;
    }
    Progress();
    if (tls->HasOutgoing()) {
        if (SendOnData(*data, tls->TakeOutgoing()) == SendOutcome::Failed) {
            FailTls("the data connection's TLS records could not be sent");
            return;
        }
        if (generation != mGeneration || data != mData) return;
    }
    if (tls->PlainSize() > 0) DataBytes(tls->PlainData(), tls->PlainSize());
    if (generation != mGeneration || data != mData) return;
    if (phase == TlsChannel::Phase::Closed) {
        // The server's close_notify is the end of the data: servers (vsftpd) wait for ours
        // before they close the connection and send the final reply, so both go now.
        tls->Shutdown();
        if (tls->HasOutgoing()) (void)SendOnData(*data, tls->TakeOutgoing());
        if (generation == mGeneration && data == mData) DataSocketClosed(data);
        return;
    }
    // An upload whose go-ahead came during the handshake starts now.
    if (wasHandshaking && phase == TlsChannel::Phase::Open && ClientState == st::Storing) DataSocketWritable();
}

}  // namespace tav
