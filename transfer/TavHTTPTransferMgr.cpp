// TavHTTPTransferMgr: the public members over the private implementation, and the
// implementation's life cycle, properties, and the start and abandoning of requests.
#include <tavsock/TavHTTPTransferMgr.hpp>

#include "base/SockErrors.hpp"
#include "platform/SockIntf.hpp"
#include "transfer/HttpTransferMgrImpl.hpp"

#include <algorithm>
#include <limits>

namespace tav {

static_assert(TavHTTPTransferMgr::kMaxHeaderBytes == HttpHead::kMaxBytes);

// ---- The public members -----------------------------------------------------------------------

std::shared_ptr<TavHTTPTransferMgr> TavHTTPTransferMgr::Create() {
    std::shared_ptr<TavHTTPTransferMgr> mgr(new TavHTTPTransferMgr());
    mgr->mImpl = std::make_unique<Impl>(mgr);
    return mgr;
}

TavHTTPTransferMgr::TavHTTPTransferMgr() = default;

TavHTTPTransferMgr::~TavHTTPTransferMgr() {
    if (mImpl) mImpl->Reset();
}

std::shared_ptr<ITavHTTPNotify> TavHTTPTransferMgr::CallbackObject() const { return mImpl->route.Object(); }
void TavHTTPTransferMgr::CallbackObject(std::shared_ptr<ITavHTTPNotify> callback) {
    mImpl->route.Object(std::move(callback));
}
const std::string& TavHTTPTransferMgr::URL() const noexcept { return mImpl->urlText; }
void TavHTTPTransferMgr::URL(const std::string& value) { mImpl->URL(value); }
const std::string& TavHTTPTransferMgr::Proxy() const noexcept { return mImpl->proxy; }
void TavHTTPTransferMgr::Proxy(const std::string& value) { mImpl->Proxy(value); }
int32_t TavHTTPTransferMgr::RetrieveMode() const noexcept { return mImpl->retrieveMode; }
void TavHTTPTransferMgr::RetrieveMode(int32_t value) {
    if (value != TAVRetrieveText && value != TAVRetrieveByteArray) RaiseSockError(kErrInvalidParameter);
    mImpl->retrieveMode = value;
}
const std::string& TavHTTPTransferMgr::HTTPHeader() const noexcept {
    // A proxy's answer to CONNECT is kept only while it arrives and when it refused.
    const Impl& d = *mImpl;
    return d.tunnelAnswer.Text().empty() ? d.response.Head().Text() : d.tunnelAnswer.Text();
}
int32_t TavHTTPTransferMgr::Timeout() const noexcept { return mImpl->watchdog.Timeout(); }
void TavHTTPTransferMgr::Timeout(int32_t ms) { mImpl->watchdog.SetTimeout(ms); }
int64_t TavHTTPTransferMgr::ContentLength() const noexcept { return mImpl->response.ContentLength(); }
int64_t TavHTTPTransferMgr::BytesReceived() const noexcept { return mImpl->response.BytesReceived(); }
bool TavHTTPTransferMgr::ReplaceWhenComplete() const noexcept { return mImpl->replaceWhenComplete; }
void TavHTTPTransferMgr::ReplaceWhenComplete(bool value) noexcept { mImpl->replaceWhenComplete = value; }
const std::string& TavHTTPTransferMgr::OutputFileError() const noexcept { return mImpl->outputFileError; }
std::string TavHTTPTransferMgr::RedirectURL() const {
    const std::string location = mImpl->response.Head().Field("Location");
    return location.empty() ? std::string() : HttpUrl::Resolve(mImpl->urlText, location);
}
int64_t TavHTTPTransferMgr::RestartAt() const noexcept { return mImpl->restartAt; }
void TavHTTPTransferMgr::RestartAt(int64_t offset) {
    if (offset < 0) RaiseSockError(kErrInvalidParameter);
    mImpl->restartAt = offset;
}
const std::string& TavHTTPTransferMgr::UserAgent() const noexcept { return mImpl->userAgent; }
void TavHTTPTransferMgr::UserAgent(const std::string& value) {
    // A control character would end the line and start another header.
    if (std::any_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        RaiseSockError(kErrInvalidParameter);
    mImpl->userAgent = value;
}
int32_t TavHTTPTransferMgr::RequestState() const noexcept { return mImpl->state; }
TAV_DEFINE_TLS_PROPERTIES(TavHTTPTransferMgr, mImpl->tls)

int32_t TavHTTPTransferMgr::Execute2(const std::string& URL, const std::string& Operation, const std::string& Data,
                                     const std::string& Headers, const std::string& OutputFile,
                                     const std::string& ContentType) {
    return mImpl->Execute2(URL, Operation, Data, Headers, OutputFile, ContentType);
}
int32_t TavHTTPTransferMgr::Execute(const std::string& URL, const std::string& Operation, const std::string& Data,
                                    const std::string& Headers, const std::string& OutputFile) {
    return Execute2(URL, Operation, Data, Headers, OutputFile, "application/x-www-form-urlencoded");
}
void TavHTTPTransferMgr::Reset() { mImpl->Reset(); }

// ---- Life cycle ----------------------------------------------------------------------------------

TavHTTPTransferMgr::Impl::Impl(std::weak_ptr<TavHTTPTransferMgr> owner)
    : self(std::move(owner)), watchdog([this](TransferWatchdog::Expiry e) { Watchdog_Expired(e); }) {
    tcp = TavTCPSocketMgr::Create();
    tcp->InternalEarlyBound(true);

    subscriptions = TcpEventSink::Subscribe(*tcp, self, *this);
}

TavHTTPTransferMgr::Impl::~Impl() {
    subscriptions.clear();
    batching.Stop();
    tcp->InternalEarlyBound(false);
    route.Object(nullptr);
}

// ---- Properties -----------------------------------------------------------------------------

void TavHTTPTransferMgr::Impl::URL(const std::string& value) {
    if (value == urlText) return;
    serverAddr.reset();
    urlText = value;
    if (proxy.empty()) {
        ParseURL();
    } else {
        url.target = urlText;
        ParseOrigin();
    }
}

void TavHTTPTransferMgr::Impl::Proxy(const std::string& value) {
    if (value == proxy) return;
    proxy = value;
    ParseURL();
}

void TavHTTPTransferMgr::Impl::ParseURL() {
    serverAddr.reset();
    url = HttpUrl{};
    url.target.clear();
    if (proxy.empty()) {
        url = HttpUrl::Parse(urlText, false);
        return;
    }
    url = HttpUrl::Parse(proxy, true);
    // Through a proxy the request line carries the whole URL (for https: see ParseOrigin).
    url.target = urlText;
    ParseOrigin();
}

void TavHTTPTransferMgr::Impl::ParseOrigin() {
    // An https URL through a proxy goes through a tunnel to the server it names, which then
    // gets the path only; an http URL is the proxy's business, but what goes on its request
    // line is checked and encoded all the same.
    url.secure = HttpUrl::StartsWithNoCase(urlText, "https://");
    if (url.secure)
        origin = HttpUrl::Parse(urlText, false);
    else
        url.target = HttpUrl::AbsoluteTarget(urlText);
}

void TavHTTPTransferMgr::Impl::SetState(State s) {
    state = s;
    if (s == Idle) watchdog.Stop();
}

void TavHTTPTransferMgr::Impl::BuildServerAddress(const std::string& address) {
    serverAddr = TAVSockAddr::Create();
    serverAddr->IPAddress(address);
    serverAddr->Port(static_cast<int16_t>(url.port));
}

bool TavHTTPTransferMgr::Impl::ConnectToNextAddress() {
    if (untried.empty()) return false;
    BuildServerAddress(untried.back());
    untried.pop_back();
    try {
        StartConnection();
    } catch (...) {
        // No socket could be made: the request ends here rather than staying where it was.
        if (state == Resolving || state == Connecting) AbandonStart();
    }
    return true;
}

// ---- Starting and abandoning ----------------------------------------------------------------

int32_t TavHTTPTransferMgr::Impl::Execute2(const std::string& URL, const std::string& Operation,
                                           const std::string& Data, const std::string& Headers,
                                           const std::string& OutputFile, const std::string& ContentType) {
    if (state != Idle) RaiseSockError(kErrInvalidState);
    request.contentType = ContentType;
    request.userAgent = userAgent;
    request.operation = Operation;
    request.data = Data;
    request.headers = Headers;
    outputFileError.clear();
    request.rangeFrom = 0;
    if (OutputFile.empty()) return Start(URL);
    try {
        const auto replace = replaceWhenComplete ? LocalFile::Replace::WhenComplete : LocalFile::Replace::Now;
        request.rangeFrom = restartAt;
        std::unique_ptr<LocalFile> file = restartAt > 0 ? LocalFile::OpenForAppend(OutputFile, restartAt, outputFileError)
                                                        : LocalFile::OpenForWrite(OutputFile, replace, outputFileError);
        if (!file) RaiseSockError(kErrHostFile);
        if (restartAt > 0)
            response.Resume(std::move(file), restartAt, OutputFile, replace);
        else
            response.Output(std::move(file));
        return Start(URL);
    } catch (...) {
        // Nothing of this request stays behind: the file it made goes with it.
        if (state == Idle) response.CloseOutput(true);
        RaiseSockError(kErrHostFile);
    }
}

int32_t TavHTTPTransferMgr::Impl::Start(const std::string& URL) {
    if (!URL.empty()) this->URL(URL);
    watchdog.Start();
    if (serverAddr) {
        StartConnection();
        return 0;
    }
    // An address (dotted IPv4, or IPv6 from brackets) is connected to as it is.
    if (url.Ipv6() || tcp->Sockets()->Util()->NetAddrFromDottedStr(url.host) != -1) {
        BuildServerAddress(url.host);
        if (!url.Ipv6() || serverAddr->Family() == 23) {
            StartConnection();
            return 0;
        }
        // A zone that names no interface of this machine leaves no address for the host.
        serverAddr.reset();
        response.CloseOutput(true);
        EndRequest();
        NotifyObjectError(1);
        return 0;
    }
    SetState(Resolving);
    lookupHandle = tcp->WSAAsyncGetHostByName(url.host);
    if (lookupHandle != 0) return 0;
    const int32_t error = sockintf::intWSAGetLastError();
    response.CloseOutput(true);
    SetState(Idle);
    return error;
}

void TavHTTPTransferMgr::Impl::StartConnection() {
    response.Begin(retrieveMode == TAVRetrieveByteArray, request.operation == "HEAD");
    cut = false;
    tunnelAnswer.Clear();
    channel.reset();
    tls.ClearResults();

    // The last request's socket was kept until now.
    if (socket) tcp->DestroySocket(std::exchange(socket, nullptr));
    socket = tcp->CreateClientSocket(TAVSockAddr::Create());  // raises on failure
    if (!socket) {
        AbandonStart();
        return;
    }
    socket->DataMode(DataMode_Binary);

    // Connect runs the queue: on loopback the connection (and more) may be done when it
    // returns, so the state is set first.
    const std::shared_ptr<TAVSocket> s = socket;
    guard.Advance();
    const uint64_t generation = guard.Generation();
    SetState(Connecting);
    const int32_t r = s->Connect(serverAddr);
    if (guard.Moved(generation) || state != Connecting) return;
    if (r != 0 && s->LastError() != sockintf::WSAEWOULDBLOCK && !ConnectToNextAddress()) AbandonStart();
}

void TavHTTPTransferMgr::Impl::AbandonStart() {
    serverAddr.reset();  // the next request looks the name up again and tries every address
    response.CloseOutput(true);
    if (socket) tcp->DestroySocket(std::exchange(socket, nullptr));
    lookupHandle = 0;
    EndRequest();
    NotifyObjectError(3);
}

void TavHTTPTransferMgr::Impl::Reset() {
    if (lookupHandle != 0) tcp->Sockets()->CancelAsyncRequest(lookupHandle);
    lookupHandle = 0;
    response.CloseOutput(false);
    if (socket) tcp->DestroySocket(socket);
    socket.reset();
    channel.reset();
    batching.Stop();
    EndRequest();
}

void TavHTTPTransferMgr::Impl::EndRequest() {
    untried.clear();
    SetState(Idle);
    guard.Advance();
}

// ---- Notifications --------------------------------------------------------------------------
// The manager is held for each call: a receiver may let go of it.

void TavHTTPTransferMgr::Impl::NotifyObjectError(int32_t code) {
    if (const auto owner = self.lock()) route(owner, &ITavHTTPNotify::HTTPObjectError, owner->HTTPObjectError, code);
}

void TavHTTPTransferMgr::Impl::NotifyError(const std::string& status, const std::string& reason) {
    if (const auto owner = self.lock()) route(owner, &ITavHTTPNotify::HTTPError, owner->HTTPError, status, reason);
}

void TavHTTPTransferMgr::Impl::NotifyDataTransferred() {
    const auto count = static_cast<int32_t>(
        std::min<int64_t>(response.BytesReceived(), std::numeric_limits<int32_t>::max()));
    if (const auto owner = self.lock())
        route(owner, &ITavHTTPNotify::HTTPDataTransferred, owner->HTTPDataTransferred, count);
}

void TavHTTPTransferMgr::Impl::NotifyDataReceived(Variant& data) {
    if (const auto owner = self.lock()) route(owner, &ITavHTTPNotify::HTTPDataReceived, owner->HTTPDataReceived, data);
}

void TavHTTPTransferMgr::Impl::NotifyReady() {
    if (const auto owner = self.lock()) route(owner, &ITavHTTPNotify::HTTPReady, owner->HTTPReady, 0);
}

}  // namespace tav
