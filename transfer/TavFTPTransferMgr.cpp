// TavFTPTransferMgr: the public face; everything is done by its private implementation.
#include <tavsock/TavFTPTransferMgr.hpp>

#include "base/SockErrors.hpp"
#include "transfer/FtpControl.hpp"
#include "transfer/FtpSession.hpp"

namespace tav {

std::shared_ptr<TavFTPTransferMgr> TavFTPTransferMgr::Create() {
    std::shared_ptr<TavFTPTransferMgr> mgr(new TavFTPTransferMgr());
    mgr->mImpl->Start();
    return mgr;
}

TavFTPTransferMgr::TavFTPTransferMgr() : mImpl(std::make_unique<Impl>(*this)) {}

TavFTPTransferMgr::~TavFTPTransferMgr() = default;

// ---- Properties -------------------------------------------------------------------------------

const std::shared_ptr<ITavFTPNotify>& TavFTPTransferMgr::CallbackObject() const noexcept { return mImpl->mRoute.Object(); }
void TavFTPTransferMgr::CallbackObject(std::shared_ptr<ITavFTPNotify> value) { mImpl->mRoute.Object(std::move(value)); }
const std::string& TavFTPTransferMgr::User() const noexcept { return mImpl->mUser; }
void TavFTPTransferMgr::User(const std::string& value) { mImpl->User(value); }
void TavFTPTransferMgr::Password(const std::string& value) { mImpl->mPassword = value; }
const std::string& TavFTPTransferMgr::Account() const noexcept { return mImpl->mAccount; }
void TavFTPTransferMgr::Account(const std::string& value) { mImpl->Account(value); }
int16_t TavFTPTransferMgr::State() const noexcept { return mImpl->State(); }
bool TavFTPTransferMgr::PassiveMode() const noexcept { return mImpl->mPassiveMode; }
void TavFTPTransferMgr::PassiveMode(bool value) { mImpl->PassiveMode(value); }
int32_t TavFTPTransferMgr::Port() const noexcept { return mImpl->mPort; }
void TavFTPTransferMgr::Port(int32_t value) { mImpl->Port(value); }
int32_t TavFTPTransferMgr::Timeout() const noexcept { return mImpl->mWatchdog.Timeout(); }
void TavFTPTransferMgr::Timeout(int32_t ms) { mImpl->mWatchdog.SetTimeout(ms); }
bool TavFTPTransferMgr::PairReplies() const noexcept { return mImpl->mPairReplies; }
void TavFTPTransferMgr::PairReplies(bool value) { mImpl->mPairReplies = value; }
bool TavFTPTransferMgr::PassiveAddressFromReply() const noexcept { return mImpl->mPassiveAddressFromReply; }
void TavFTPTransferMgr::PassiveAddressFromReply(bool value) { mImpl->mPassiveAddressFromReply = value; }
bool TavFTPTransferMgr::CheckDataPeer() const noexcept { return mImpl->mCheckDataPeer; }
void TavFTPTransferMgr::CheckDataPeer(bool value) { mImpl->mCheckDataPeer = value; }
bool TavFTPTransferMgr::StrictPassiveReply() const noexcept { return mImpl->mStrictPassiveReply; }
void TavFTPTransferMgr::StrictPassiveReply(bool value) { mImpl->mStrictPassiveReply = value; }
bool TavFTPTransferMgr::ReplaceWhenComplete() const noexcept { return mImpl->mReplaceWhenComplete; }
void TavFTPTransferMgr::ReplaceWhenComplete(bool value) { mImpl->mReplaceWhenComplete = value; }
int64_t TavFTPTransferMgr::RestartAt() const noexcept { return mImpl->mRestartAt; }
void TavFTPTransferMgr::RestartAt(int64_t value) {
    if (value < 0) RaiseSockError(kErrInvalidParameter);
    mImpl->mRestartAt = value;
}
bool TavFTPTransferMgr::UseTLS() const noexcept { return mImpl->mUseTLS; }
void TavFTPTransferMgr::UseTLS(bool value) { mImpl->UseTLS(value); }
TAV_DEFINE_TLS_PROPERTIES(TavFTPTransferMgr, mImpl->mTls)
const std::string& TavFTPTransferMgr::LocalFileError() const noexcept { return mImpl->mLocalFileError; }
int64_t TavFTPTransferMgr::ByteCount() const noexcept { return mImpl->mByteCount; }
int64_t TavFTPTransferMgr::AnnouncedSize() const noexcept { return mImpl->mAnnouncedSize; }

// ---- Methods ----------------------------------------------------------------------------------

int32_t TavFTPTransferMgr::NameList(const std::string& Directory) { return mImpl->StartListing("NLST", Directory); }
int32_t TavFTPTransferMgr::List(const std::string& Directory) { return mImpl->StartListing("LIST", Directory); }
int32_t TavFTPTransferMgr::chDir(const std::string& Directory) { return mImpl->chDir("CWD ", Directory); }
int32_t TavFTPTransferMgr::chDirParent() { return mImpl->chDir("CDUP", ""); }
int32_t TavFTPTransferMgr::Retrieve(const std::string& SourceFile, const std::string& HostFileName) {
    return mImpl->StartFileTransfer(false, SourceFile, HostFileName);
}
int32_t TavFTPTransferMgr::Store(const std::string& SourceFile, const std::string& HostFileName) {
    return mImpl->StartFileTransfer(true, SourceFile, HostFileName);
}
int32_t TavFTPTransferMgr::Abort() { return mImpl->Abort(); }
void TavFTPTransferMgr::Ascii() { mImpl->SendTypeCommand("type a"); }
void TavFTPTransferMgr::Binary() { mImpl->SendTypeCommand("type i"); }
int32_t TavFTPTransferMgr::Disconnect() {
    mImpl->EndSession(true);
    return 0;
}
int32_t TavFTPTransferMgr::Connect(const std::string& Site) { return mImpl->Connect(Site); }
void TavFTPTransferMgr::Reset() { mImpl->EndSession(true); }

}  // namespace tav
