// TavFTPTransferMgr::Impl: the four transfer operations, the data connection's set-up and
// events, and the local file they read or write.
#include "transfer/FtpSession.hpp"

#include <tavsock/TAVSocketUtil.hpp>

#include "core/SockAddrAccess.hpp"
#include "base/SockErrors.hpp"
#include "platform/RaiseEvent.hpp"
#include "platform/SockIntf.hpp"
#include "transfer/LocalFile.hpp"
#include "transfer/FtpStates.hpp"

namespace tav {

namespace st = ftpstate;

namespace {
// FTPObjectError codes of the transfers.
constexpr int32_t kObjectErrorLocal = 6;  // the local file could not be written or read
constexpr int32_t kObjectErrorCap = 8;    // a listing or in-memory retrieve passed its cap
}  // namespace

// ---- Starting ---------------------------------------------------------------------------------

int32_t TavFTPTransferMgr::Impl::StartListing(const std::string& verb, const std::string& Directory) {
    if (mState != st::Ready) RaiseSockError(kErrInvalidState);
    FtpControl::CheckCommandText({Directory});
    mPendingState = st::Listing;
    mPendingCommand = Directory.empty() ? verb : verb + " " + Directory;
    mData.ClearBuffer();
    return StartPending(false);
}

int32_t TavFTPTransferMgr::Impl::StartFileTransfer(bool store, const std::string& SourceFile,
                                                   const std::string& HostFileName) {
    if (mState != st::Ready) RaiseSockError(kErrInvalidState);
    FtpControl::CheckCommandText({SourceFile});
    std::unique_ptr<LocalFile> file;
    std::string error;
    if (store) {
        // Nothing to read is never a useful upload: no name is refused like an empty file.
        file = LocalFile::OpenForRead(HostFileName, error);
        if (file && file->Size() == 0) {
            error = "cannot read " + HostFileName + ": the file is empty";
            file.reset();
        }
    } else if (!HostFileName.empty() && mRestartAt > 0) {
        file = LocalFile::OpenForAppend(HostFileName, mRestartAt, error);
    } else if (!HostFileName.empty()) {
        const auto replace = mReplaceWhenComplete ? LocalFile::Replace::WhenComplete : LocalFile::Replace::Now;
        file = LocalFile::OpenForWrite(HostFileName, replace, error);
    }
    mLocalFileError = error;
    if (!error.empty()) RaiseSockError(kErrHostFile);
    mByteCount = 0;
    mBytesRemaining = store ? file->Size() : 0;
    mAnnouncedSize = -1;
    CloseLocalFile(false);
    mFile = std::move(file);
    mPendingCommand = (store ? "STOR " : "RETR ") + SourceFile;
    mPendingState = store ? st::StorSent : st::RetrSent;
    mRestPending = !store && mRestartAt > 0;
    mData.ClearBuffer();
    return StartPending(!HostFileName.empty());
}

int32_t TavFTPTransferMgr::Impl::StartPending(bool namedFile) {
    const uint64_t generation = mGuard.Generation();
    int32_t result = -1;
    try {
        // A data connection still open is used again; otherwise a new one is set up.
        if (mData.Socket()) {
            if (mPendingState != st::StorSent) mReusedCommand = mPendingCommand;
            result = SendPendingCommand();
        } else {
            result = SetUpDataConnection("");
        }
    } catch (...) {
        if (!mGuard.Moved(generation)) {
            SetState(st::Ready);
            mPendingCommand.clear();
            CloseLocalFile(true);
        }
        if (namedFile) RaiseSockError(kErrHostFile);
        throw;
    }
    if (result != 0 && !mGuard.Moved(generation)) {
        SetState(st::Ready);
        mPendingCommand.clear();
        CloseLocalFile(true);
    }
    return result;
}

int32_t TavFTPTransferMgr::Impl::SendPendingCommand() {
    if (mPendingCommand.empty()) return 0;
    if (mRestPending) {
        // RETR waits in mPendingCommand for REST's 350.
        mRestPending = false;
        SetState(st::RestSent);
        return SendCommand("REST " + std::to_string(mRestartAt));
    }
    // Taken before the send: its reply (and a new transfer started from a notification) may
    // be handled inside it.
    const std::string command = std::move(mPendingCommand);
    mPendingCommand.clear();
    SetState(mPendingState);
    mPendingState = st::Disconnected;
    return SendCommand(command);
}

// ---- The data connection ----------------------------------------------------------------------

bool TavFTPTransferMgr::Impl::ExtendedDataCommands() const {
    // PASV and PORT carry IPv4 addresses only; over IPv6 the commands that name the family
    // (or, for EPSV, no address at all) take their place. Over IPv4 nothing changes.
    const std::shared_ptr<TAVSocket>& control = mControl.Socket();
    const std::shared_ptr<TAVSockAddr> peer = control ? control->RemoteAddr() : nullptr;
    return peer && peer->Family() == 23;
}

int32_t TavFTPTransferMgr::Impl::SetUpDataConnection(const std::string& replyText) {
    mData.Close();
    if (mPassiveMode && replyText.empty()) {
        SetState(st::PasvSent);
        return SendCommand(ExtendedDataCommands() ? "EPSV" : "PASV");
    }
    const std::shared_ptr<TAVSocket> control = mControl.Socket();
    const std::shared_ptr<TAVSockAddr> local = control ? control->LocalAddr() : nullptr;
    if (!local) return -1;
    // Creation raises on failure; a silent null is a failure too.
    if (!mData.Open(mPassiveMode, local)) return -1;
    return mPassiveMode ? ConnectPassive(replyText) : SendPort();
}

int32_t TavFTPTransferMgr::Impl::ConnectPassive(const std::string& replyText) {
    const bool extended = ExtendedDataCommands();
    std::string host;
    uint16_t port = 0;
    // Not six numbers (or, strictly, not six bytes), or a 229 not exactly as it must be: no
    // connection to make.
    if (extended ? !FtpData::ParseExtendedPassiveReply(replyText, port)
                 : !FtpData::ParsePassiveReply(replyText, mStrictPassiveReply, host, port))
        return -1;

    const std::shared_ptr<TAVSocketUtil>& util = mTcp->Sockets()->Util();
    auto target = TAVSockAddr::Create();
    if (!extended && mPassiveAddressFromReply) {
        SockAddrAccess::SetNetAddress(*target, util->NetAddrFromDottedStr(host));
    } else {
        // Only the port is taken from the reply (a 229 has nothing else): the data goes where
        // the control connection goes, whatever address the server believes it has.
        const std::shared_ptr<TAVSocket> control = mControl.Socket();
        const std::shared_ptr<TAVSockAddr> peer = control ? control->RemoteAddr() : nullptr;
        if (!peer) return -1;
        SockAddrAccess::CopyHost(*peer, *target);
    }
    SockAddrAccess::SetNetPort(*target, util->HostToNetShort(static_cast<int16_t>(port)));

    const uint64_t generation = mGuard.Generation();
    const std::shared_ptr<TAVSocket> data = mData.Socket();
    SetState(st::DataConnecting);  // before the call: the completion may come inside it
    if (data->Connect(target) == 0) {
        // Connected at once: no completion notification is owed for it.
        if (!mGuard.Moved(generation) && data == mData.Socket() && mState == st::DataConnecting) DataConnectComplete(data);
        return 0;
    }
    const int32_t error = data->LastError();
    if (error == sockintf::WSAEWOULDBLOCK || mGuard.Moved(generation)) return 0;
    return error != 0 ? error : -1;
}

int32_t TavFTPTransferMgr::Impl::SendPort() {
    const std::shared_ptr<TAVSockAddr> local = mData.Socket()->LocalAddr();
    if (!local) return -1;
    const auto port = static_cast<uint16_t>(mTcp->Sockets()->Util()->NetToHostShort(SockAddrAccess::GetNetPort(*local)));
    SetState(st::PortSent);
    if (local->Family() == 23) return SendCommand(FtpData::ExtendedPortCommand(SockAddrAccess::GetAddress6(*local), port));
    return SendCommand(FtpData::PortCommand(local->IPAddress(), port));
}

void TavFTPTransferMgr::Impl::DataConnectComplete(const std::shared_ptr<TAVSocket>& Skt) {
    if (!Skt || Skt != mData.Socket() || mState != st::DataConnecting) return;
    Progress();
    const uint64_t generation = mGuard.Generation();
    StartDataTls();
    if (mGuard.Moved(generation)) return;
    if (mPendingCommand.empty()) {
        SetState(st::Ready);
        NotifyReady();
        return;
    }
    if (SendPendingCommand() != 0 && !mGuard.Moved(generation)) {
        SetState(st::Ready);
        CloseLocalFile(false);
        NotifyObjectError(3);
    }
}

void TavFTPTransferMgr::Impl::TCPMgr_AcceptComplete(const std::shared_ptr<TAVSocket>& SourceSocket,
                                                    const std::shared_ptr<TAVSocket>& NewSocket,
                                                    const std::shared_ptr<TAVSockAddr>& NewSocketName) {
    if (!NewSocket) return;
    bool wanted = SourceSocket && SourceSocket == mData.Socket() && !mData.Accepted();
    if (wanted && mCheckDataPeer) {
        // A stranger is turned away, and the server's own connection is still awaited.
        const std::shared_ptr<TAVSocket> control = mControl.Socket();
        const std::shared_ptr<TAVSockAddr> peer = control ? control->RemoteAddr() : nullptr;
        wanted = peer && NewSocketName && SockAddrAccess::SameHost(*peer, *NewSocketName);
    }
    if (!wanted) {
        mTcp->DestroySocket(NewSocket);
        return;
    }
    Progress();
    mData.Adopt(NewSocket);
    const uint64_t generation = mGuard.Generation();
    StartDataTls();
    if (mGuard.Moved(generation)) return;
    // An upload whose go-ahead came before the connection starts now.
    if (mState == st::Storing) DataSocketWritable();
}

void TavFTPTransferMgr::Impl::DataSocketClosed(const std::shared_ptr<TAVSocket>& Skt) {
    if (!Skt || Skt != mData.Socket()) return;
    Progress();
    mData.Close();
    if (mState == st::Retrieving) FinishRetrieve();
}

void TavFTPTransferMgr::Impl::DrainDataSocket() {
    mData.Drain(
        mPassiveMode,
        [this](const std::shared_ptr<TAVSocket>& listener, const std::shared_ptr<TAVSocket>& incoming,
               const std::shared_ptr<TAVSockAddr>& name) { TCPMgr_AcceptComplete(listener, incoming, name); },
        [this](const std::shared_ptr<TAVSocket>& socket, const Variant& bytes) { DataReceivedOn(socket, bytes); });
}

// ---- Receiving ----------------------------------------------------------------------------------

void TavFTPTransferMgr::Impl::DataReceivedOn(const std::shared_ptr<TAVSocket>& Skt, const Variant& Info) {
    if (Skt != mData.Socket() || !Info.IsByteArray()) return;
    const ByteArray& bytes = Info.AsBytes();
    if (bytes.empty()) return;
    if (mData.Tls()) {
        DataTlsReceived(bytes);
        return;
    }
    DataBytes(bytes.data(), bytes.size());
    // A listing or a download: the server sends until it closes the connection.
    const bool download = mState == st::Listing || mState == st::RetrSent || mState == st::Retrieving;
    if (download && Skt == mData.Socket()) mData.AfterDownloadRead(bytes.size());
}

void TavFTPTransferMgr::Impl::DataBytes(const uint8_t* data, size_t n) {
    if (n == 0) return;
    Progress();
    const bool retrieving = mState == st::RetrSent || mState == st::Retrieving;
    if (mState == st::Listing || (retrieving && !mFile)) {
        // A server that sends without end must not take all our memory.
        if (!mData.Collect(data, n)) {
            Fail(kObjectErrorCap);
            return;
        }
        if (retrieving) NotifyDataTransferred(static_cast<int32_t>(static_cast<uint32_t>(mData.Buffer().size())));
        return;
    }
    if (!retrieving) return;
    if (!mFile->Write(data, n)) {
        mLocalFileError = mFile->ErrorText();
        Fail(kObjectErrorLocal);
        return;
    }
    mByteCount += static_cast<int64_t>(n);
    NotifyDataTransferred(static_cast<int32_t>(static_cast<uint32_t>(mByteCount)));
}

void TavFTPTransferMgr::Impl::FinishRetrieve() {
    const uint64_t generation = mGuard.Generation();
    if (mFile) {
        // Complete: with ReplaceWhenComplete the new file takes the name only now.
        const bool committed = mFile->Commit();
        mLocalFileError = mFile->ErrorText();
        mFile.reset();
        if (!committed) {
            Fail(kObjectErrorLocal);
            return;
        }
    } else if (mState == st::RetrSent || mState == st::Retrieving) {
        NotifyDataReceived();
        if (mGuard.Moved(generation)) return;
    }
    SetState(st::Ready);
    NotifyReady();
}

// ---- Sending ------------------------------------------------------------------------------------

int32_t TavFTPTransferMgr::Impl::SendNextBlocks() {
    const uint64_t generation = mGuard.Generation();
    LocalFile* file = mFile.get();
    const FtpData::Pump pump = mData.SendBlocks(
        [file](uint8_t* block, size_t n) { return file ? file->Read(block, n) : -1; }, mBytesRemaining, mByteCount,
        [this] { Progress(); });
    if (mGuard.Moved(generation)) return 0;  // a receiver ended it meanwhile
    switch (pump) {
    case FtpData::Pump::Waiting: return 0;
    case FtpData::Pump::Failed: return -1;
    case FtpData::Pump::FileFailed:
        mLocalFileError = file ? file->ErrorText() : "";
        if (mLocalFileError.empty()) mLocalFileError = "the local file ended before its length";
        Fail(kObjectErrorLocal);
        return 0;
    case FtpData::Pump::Finished: break;
    }
    // Closing the data connection is the end of the file for the server; its reply ends it.
    CloseLocalFile(false);
    mData.Close();
    SetState(st::StoreDone);
    return 0;
}

void TavFTPTransferMgr::Impl::DataSocketWritable() {
    if (mState != st::Storing) return;
    // Raised as the event even with a callback object, as the classic component did.
    try {
        RaiseEvent(mOwner.FTPDataTransferred, static_cast<int32_t>(static_cast<uint32_t>(mByteCount)));
    } catch (...) {
    }
    if (mState != st::Storing) return;
    const uint64_t generation = mGuard.Generation();
    if (SendNextBlocks() != 0 && !mGuard.Moved(generation)) {
        CloseLocalFile(false);
        mData.Close();
        SetState(st::Ready);
        NotifyObjectError(3);
    }
}

void TavFTPTransferMgr::Impl::CloseLocalFile(bool discard) noexcept {
    LocalFile::Release(mFile, discard);
}

}  // namespace tav
