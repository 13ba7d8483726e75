// TavHTTPTransferMgr: life cycle, properties, URL parsing, starting and abandoning requests,
// notifications.
#include <tavsock/TavHTTPTransferMgr.hpp>

#include "core/SockAddrAccess.hpp"
#include "base/SockErrors.hpp"
#include "platform/RaiseEvent.hpp"
#include "platform/SockIntf.hpp"
#include "platform/Timer.hpp"
#include "transfer/HttpOutputFile.hpp"
#include "transfer/ReceiveBatching.hpp"
#include "transfer/TlsChannel.hpp"
#include "transfer/TlsContext.hpp"

#include <algorithm>
#include <limits>

namespace tav {

namespace {
constexpr int32_t kErrMalformedURL = 4;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

/// The value of the leading decimal digits of `text` (0 when there are none), held at the
/// largest Long.
int32_t LeadingNumber(const std::string& text) {
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = std::min<int64_t>(value * 10 + (c - '0'), std::numeric_limits<int32_t>::max());
    }
    return static_cast<int32_t>(value);
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const size_t n = std::char_traits<char>::length(prefix);
    return text.size() >= n && Lower(text.substr(0, n)) == prefix;
}

struct UrlParts {
    bool secure = false;
    std::string host;
    int32_t port = 80;
    std::string target;
};

/// Host, port and path of a URL ("http://" or "https://" optional, any case) or of a proxy
/// (only "http://", no path); raises library error 4 when malformed.
UrlParts SplitURL(const std::string& source, bool isProxy) {
    UrlParts p;
    std::string rest = source;
    if (StartsWithNoCase(source, "http://")) {
        if (source.size() < 8) RaiseSockError(kErrMalformedURL);
        rest = source.substr(7);
    } else if (!isProxy && StartsWithNoCase(source, "https://")) {
        if (source.size() < 9) RaiseSockError(kErrMalformedURL);
        rest = source.substr(8);
        p.secure = true;
        p.port = 443;
    }
    const size_t slash = rest.find('/');
    if (slash == std::string::npos) {
        p.host = rest;
        p.target.assign(1, '/');  // (assigning the literal trips a false -Wrestrict in GCC 12)
    } else {
        if (isProxy || slash == 0) RaiseSockError(kErrMalformedURL);
        p.host = rest.substr(0, slash);
        p.target = rest.substr(slash);
    }
    const size_t colon = p.host.find(':');
    if (colon != std::string::npos) {
        if (colon == 0 || colon + 1 == p.host.size()) RaiseSockError(kErrMalformedURL);
        p.port = LeadingNumber(p.host.substr(colon + 1));
        // The server address keeps 16 bits of the port: a larger number would silently
        // connect to another port (65616 to 80).
        if (p.port > 65535) RaiseSockError(kErrMalformedURL);
        p.host.resize(colon);
    }
    return p;
}
}  // namespace

std::shared_ptr<TavHTTPTransferMgr> TavHTTPTransferMgr::Create() {
    std::shared_ptr<TavHTTPTransferMgr> mgr(new TavHTTPTransferMgr());
    mgr->Initialize();
    return mgr;
}

TavHTTPTransferMgr::TavHTTPTransferMgr() = default;

void TavHTTPTransferMgr::Initialize() {
    mTCPMgr = TavTCPSocketMgr::Create();
    mTCPMgr->InternalEarlyBound(true);

    // Every handler holds the manager for its call (a receiver may let go of it) and refers to
    // it weakly in between: the TCP manager it owns must not keep it alive.
    const std::weak_ptr<TavHTTPTransferMgr> weak = WeakFromThisAs<TavHTTPTransferMgr>();
    auto& s = mSubscriptions;
    s.push_back(mTCPMgr->HostResolved.Subscribe([weak](int32_t h, const std::shared_ptr<TAVHostInfo>& host) {
        if (auto self = weak.lock()) self->TCPMgr_HostResolved(h, host);
    }));
    s.push_back(mTCPMgr->AsyncError.Subscribe([weak](int32_t h, int32_t error) {
        if (auto self = weak.lock()) self->TCPMgr_AsyncError(h, error);
    }));
    s.push_back(mTCPMgr->ConnectComplete.Subscribe([weak](const std::shared_ptr<TAVSocket>& skt) {
        if (auto self = weak.lock()) self->TCPMgr_ConnectComplete(skt);
    }));
    s.push_back(mTCPMgr->DataReceived.Subscribe([weak](const std::shared_ptr<TAVSocket>& skt, Variant& info) {
        if (auto self = weak.lock()) self->TCPMgr_DataReceived(skt, info);
    }));
    s.push_back(mTCPMgr->SocketClosed.Subscribe([weak](const std::shared_ptr<TAVSocket>& skt) {
        if (auto self = weak.lock()) self->TCPMgr_SocketClosed(skt);
    }));
    s.push_back(mTCPMgr->SocketError.Subscribe([weak](const std::shared_ptr<TAVSocket>& skt, int32_t error) {
        if (auto self = weak.lock()) self->TCPMgr_SocketError(skt, error);
    }));

    tmrTimeout = std::make_unique<platform::Timer>();
    mBatching = std::make_unique<ReceiveBatching>();
    s.push_back(tmrTimeout->Tick.Subscribe([weak] {
        if (auto self = weak.lock()) self->tmrTimeout_Tick();
    }));
}

TavHTTPTransferMgr::~TavHTTPTransferMgr() {
    Reset();
    for (EventConnection& c : mSubscriptions) c.Disconnect();
    mSubscriptions.clear();
    tmrTimeout.reset();
    mBatching.reset();
    if (mTCPMgr) mTCPMgr->InternalEarlyBound(false);
    mCallback.reset();
    mTCPMgr.reset();
}

// ---- Properties -----------------------------------------------------------------------------

void TavHTTPTransferMgr::URL(const std::string& value) {
    if (value == mURL) return;
    mServerAddr.reset();
    mURL = value;
    if (mProxy.empty()) {
        ParseURL();
    } else {
        mTarget = mURL;
        ParseOrigin();
    }
}

void TavHTTPTransferMgr::Proxy(const std::string& value) {
    if (value == mProxy) return;
    mProxy = value;
    ParseURL();
}

void TavHTTPTransferMgr::RetrieveMode(int32_t value) {
    if (value != TAVRetrieveText && value != TAVRetrieveByteArray) RaiseSockError(kErrInvalidParameter);
    mRetrieveMode = value;
}

void TavHTTPTransferMgr::Timeout(int32_t ms) {
    if (ms < 0) RaiseSockError(kErrInvalidParameter);
    mTimeout = ms;
    UpdateTimer();
}

void TavHTTPTransferMgr::TLSCAFile(const std::string& path) {
    mCAFile = path;
    mTlsContext.reset();
}

void TavHTTPTransferMgr::TLSCAFolder(const std::string& path) {
    mCAFolder = path;
    mTlsContext.reset();
}

void TavHTTPTransferMgr::DangerouslyAcceptAnyCertificate(bool value) {
    mAcceptAnyCertificate = value;
    mTlsContext.reset();
}

void TavHTTPTransferMgr::TLSHandshakeTimeout(int32_t ms) {
    if (ms < 0) RaiseSockError(kErrInvalidParameter);
    mHandshakeTimeout = ms;
    UpdateTimer();
}

void TavHTTPTransferMgr::SetState(int32_t state) {
    mState = state;
    UpdateTimer();
}

void TavHTTPTransferMgr::UpdateTimer() {
    if (!tmrTimeout) return;
    // Checked about four times per period of the shorter limit that applies.
    int32_t period = mTimeout;
    const bool settingUp = mState == Tunnelling || mState == Handshaking;
    if (settingUp && mHandshakeTimeout > 0 && (period == 0 || mHandshakeTimeout < period)) period = mHandshakeTimeout;
    if (mState == Idle || period == 0) {
        tmrTimeout->Enabled(false);
        return;
    }
    const int32_t interval = std::max(1, period / 4);
    if (!tmrTimeout->Enabled() || tmrTimeout->Interval() != interval) {
        tmrTimeout->Interval(interval);
        tmrTimeout->Enabled(true);
    }
}

// ---- URL ------------------------------------------------------------------------------------

void TavHTTPTransferMgr::ParseURL() {
    mServerAddr.reset();
    mTarget.clear();
    mPort = 80;
    if (mProxy.empty()) {
        mSecure = false;
        const UrlParts p = SplitURL(mURL, false);
        mSecure = p.secure;
        mHost = p.host;
        mPort = p.port;
        mTarget = p.target;
        return;
    }
    const UrlParts p = SplitURL(mProxy, true);
    mHost = p.host;
    mPort = p.port;
    // Through a proxy the request line carries the whole URL (for https: see ParseOrigin).
    mTarget = mURL;
    ParseOrigin();
}

void TavHTTPTransferMgr::ParseOrigin() {
    // An https URL through a proxy goes through a tunnel to the server it names, which then
    // gets the path only; an http URL is the proxy's business and is not parsed here.
    mSecure = StartsWithNoCase(mURL, "https://");
    if (!mSecure) return;
    const UrlParts o = SplitURL(mURL, false);
    mOriginHost = o.host;
    mOriginPort = o.port;
    mOriginTarget = o.target;
}

void TavHTTPTransferMgr::BuildServerAddress(int32_t netAddr) {
    mServerAddr = TAVSockAddr::Create();
    SockAddrAccess::SetNetAddress(*mServerAddr, netAddr);
    mServerAddr->Port(static_cast<int16_t>(mPort));
}

// ---- Starting and abandoning ----------------------------------------------------------------

int32_t TavHTTPTransferMgr::Execute(const std::string& URL, const std::string& Operation, const std::string& Data,
                                    const std::string& Headers, const std::string& OutputFile) {
    return Execute2(URL, Operation, Data, Headers, OutputFile, "application/x-www-form-urlencoded");
}

int32_t TavHTTPTransferMgr::Execute2(const std::string& URL, const std::string& Operation, const std::string& Data,
                                     const std::string& Headers, const std::string& OutputFile,
                                     const std::string& ContentType) {
    if (mState != Idle) RaiseSockError(kErrInvalidState);
    mContentType = ContentType;
    mOutputFileName = OutputFile;

    auto start = [&]() -> int32_t {
        if (!URL.empty()) this->URL(URL);
        mOperation = Operation;
        mData = Data;
        mHeaders = Headers;
        MarkProgress();
        if (mServerAddr) {
            StartConnection();
            return 0;
        }
        const int32_t address = mTCPMgr->Sockets()->Util()->NetAddrFromDottedStr(mHost);
        if (address != -1) {
            BuildServerAddress(address);
            StartConnection();
            return 0;
        }
        SetState(Resolving);
        mLookupHandle = mTCPMgr->WSAAsyncGetHostByName(mHost);
        if (mLookupHandle != 0) return 0;
        const int32_t error = sockintf::intWSAGetLastError();
        CloseOutput(false);
        SetState(Idle);
        return error;
    };

    if (OutputFile.empty()) return start();
    try {
        mOutput = HttpOutputFile::Open(OutputFile);
        if (!mOutput) RaiseSockError(kErrHostFile);
        return start();
    } catch (...) {
        // Nothing of this request stays behind: the file it made goes with it.
        if (mState == Idle) CloseOutput(true);
        RaiseSockError(kErrHostFile);
    }
}

void TavHTTPTransferMgr::ClearResponse() {
    mTextBuffer.clear();
    mByteBuffer.assign(1, 0);
    mReceived = 0;
    mHeaderBuffer.clear();
    mHeadersComplete = false;
    mLengthAnnounced = false;
    mTls.reset();
    mTunnelReply.clear();
    mTlsError.clear();
    mTlsVersion.clear();
    mTlsCipher.clear();
}

void TavHTTPTransferMgr::StartConnection() {
    ClearResponse();

    // The last request's socket was kept until now.
    if (mSocket) mTCPMgr->DestroySocket(std::exchange(mSocket, nullptr));
    mSocket = mTCPMgr->CreateClientSocket(TAVSockAddr::Create());  // raises on failure
    if (!mSocket) {
        AbandonStart();
        return;
    }
    mSocket->DataMode(DataMode_Binary);

    // Connect runs the queue: on loopback the connection (and more) may be done when it
    // returns, so the state is set first.
    const std::shared_ptr<TAVSocket> socket = mSocket;
    const uint64_t serial = ++mRequestSerial;
    SetState(Connecting);
    const int32_t r = socket->Connect(mServerAddr);
    if (serial != mRequestSerial || mState != Connecting) return;
    if (r != 0 && socket->LastError() != sockintf::WSAEWOULDBLOCK) AbandonStart();
}

void TavHTTPTransferMgr::AbandonStart() {
    CloseOutput(false);
    if (mSocket) mTCPMgr->DestroySocket(std::exchange(mSocket, nullptr));
    mLookupHandle = 0;
    SetState(Idle);
    ++mRequestSerial;
    NotifyObjectError(3);
}

void TavHTTPTransferMgr::Reset() {
    if (mLookupHandle != 0 && mTCPMgr) mTCPMgr->Sockets()->CancelAsyncRequest(mLookupHandle);
    mLookupHandle = 0;
    CloseOutput(false);
    if (mSocket && mTCPMgr) mTCPMgr->DestroySocket(mSocket);
    mSocket.reset();
    mTls.reset();
    SetState(Idle);
    ++mRequestSerial;
}

void TavHTTPTransferMgr::CloseOutput(bool discard) {
    if (!mOutput) return;
    mOutput->Close(discard);
    mOutput.reset();
}

// ---- Notifications --------------------------------------------------------------------------
// Each goes to the callback object when one is set, else out as the event; what a receiver
// throws is absorbed. The manager is held for the call: a receiver may let go of it.

void TavHTTPTransferMgr::NotifyDataReceived(Variant& data) {
    const auto self = SharedFromThisAs<TavHTTPTransferMgr>();
    try {
        if (const auto cb = mCallback)
            cb->HTTPDataReceived(self, data);
        else
            RaiseEvent(HTTPDataReceived, data);
    } catch (...) {
    }
}

void TavHTTPTransferMgr::NotifyDataTransferred() {
    const auto self = SharedFromThisAs<TavHTTPTransferMgr>();
    const auto count = static_cast<int32_t>(std::min<int64_t>(mReceived, std::numeric_limits<int32_t>::max()));
    try {
        if (const auto cb = mCallback)
            cb->HTTPDataTransferred(self, count);
        else
            RaiseEvent(HTTPDataTransferred, count);
    } catch (...) {
    }
}

void TavHTTPTransferMgr::NotifyObjectError(int32_t code) {
    const auto self = SharedFromThisAs<TavHTTPTransferMgr>();
    try {
        if (const auto cb = mCallback)
            cb->HTTPObjectError(self, code);
        else
            RaiseEvent(HTTPObjectError, code);
    } catch (...) {
    }
}

void TavHTTPTransferMgr::NotifyReady() {
    const auto self = SharedFromThisAs<TavHTTPTransferMgr>();
    try {
        if (const auto cb = mCallback)
            cb->HTTPReady(self, 0);
        else
            RaiseEvent(HTTPReady, 0);
    } catch (...) {
    }
}

void TavHTTPTransferMgr::NotifyError(const std::string& status, const std::string& reason) {
    const auto self = SharedFromThisAs<TavHTTPTransferMgr>();
    try {
        if (const auto cb = mCallback)
            cb->HTTPError(self, status, reason);
        else
            RaiseEvent(HTTPError, status, reason);
    } catch (...) {
    }
}

}  // namespace tav
