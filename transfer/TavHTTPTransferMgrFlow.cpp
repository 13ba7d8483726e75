// TavHTTPTransferMgr: the request's way through the TCP manager's events: look-up, connect,
// request, response, end; and the time-out.
//
// After every call that can run host code or the queue (a notification, Connect, Send) the
// handlers check mRequestSerial: a receiver may have reset the request or started the next.
#include <tavsock/TavHTTPTransferMgr.hpp>

#include "platform/SockIntf.hpp"
#include "platform/Timer.hpp"
#include "transfer/HttpOutputFile.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tav {

namespace {
constexpr const char* kCRLF = "\r\n";

bool EndsWithCRLF(const std::string& text) {
    return text.size() >= 2 && text.compare(text.size() - 2, 2, kCRLF) == 0;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}
}  // namespace

// ---- Look-up --------------------------------------------------------------------------------

void TavHTTPTransferMgr::TCPMgr_HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) {
    if (AsyncHandle == 0 || AsyncHandle != mLookupHandle || mState != Resolving) return;
    if (!HostObject || HostObject->AddressCount() < 1) {
        TCPMgr_AsyncError(AsyncHandle, 0);
        return;
    }
    mLookupHandle = 0;
    MarkProgress();
    BuildServerAddress(HostObject->Address(1));
    try {
        StartConnection();
    } catch (...) {
        // No socket could be made: the request ends here rather than staying Resolving.
        if (mState == Resolving) AbandonStart();
    }
}

void TavHTTPTransferMgr::TCPMgr_AsyncError(int32_t AsyncHandle, int32_t /*ErrorCode*/) {
    if (AsyncHandle == 0 || AsyncHandle != mLookupHandle) return;
    mLookupHandle = 0;
    CloseOutput(false);
    SetState(Idle);
    ++mRequestSerial;
    NotifyObjectError(1);
}

// ---- Request --------------------------------------------------------------------------------

std::string TavHTTPTransferMgr::ComposeRequest() const {
    std::string text;
    text.reserve(256 + mHeaders.size() + mData.size() + mTarget.size());
    text += mOperation + " " + mTarget + " HTTP/1.0" + kCRLF;
    text += std::string("Accept: */*") + kCRLF;
    text += "Host: " + mHost + kCRLF;
    text += std::string("Accept-Language: en") + kCRLF;
    if (!mHeaders.empty()) {
        text += mHeaders;
        if (!EndsWithCRLF(text)) text += kCRLF;
    }
    if (!mData.empty()) {
        // Announced two bytes longer than Data: the CR LF after it is counted in.
        text += "Content-Length: " + std::to_string(mData.size() + 2) + kCRLF;
        text += "Content-type: " + mContentType + kCRLF;
        text += kCRLF;
        text += mData;
        if (!EndsWithCRLF(text)) text += kCRLF;
    }
    text += kCRLF;
    return text;
}

void TavHTTPTransferMgr::TCPMgr_ConnectComplete(const std::shared_ptr<TAVSocket>& SourceSocket) {
    if (!mSocket || SourceSocket != mSocket || mState != Connecting) return;
    MarkProgress();
    SendRequest();
}

void TavHTTPTransferMgr::SendRequest() {
    const std::string text = ComposeRequest();
    const std::shared_ptr<TAVSocket> socket = mSocket;
    const uint64_t serial = mRequestSerial;
    // Send runs the queue while it waits: the answer may arrive before it returns.
    SetState(AwaitingResponse);
    bool failed = false;
    try {
        socket->Send(Variant(mTCPMgr->Sockets()->Util()->ByteArrayFromString(text)));
        failed = socket->BytesSent() <= 0 && socket->LastError() != sockintf::WSAEWOULDBLOCK;
    } catch (...) {
        failed = true;
    }
    if (!failed || serial != mRequestSerial) return;
    NotifyObjectError(3);
    if (serial == mRequestSerial) Reset();
}

// ---- Response -------------------------------------------------------------------------------

void TavHTTPTransferMgr::TCPMgr_DataReceived(const std::shared_ptr<TAVSocket>& SourceSocket, Variant& Info) {
    if (!mSocket || SourceSocket != mSocket || mState != AwaitingResponse || !Info.IsByteArray()) return;
    MarkProgress();
    ReceiveChunk(Info.AsBytes());
}

void TavHTTPTransferMgr::ReceiveChunk(const ByteArray& chunk) {
    if (mHeadersComplete)
        ReceiveBody(chunk.data(), chunk.size());
    else
        ReceiveHeaderBytes(chunk);
}

void TavHTTPTransferMgr::ReceiveHeaderBytes(const ByteArray& chunk) {
    const size_t before = mHeaderBuffer.size();
    mHeaderBuffer.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
    // The end may straddle the previous chunk: look from three characters before it.
    const size_t at = mHeaderBuffer.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
    const size_t end = at == std::string::npos ? std::string::npos : at + 4;
    if (end == std::string::npos || end > kMaxHeaderBytes) {
        // A header block that never ends must not grow without bound.
        if (mHeaderBuffer.size() >= kMaxHeaderBytes) {
            mHeaderBuffer.resize(std::min(mHeaderBuffer.size(), kMaxHeaderBytes));
            FailRequest(true, 4, "", "");
        }
        return;
    }
    mHeaderBuffer.resize(end);
    mHeadersComplete = true;
    const uint64_t serial = mRequestSerial;
    ParseHeaders();
    if (serial != mRequestSerial || mState != AwaitingResponse) return;
    // Body bytes that came with the end of the header block, from their place in this chunk.
    const size_t offset = end - before;
    if (offset < chunk.size()) ReceiveBody(chunk.data() + offset, chunk.size() - offset);
}

void TavHTTPTransferMgr::ParseHeaders() {
    const std::string& h = mHeaderBuffer;
    const size_t space = h.find(' ');
    if (space == std::string::npos) return;  // the content length keeps its last value
    const std::string status = h.substr(space + 1, 3);
    if (status.empty() || status[0] != '2') {
        const size_t lineEnd = h.find(kCRLF);
        const size_t from = space + 5;
        const std::string reason = from < h.size() && lineEnd != std::string::npos && lineEnd > from
                                       ? h.substr(from, lineEnd - from)
                                       : std::string();
        FailRequest(false, 0, status, reason);
        return;
    }
    const size_t at = Lower(h).find("content-length");
    if (at == std::string::npos) {
        mContentLength = 0;
        return;
    }
    mLengthAnnounced = true;
    mContentLength = 0;
    const size_t colon = h.find(':', at);
    if (colon == std::string::npos) return;
    size_t i = colon + 1;
    while (i < h.size() && (h[i] == ' ' || h[i] == '\t')) ++i;
    int64_t value = 0;
    for (; i < h.size() && h[i] >= '0' && h[i] <= '9'; ++i)
        value = std::min<int64_t>(value * 10 + (h[i] - '0'), std::numeric_limits<int64_t>::max() / 16);
    mContentLength = value;
}

void TavHTTPTransferMgr::ReceiveBody(const uint8_t* data, size_t n) {
    if (n == 0) return;
    if (mOutput) {
        if (!mOutput->Write(data, n)) {
            FailRequest(true, kObjectErrorWrite, "", "");
            return;
        }
        mReceived += static_cast<int64_t>(n);
    } else if (mRetrieveMode == TAVRetrieveByteArray) {
        // The buffer starts as one 0 byte, which the first bytes replace.
        const size_t at = static_cast<size_t>(mReceived);
        mByteBuffer.resize(at + n);
        std::memcpy(mByteBuffer.data() + at, data, n);
        mReceived += static_cast<int64_t>(n);
    } else {
        mTextBuffer.append(reinterpret_cast<const char*>(data), n);
        mReceived = static_cast<int64_t>(mTextBuffer.size());
    }
    NotifyDataTransferred();
}

// ---- End ------------------------------------------------------------------------------------

void TavHTTPTransferMgr::TCPMgr_SocketClosed(const std::shared_ptr<TAVSocket>& SourceSocket) {
    if (!mSocket || SourceSocket != mSocket || mState != AwaitingResponse) return;
    FinishResponse();
}

void TavHTTPTransferMgr::FinishResponse() {
    if (mContentLength >= 1 && mContentLength < mReceived - 4) {
        FailRequest(true, 4, "", "");
        return;
    }
    const uint64_t serial = mRequestSerial;
    if (mOutput) {
        CloseOutput(false);
    } else {
        // Handed over, not copied: a large body is not held twice.
        Variant data = mRetrieveMode == TAVRetrieveByteArray ? Variant(std::exchange(mByteBuffer, ByteArray{0}))
                                                             : Variant(std::exchange(mTextBuffer, std::string()));
        NotifyDataReceived(data);
        if (serial != mRequestSerial) return;
    }
    SetState(Idle);
    ++mRequestSerial;
    NotifyReady();
}

void TavHTTPTransferMgr::FailRequest(bool objectError, int32_t code, const std::string& status,
                                     const std::string& reason) {
    const uint64_t serial = mRequestSerial;
    if (objectError)
        NotifyObjectError(code);
    else
        NotifyError(status, reason);
    if (serial != mRequestSerial) return;  // the receiver reset the request or started another
    CloseOutput(true);
    if (mSocket) mTCPMgr->DestroySocket(std::exchange(mSocket, nullptr));
    mLookupHandle = 0;
    SetState(Idle);
    ++mRequestSerial;
    NotifyReady();
}

void TavHTTPTransferMgr::TCPMgr_SocketError(const std::shared_ptr<TAVSocket>& /*SourceSocket*/, int32_t /*ErrorCode*/) {
    NotifyObjectError(5);
}

// ---- Time-out -------------------------------------------------------------------------------

void TavHTTPTransferMgr::tmrTimeout_Tick() {
    if (mState == Idle || mTimeout <= 0) {
        tmrTimeout->Enabled(false);
        return;
    }
    if (std::chrono::steady_clock::now() - mLastProgress < std::chrono::milliseconds(mTimeout)) return;
    if (mLookupHandle != 0) mTCPMgr->Sockets()->CancelAsyncRequest(mLookupHandle);
    mLookupHandle = 0;
    FailRequest(true, kObjectErrorTimeout, "", "");
}

}  // namespace tav
