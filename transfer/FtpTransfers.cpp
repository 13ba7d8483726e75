// TavFTPTransferMgr: the four transfer operations and the local file they read or write.
#include <tavsock/TavFTPTransferMgr.hpp>

#include "base/SockErrors.hpp"
#include "platform/RaiseEvent.hpp"
#include "transfer/FtpLocalFile.hpp"
#include "transfer/FtpStates.hpp"
#include "transfer/ReceiveBatching.hpp"
#include "transfer/TlsChannel.hpp"

#include <algorithm>

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

int32_t TavFTPTransferMgr::StartListing(const std::string& command) {
    if (ClientState != st::Ready) RaiseSockError(kErrInvalidState);
    PendingState = st::Listing;
    mPendingCommand = command;
    mDataBuffer.clear();
    return StartPending(false);
}

int32_t TavFTPTransferMgr::StartFileTransfer(bool store, const std::string& SourceFile,
                                             const std::string& HostFileName) {
    if (ClientState != st::Ready) RaiseSockError(kErrInvalidState);
    mByteCount = 0;
    mBytesRemaining = 0;
    mAnnouncedSize = -1;
    std::unique_ptr<FtpLocalFile> file;
    if (store) {
        // Nothing to read is never a useful upload: no name is refused like an empty file.
        if (HostFileName.empty()) RaiseSockError(kErrHostFile);
        file = FtpLocalFile::OpenForRead(HostFileName);
        if (!file || file->Size() == 0) RaiseSockError(kErrHostFile);
        mBytesRemaining = file->Size();
    } else if (!HostFileName.empty()) {
        file = FtpLocalFile::OpenForWrite(HostFileName);
        if (!file) RaiseSockError(kErrHostFile);
    }
    CloseLocalFile(false);
    mFile = std::move(file);
    mPendingCommand = (store ? "STOR " : "RETR ") + SourceFile;
    PendingState = store ? st::StorSent : st::RetrSent;
    mDataBuffer.clear();
    return StartPending(!HostFileName.empty());
}

int32_t TavFTPTransferMgr::StartPending(bool namedFile) {
    const uint64_t generation = mGeneration;
    int32_t result = -1;
    try {
        // A data connection still open is used again; otherwise a new one is set up.
        result = mData ? SendPendingCommand() : SetUpDataConnection("");
    } catch (...) {
        if (generation == mGeneration) {
            ClientState = st::Ready;
            mPendingCommand.clear();
            CloseLocalFile(false);
        }
        if (namedFile) RaiseSockError(kErrHostFile);
        throw;
    }
    if (result != 0 && generation == mGeneration) {
        ClientState = st::Ready;
        mPendingCommand.clear();
        CloseLocalFile(false);
    }
    return result;
}

// ---- Receiving ----------------------------------------------------------------------------------

void TavFTPTransferMgr::DataReceivedOn(const std::shared_ptr<TAVSocket>& Skt, const Variant& Info) {
    if (Skt != mData || !Info.IsByteArray()) return;
    const ByteArray& bytes = Info.AsBytes();
    if (bytes.empty()) return;
    if (mDataTls) {
        DataTlsReceived(bytes);
        return;
    }
    DataBytes(bytes.data(), bytes.size());
    // A listing or a download: the server sends until it closes the connection.
    const bool download = ClientState == st::Listing || ClientState == st::RetrSent || ClientState == st::Retrieving;
    if (mBatching && Skt == mData && download) mBatching->AfterRead(Skt, bytes.size(), -1);
}

void TavFTPTransferMgr::DataBytes(const uint8_t* data, size_t n) {
    if (n == 0) return;
    Progress();
    const bool retrieving = ClientState == st::RetrSent || ClientState == st::Retrieving;
    const bool collecting = ClientState == st::Listing || (retrieving && !mFile);
    if (collecting && n > mMaxDataBuffer - std::min(mMaxDataBuffer, mDataBuffer.size())) {
        // A server that sends without end must not take all our memory.
        Fail(6);
        return;
    }
    if (ClientState == st::Listing) {
        mDataBuffer.append(reinterpret_cast<const char*>(data), n);
        return;
    }
    if (!retrieving) return;
    if (mFile) {
        if (!mFile->Write(data, n)) {
            Fail(6);
            return;
        }
        mByteCount += static_cast<int64_t>(n);
        NotifyDataTransferred(static_cast<int32_t>(static_cast<uint32_t>(mByteCount)));
        return;
    }
    mDataBuffer.append(reinterpret_cast<const char*>(data), n);
    NotifyDataTransferred(static_cast<int32_t>(static_cast<uint32_t>(mDataBuffer.size())));
}

void TavFTPTransferMgr::FinishRetrieve() {
    const uint64_t generation = mGeneration;
    if (mFile) {
        CloseLocalFile(false);
    } else if (ClientState == st::RetrSent || ClientState == st::Retrieving) {
        NotifyDataReceived();
        if (generation != mGeneration) return;
    }
    ClientState = st::Ready;
    NotifyReady();
}

// ---- Sending ------------------------------------------------------------------------------------

int32_t TavFTPTransferMgr::SendNextBlocks() {
    const std::shared_ptr<TAVSocket> data = mData;
    if (!data) return -1;
    const uint64_t generation = mGeneration;
    // Over TLS the blocks wait for the data connection's handshake, whose end starts them.
    const std::shared_ptr<TlsChannel> tls = mDataTls;
    if (tls && tls->State() == TlsChannel::Phase::Handshaking) return 0;
    if (tls && tls->State() != TlsChannel::Phase::Open) return -1;
    ByteArray block;
    while (mBytesRemaining > 0) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(kStoreBlock, mBytesRemaining));
        block.resize(n);
        if (!mFile || mFile->Read(block.data(), n) != static_cast<int64_t>(n)) {
            // The file shrank or cannot be read: the upload cannot be completed truthfully.
            Fail(6);
            return 0;
        }
        mBytesRemaining -= static_cast<int64_t>(n);
        mByteCount += static_cast<int64_t>(n);
        Progress();
        if (tls) {
            if (!tls->Send(block.data(), n)) return -1;
            block = tls->TakeOutgoing();
        }
        const SendOutcome sent = SendOnData(*data, std::move(block));
        if (generation != mGeneration || data != mData) return 0;  // a receiver ended it meanwhile
        if (sent == SendOutcome::Failed) return -1;
        if (sent == SendOutcome::Pending) return 0;  // the next write notification goes on
        block = ByteArray();
    }
    if (tls) {
        // The end of the file is told with close_notify, so the server can tell it from a
        // connection cut short (once: a later call finds nothing more to send).
        tls->Shutdown();
        if (tls->HasOutgoing()) {
            const SendOutcome sent = SendOnData(*data, tls->TakeOutgoing());
            if (generation != mGeneration || data != mData) return 0;
            if (sent == SendOutcome::Failed) return -1;
            if (sent == SendOutcome::Pending) return 0;
        }
    }
    // Everything is handed over; it is finished once the socket has sent what it still holds.
    switch (FlushData(*data)) {
    case SendOutcome::Failed: return -1;
    case SendOutcome::Pending: return 0;
    case SendOutcome::Done: break;
    }
    FinishStore();
    return 0;
}

void TavFTPTransferMgr::FinishStore() {
    CloseLocalFile(false);
    // Closing the data connection is the end of the file for the server.
    CloseDataSocket();
    ClientState = st::StoreDone;
}

void TavFTPTransferMgr::DataSocketWritable() {
    if (ClientState != st::Storing) return;
    // Raised as the event even with a callback object, as the classic component did.
    try {
        RaiseEvent(FTPDataTransferred, static_cast<int32_t>(static_cast<uint32_t>(mByteCount)));
    } catch (...) {
    }
    if (ClientState != st::Storing) return;
    const uint64_t generation = mGeneration;
    if (SendNextBlocks() != 0 && generation == mGeneration) {
        CloseLocalFile(false);
        CloseDataSocket();
        ClientState = st::Ready;
        NotifyObjectError(3);
    }
}

void TavFTPTransferMgr::CloseLocalFile(bool deleteIt) noexcept {
    if (mFile) mFile->Close(deleteIt);
    mFile.reset();
}

}  // namespace tav
