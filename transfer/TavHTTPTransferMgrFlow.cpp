// TavHTTPTransferMgr: the request's way through the TCP manager's events: look-up, connect,
// request, response, end; and the time-out.
//
// After every call that can run host code or the queue (a notification, Connect, Send) the
// handlers check mRequestSerial: a receiver may have reset the request or started the next.
#include <tavsock/TavHTTPTransferMgr.hpp>

#include "platform/SockIntf.hpp"
#include "transfer/ReceiveBatching.hpp"
#include "platform/Timer.hpp"
#include "transfer/LocalFile.hpp"
#include "transfer/TlsChannel.hpp"
#include "transfer/TlsContext.hpp"

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

std::string Seconds(int32_t ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", ms / 1000.0);
    return buf;
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
    // Through a tunnel the server itself reads the request: the path and its own name.
    const bool tunnelled = Tunnelled();
    text += mOperation + " " + (tunnelled ? mOriginTarget : mTarget) + " HTTP/1.0" + kCRLF;
    text += std::string("Accept: */*") + kCRLF;
    text += "Host: " + (tunnelled ? mOriginHost : mHost) + kCRLF;
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
    if (!mSecure)
        SendRequest();
    else if (Tunnelled())
        StartTunnel();
    else
        StartHandshake(nullptr, 0);
}

bool TavHTTPTransferMgr::SendBytes(const std::shared_ptr<TAVSocket>& socket, ByteArray bytes) {
    try {
        socket->Send(Variant(std::move(bytes)));
        return socket->BytesSent() > 0 || socket->LastError() == sockintf::WSAEWOULDBLOCK;
    } catch (...) {
        return false;
    }
}

void TavHTTPTransferMgr::SendRequest() {
    const std::string text = ComposeRequest();
    const std::shared_ptr<TAVSocket> socket = mSocket;
    const std::shared_ptr<TlsChannel> tls = mTls;
    const uint64_t serial = mRequestSerial;
    ByteArray bytes = mTCPMgr->Sockets()->Util()->ByteArrayFromString(text);
    // Over TLS the request follows the end of the handshake in the same send.
    if (tls) {
        if (!tls->Send(bytes.data(), bytes.size())) {
            FailTls(tls->Error().empty() ? "the server ended the TLS session before the request" : tls->Error());
            return;
        }
        bytes = tls->TakeOutgoing();
    }
    // Send runs the queue while it waits: the answer may arrive before it returns.
    SetState(AwaitingResponse);
    const bool sent = SendBytes(socket, std::move(bytes));
    if (sent || serial != mRequestSerial) return;
    NotifyObjectError(3);
    if (serial == mRequestSerial) Reset();
}

// ---- Tunnel and handshake (https) -----------------------------------------------------------

void TavHTTPTransferMgr::StartTunnel() {
    const std::string authority = mOriginHost + ":" + std::to_string(mOriginPort);
    const std::string text = "CONNECT " + authority + " HTTP/1.0" + kCRLF + "Host: " + authority + kCRLF + kCRLF;
    const std::shared_ptr<TAVSocket> socket = mSocket;
    const uint64_t serial = mRequestSerial;
    mSetupStarted = std::chrono::steady_clock::now();
    SetState(Tunnelling);
    if (SendBytes(socket, mTCPMgr->Sockets()->Util()->ByteArrayFromString(text)) || serial != mRequestSerial) return;
    NotifyObjectError(3);
    if (serial == mRequestSerial) Reset();
}

void TavHTTPTransferMgr::ReceiveTunnelBytes(const uint8_t* data, size_t n) {
    const size_t before = mTunnelReply.size();
    mTunnelReply.append(reinterpret_cast<const char*>(data), n);
    const size_t at = mTunnelReply.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
    if (at == std::string::npos || at + 4 > kMaxHeaderBytes) {
        if (mTunnelReply.size() >= kMaxHeaderBytes) FailTls("the proxy's answer to CONNECT did not end");
        return;
    }
    const size_t end = at + 4;
    // The proxy's answer is the header block this request got, should it refuse.
    mHeaderBuffer = mTunnelReply.substr(0, end);
    const size_t space = mHeaderBuffer.find(' ');
    const std::string status = space == std::string::npos ? "" : mHeaderBuffer.substr(space + 1, 3);
    if (status.size() != 3 || status[0] != '2') {
        const size_t lineEnd = mHeaderBuffer.find(kCRLF);
        const size_t from = space == std::string::npos ? lineEnd : space + 5;
        const std::string reason = lineEnd > from ? mHeaderBuffer.substr(from, lineEnd - from) : std::string();
        FailRequest(false, 0, status, reason);
        return;
    }
    mHeaderBuffer.clear();
    // Bytes after the answer are the server's: they go to the handshake.
    const size_t offset = end - before;
    mTunnelReply.clear();
    StartHandshake(data + offset, n - offset);
}

void TavHTTPTransferMgr::StartHandshake(const uint8_t* early, size_t n) {
    if (mState != Tunnelling) mSetupStarted = std::chrono::steady_clock::now();
    if (!mTlsContext) {
        std::string error;
        TlsContext::Settings settings;
        settings.caFile = mCAFile;
        settings.caFolder = mCAFolder;
        settings.verify = !mAcceptAnyCertificate;
        mTlsContext = TlsContext::Create(settings, error);
        if (!mTlsContext) {
            FailTls(error);
            return;
        }
    }
    std::string error;
    const std::string host = Tunnelled() ? mOriginHost : mHost;
    std::shared_ptr<TlsChannel> tls = TlsChannel::Create(mTlsContext, host, nullptr, error);
    if (!tls) {
        FailTls(error);
        return;
    }
    mTls = tls;
    SetState(Handshaking);
    // The ClientHello (and an answer to whatever came early) goes out at once.
    if (tls->Receive(early, n) == TlsChannel::Phase::Failed) {
        FailTls(tls->Error());
        return;
    }
    const std::shared_ptr<TAVSocket> socket = mSocket;
    const uint64_t serial = mRequestSerial;
    if (SendBytes(socket, tls->TakeOutgoing()) || serial != mRequestSerial) return;
    NotifyObjectError(3);
    if (serial == mRequestSerial) Reset();
}

void TavHTTPTransferMgr::ReceiveTls(const ByteArray& chunk) {
    // Held for the call: a receiver may end the request (and drop the channel) on the way.
    const std::shared_ptr<TlsChannel> tls = mTls;
    const std::shared_ptr<TAVSocket> socket = mSocket;
    const bool handshaking = mState == Handshaking;
    const TlsChannel::Phase phase = tls->Receive(chunk.data(), chunk.size());
    if (phase == TlsChannel::Phase::Failed) {
        FailTls(tls->Error());
        return;
    }
    const uint64_t serial = mRequestSerial;
    if (handshaking) {
        if (phase == TlsChannel::Phase::Handshaking) {
            if (tls->HasOutgoing()) SendBytes(socket, tls->TakeOutgoing());
            return;
        }
        mTlsVersion = tls->Version();
        mTlsCipher = tls->Cipher();
        // Plain bytes cannot precede the request, but none is dropped should they come.
        const ByteArray early(tls->PlainData(), tls->PlainData() + tls->PlainSize());
        SendRequest();
        if (serial != mRequestSerial || mState != AwaitingResponse || early.empty()) return;
        ReceivePlain(early.data(), early.size());
        return;
    }
    // The answer records (key updates) are taken before the plain bytes run host code.
    ByteArray answer = tls->HasOutgoing() ? tls->TakeOutgoing() : ByteArray();
    if (tls->PlainSize() > 0) ReceivePlain(tls->PlainData(), tls->PlainSize());
    if (!answer.empty() && serial == mRequestSerial && mState == AwaitingResponse) SendBytes(socket, std::move(answer));
}

void TavHTTPTransferMgr::FailTls(const std::string& reason) {
    mTlsError = reason;
    FailRequest(true, kObjectErrorTLS, "", "");
}

// ---- Response -------------------------------------------------------------------------------

void TavHTTPTransferMgr::TCPMgr_DataReceived(const std::shared_ptr<TAVSocket>& SourceSocket, Variant& Info) {
    if (!mSocket || SourceSocket != mSocket || !Info.IsByteArray()) return;
    if (mState != AwaitingResponse && mState != Tunnelling && mState != Handshaking) return;
    MarkProgress();
    const ByteArray& chunk = Info.AsBytes();
    const size_t got = chunk.size();
    if (mState == Tunnelling)
        ReceiveTunnelBytes(chunk.data(), chunk.size());
    else if (mTls)
        ReceiveTls(chunk);
    else
        ReceivePlain(chunk.data(), chunk.size());
    // The body's bytes come until the server closes; with a plain announced length, the rest
    // of it is sure to come too (through TLS the records' framing makes the count inexact).
    if (mBatching && mSocket == SourceSocket && mState == AwaitingResponse && mHeadersComplete) {
        const bool counted = !mTls && mLengthAnnounced && mContentLength > 0;
        mBatching->AfterRead(mSocket, got, counted ? std::max<int64_t>(0, mContentLength - mReceived) : -1);
    }
}

void TavHTTPTransferMgr::ReceivePlain(const uint8_t* data, size_t n) {
    if (mHeadersComplete)
        ReceiveBody(data, n);
    else
        ReceiveHeaderBytes(data, n);
}

void TavHTTPTransferMgr::ReceiveHeaderBytes(const uint8_t* data, size_t n) {
    const size_t before = mHeaderBuffer.size();
    mHeaderBuffer.append(reinterpret_cast<const char*>(data), n);
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
    if (offset < n) ReceiveBody(data + offset, n - offset);
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
    if (!mSocket || SourceSocket != mSocket) return;
    if (mState == Tunnelling)
        FailTls("the proxy closed the connection before it answered CONNECT");
    else if (mState == Handshaking)
        FailTls("the server closed the connection during the TLS handshake");
    else if (mState == AwaitingResponse)
        FinishResponse();
}

void TavHTTPTransferMgr::FinishResponse() {
    if (mContentLength >= 1 && mContentLength < mReceived - 4) {
        FailRequest(true, 4, "", "");
        return;
    }
    const uint64_t serial = mRequestSerial;
    if (mOutput) {
        if (!mOutput->Commit()) {
            FailRequest(true, kObjectErrorWrite, "", "");
            return;
        }
        mOutput.reset();
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
    const auto now = std::chrono::steady_clock::now();
    if ((mState == Tunnelling || mState == Handshaking) && mHandshakeTimeout > 0 &&
        now - mSetupStarted >= std::chrono::milliseconds(mHandshakeTimeout)) {
        FailTls("the TLS handshake did not finish within " + Seconds(mHandshakeTimeout) + " s");
        return;
    }
    if (mState == Idle || mTimeout <= 0) {
        UpdateTimer();
        return;
    }
    if (now - mLastProgress < std::chrono::milliseconds(mTimeout)) return;
    if (mLookupHandle != 0) mTCPMgr->Sockets()->CancelAsyncRequest(mLookupHandle);
    mLookupHandle = 0;
    FailRequest(true, kObjectErrorTimeout, "", "");
}

}  // namespace tav
