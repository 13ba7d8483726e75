// TavFTPTransferMgr: data connections and transfers. The transfer operations come with the
// data connection; until then they refuse to start.
#include <tavsock/TavFTPTransferMgr.hpp>

#include "core/SockErrors.hpp"
#include "transfer/FtpLocalFile.hpp"
#include "transfer/FtpStates.hpp"

namespace tav {

namespace st = ftpstate;

int32_t TavFTPTransferMgr::NameList(const std::string& Directory) {
    return StartListing(Directory.empty() ? "NLST" : "NLST " + Directory);
}

int32_t TavFTPTransferMgr::List(const std::string& Directory) {
    return StartListing(Directory.empty() ? "LIST" : "LIST " + Directory);
}

int32_t TavFTPTransferMgr::Retrieve(const std::string& SourceFile, const std::string& HostFileName) {
    return StartFileTransfer(false, SourceFile, HostFileName);
}

int32_t TavFTPTransferMgr::Store(const std::string& SourceFile, const std::string& HostFileName) {
    return StartFileTransfer(true, SourceFile, HostFileName);
}

int32_t TavFTPTransferMgr::StartListing(const std::string& /*command*/) {
    if (ClientState != st::Ready) RaiseSockError(kErrInvalidState);
    return -1;
}

int32_t TavFTPTransferMgr::StartFileTransfer(bool /*store*/, const std::string& /*SourceFile*/,
                                             const std::string& /*HostFileName*/) {
    if (ClientState != st::Ready) RaiseSockError(kErrInvalidState);
    return -1;
}

int32_t TavFTPTransferMgr::SetUpDataConnection(const std::string& /*replyText*/) { return -1; }
int32_t TavFTPTransferMgr::SendPendingCommand() { return 0; }
void TavFTPTransferMgr::DrainDataSocket() {}
void TavFTPTransferMgr::DataReceivedOn(const std::shared_ptr<TAVSocket>& /*Skt*/, const Variant& /*Info*/) {}
void TavFTPTransferMgr::DataConnectComplete(const std::shared_ptr<TAVSocket>& /*Skt*/) {}
void TavFTPTransferMgr::DataSocketWritable() {}
void TavFTPTransferMgr::DataSocketClosed(const std::shared_ptr<TAVSocket>& Skt) {
    if (Skt == mData) CloseDataSocket();
}
void TavFTPTransferMgr::TCPMgr_AcceptComplete(const std::shared_ptr<TAVSocket>&, const std::shared_ptr<TAVSocket>&,
                                              const std::shared_ptr<TAVSockAddr>&) {}
void TavFTPTransferMgr::FinishRetrieve() {
    CloseLocalFile(false);
    ClientState = st::Ready;
    NotifyReady();
}
int32_t TavFTPTransferMgr::SendNextBlocks() { return -1; }
void TavFTPTransferMgr::FinishStore() {}

void TavFTPTransferMgr::CloseDataSocket() noexcept {
    if (!mData) return;
    const std::shared_ptr<TAVSocket> data = std::move(mData);
    mAccepted = false;
    try {
        if (mTcp) mTcp->DestroySocket(data);
    } catch (...) {
    }
}

void TavFTPTransferMgr::CloseLocalFile(bool deleteIt) noexcept {
    if (mFile) mFile->Close(deleteIt);
    mFile.reset();
}

}  // namespace tav
