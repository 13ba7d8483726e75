// TavHTTPTransferMgr's request on its way through the TCP manager's events: look-up, connect,
// tunnel and handshake (https), request, response, end; and the watchdog's verdict.
#include "transfer/HttpTransferMgrImpl.hpp"

#include "platform/SockIntf.hpp"

#include <algorithm>

namespace tav {

// ---- Look-up and connection -------------------------------------------------------------------

void TavHTTPTransferMgr::Impl::TCPMgr_HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) {
    if (AsyncHandle == 0 || AsyncHandle != lookupHandle || state != Resolving) return;
    if (!HostObject || HostObject->IPAddressCount() < 1) {
        TCPMgr_AsyncError(AsyncHandle, 0);
        return;
    }
    lookupHandle = 0;
    watchdog.Progress();
    // Every address of the name, IPv4 first: a name with IPv6 addresses only is reached too,
    // and one whose first address refuses is tried at the next.
    untried.clear();  // last first: the next to try is at the back
    for (int32_t i = HostObject->IPAddressCount(); i >= 1; --i) untried.push_back(HostObject->IPAddress(i));
    ConnectToNextAddress();
}

void TavHTTPTransferMgr::Impl::TCPMgr_AsyncError(int32_t AsyncHandle, int32_t /*ErrorCode*/) {
    if (AsyncHandle == 0 || AsyncHandle != lookupHandle) return;
    lookupHandle = 0;
    response.CloseOutput(true);
    EndRequest();
    NotifyObjectError(1);
}

void TavHTTPTransferMgr::Impl::TCPMgr_ConnectComplete(const std::shared_ptr<TAVSocket>& SourceSocket) {
    if (!socket || SourceSocket != socket || state != Connecting) return;
    watchdog.Progress();
    if (!url.secure)
        SendRequest();
    else if (Tunnelled())
        StartTunnel();
    else
        StartHandshake(nullptr, 0);
}

// ---- Sending ------------------------------------------------------------------------------------

bool TavHTTPTransferMgr::Impl::SendBytes(const std::shared_ptr<TAVSocket>& s, ByteArray bytes) {
    try {
        s->Send(Variant(std::move(bytes)));
        return s->BytesSent() > 0 || s->LastError() == sockintf::WSAEWOULDBLOCK;
    } catch (...) {
        return false;
    }
}

bool TavHTTPTransferMgr::Impl::SendOrReset(ByteArray bytes) {
    // Send runs the queue while it waits: the answer may arrive, or a receiver end the
    // request, before it returns.
    const uint64_t generation = guard.Generation();
    if (SendBytes(socket, std::move(bytes)) || guard.Moved(generation)) return !guard.Moved(generation);
    NotifyObjectError(3);
    if (!guard.Moved(generation)) Reset();
    return false;
}

void TavHTTPTransferMgr::Impl::SendRequest() {
    // Through a tunnel the server itself reads the request: the path and its own name.
    HttpRequest r = request;
    r.target = Tunnelled() ? origin.target : url.target;
    r.host = Tunnelled() ? origin.HostHeader() : url.HostHeader();
    ByteArray bytes = tcp->Sockets()->Util()->ByteArrayFromString(r.Text());
    // Over TLS the request follows the end of the handshake in the same send.
    if (const std::shared_ptr<TlsChannel> tlsChannel = channel) {
        if (!tlsChannel->Send(bytes.data(), bytes.size())) {
            FailTls(tlsChannel->Error().empty() ? "the server ended the TLS session before the request" : tlsChannel->Error());
            return;
        }
        bytes = tlsChannel->TakeOutgoing();
    }
    SetState(AwaitingResponse);
    SendOrReset(std::move(bytes));
}

// ---- Tunnel and handshake (https) -----------------------------------------------------------

void TavHTTPTransferMgr::Impl::StartTunnel() {
    watchdog.BeginSetup(tls.HandshakeTimeout());
    SetState(Tunnelling);
    SendOrReset(tcp->Sockets()->Util()->ByteArrayFromString(HttpRequest::ConnectText(origin.HostText(), origin.port)));
}

void TavHTTPTransferMgr::Impl::ReceiveTunnelBytes(const uint8_t* data, size_t n) {
    size_t used = 0;
    const HttpHead::Cut cut = tunnelAnswer.Take(data, n, used);
    if (cut == HttpHead::Cut::TooLong) FailTls("the proxy's answer to CONNECT did not end");
    if (cut != HttpHead::Cut::Complete) return;
    // The proxy's answer is the header block this request got, should it refuse.
    if (!tunnelAnswer.Success()) {
        FailRequest(false, 0, tunnelAnswer.Status(), tunnelAnswer.Reason());
        return;
    }
    tunnelAnswer.Clear();
    // Bytes after the answer are the server's: they go to the handshake.
    StartHandshake(data + used, n - used);
}

void TavHTTPTransferMgr::Impl::StartHandshake(const uint8_t* early, size_t n) {
    watchdog.BeginSetup(tls.HandshakeTimeout());
    std::shared_ptr<TlsChannel> tlsChannel = tls.OpenChannel(Tunnelled() ? origin.host : url.host);
    if (!tlsChannel) {
        FailTls(tls.Error());
        return;
    }
    channel = tlsChannel;
    SetState(Handshaking);
    // The ClientHello (and an answer to whatever came early) goes out at once.
    if (tlsChannel->Receive(early, n) == TlsChannel::Phase::Failed) {
        FailTls(tlsChannel->Error());
        return;
    }
    SendOrReset(tlsChannel->TakeOutgoing());
}

void TavHTTPTransferMgr::Impl::ReceiveTls(const ByteArray& chunk) {
    // Held for the call: a receiver may end the request (and drop the channel) on the way.
    const std::shared_ptr<TlsChannel> tlsChannel = channel;
    const std::shared_ptr<TAVSocket> s = socket;
    const bool handshaking = state == Handshaking;
    const TlsChannel::Phase phase = tlsChannel->Receive(chunk.data(), chunk.size());
    if (phase == TlsChannel::Phase::Failed) {
        FailTls(tlsChannel->Error());
        return;
    }
    const uint64_t generation = guard.Generation();
    if (handshaking) {
        if (phase == TlsChannel::Phase::Handshaking) {
            if (tlsChannel->HasOutgoing()) SendBytes(s, tlsChannel->TakeOutgoing());
            return;
        }
        watchdog.EndSetup();
        tls.Secured(*tlsChannel);
        // Plain bytes cannot precede the request, but none is dropped should they come.
        const ByteArray early(tlsChannel->PlainData(), tlsChannel->PlainData() + tlsChannel->PlainSize());
        SendRequest();
        if (guard.Moved(generation) || state != AwaitingResponse || early.empty()) return;
        ReceivePlain(early.data(), early.size());
        return;
    }
    // The answer records (key updates) are taken before the plain bytes run host code.
    ByteArray answer = tlsChannel->HasOutgoing() ? tlsChannel->TakeOutgoing() : ByteArray();
    if (tlsChannel->PlainSize() > 0) ReceivePlain(tlsChannel->PlainData(), tlsChannel->PlainSize());
    if (guard.Moved(generation) || state != AwaitingResponse) return;
    if (phase == TlsChannel::Phase::Closed) {
        // The server's close_notify ends the response as a plain close does. Servers may wait
        // for ours before they close the connection, so it goes now, and the connection with it.
        tlsChannel->Shutdown();
        const ByteArray alert = tlsChannel->TakeOutgoing();
        answer.insert(answer.end(), alert.begin(), alert.end());
    }
    if (!answer.empty()) SendBytes(s, std::move(answer));
    if (phase == TlsChannel::Phase::Closed && !guard.Moved(generation) && state == AwaitingResponse) EndByServer();
}

void TavHTTPTransferMgr::Impl::FailTls(const std::string& reason) {
    tls.Failed(reason);
    FailRequest(true, kObjectErrorTLS, "", "");
}

// ---- Response -------------------------------------------------------------------------------

void TavHTTPTransferMgr::Impl::TCPMgr_DataReceived(const std::shared_ptr<TAVSocket>& SourceSocket, Variant& Info) {
    if (!socket || SourceSocket != socket || !Info.IsByteArray()) return;
    if (state != AwaitingResponse && state != Tunnelling && state != Handshaking) return;
    watchdog.Progress();
    const ByteArray& chunk = Info.AsBytes();
    const size_t got = chunk.size();
    if (state == Tunnelling)
        ReceiveTunnelBytes(chunk.data(), chunk.size());
    else if (channel)
        ReceiveTls(chunk);
    else
        ReceivePlain(chunk.data(), chunk.size());
    // The body's bytes come until the server closes; with a plain announced length, the rest
    // of it is sure to come too (through TLS the records' framing makes the count inexact).
    if (socket == SourceSocket && state == AwaitingResponse && response.Head().Complete()) {
        const int64_t length = channel ? -1 : response.ContentLength();
        batching.AfterRead(socket, got, length > 0 ? std::max<int64_t>(0, length - response.BytesReceived()) : -1);
    }
}

void TavHTTPTransferMgr::Impl::ReceivePlain(const uint8_t* data, size_t n) {
    const int64_t before = response.BytesReceived();
    switch (response.Feed(data, n)) {
    case HttpResponse::Step::More: return;
    case HttpResponse::Step::Body: NotifyDataTransferred(); return;
    case HttpResponse::Step::Done: {
        const uint64_t generation = guard.Generation();
        if (response.BytesReceived() != before) NotifyDataTransferred();
        if (!guard.Moved(generation)) EndByServer();
        return;
    }
    case HttpResponse::Step::Refused:
        FailRequest(false, 0, response.Head().Status(), response.Head().Reason());
        return;
    case HttpResponse::Step::Broken: FailRequest(true, 4, "", ""); return;
    case HttpResponse::Step::WriteFailed:
        outputFileError = response.OutputError();
        FailRequest(true, kObjectErrorWrite, "", "");
        return;
    }
}

// ---- End ------------------------------------------------------------------------------------

void TavHTTPTransferMgr::Impl::TCPMgr_SocketClosed(const std::shared_ptr<TAVSocket>& SourceSocket) {
    if (!socket || SourceSocket != socket) return;
    if (state == Tunnelling)
        FailTls("the proxy closed the connection before it answered CONNECT");
    else if (state == Handshaking)
        FailTls("the server closed the connection during the TLS handshake");
    else if (state == AwaitingResponse)
        FinishResponse();
}

void TavHTTPTransferMgr::Impl::EndByServer() {
    batching.Stop();
    if (socket) tcp->DestroySocket(std::exchange(socket, nullptr));
    FinishResponse();
}

void TavHTTPTransferMgr::Impl::FinishResponse() {
    if (response.Overlong()) {
        FailRequest(true, 4, "", "");
        return;
    }
    const uint64_t generation = guard.Generation();
    if (response.HasOutput() && replaceWhenComplete && (cut || response.Short())) {
        // Not the whole body: the name keeps what it held.
        response.CloseOutput(false);
    } else if (response.HasOutput()) {
        if (!response.CommitOutput()) {
            outputFileError = response.OutputError();
            FailRequest(true, kObjectErrorWrite, "", "");
            return;
        }
    } else {
        // Handed over, not copied: a large body is not held twice.
        Variant data = response.TakeBody();
        NotifyDataReceived(data);
        if (guard.Moved(generation)) return;
    }
    batching.Stop();
    EndRequest();
    NotifyReady();
}

void TavHTTPTransferMgr::Impl::FailRequest(bool objectError, int32_t code, const std::string& status, const std::string& reason) {
    const uint64_t generation = guard.Generation();
    if (objectError)
        NotifyObjectError(code);
    else
        NotifyError(status, reason);
    if (guard.Moved(generation)) return;  // the receiver reset the request or started another
    response.CloseOutput(true);
    batching.Stop();
    if (socket) tcp->DestroySocket(std::exchange(socket, nullptr));
    lookupHandle = 0;
    EndRequest();
    NotifyReady();
}

void TavHTTPTransferMgr::Impl::TCPMgr_SocketError(const std::shared_ptr<TAVSocket>& SourceSocket, int32_t /*ErrorCode*/) {
    // A connect that failed leaves no connection and no close follows it: the name's next
    // address is tried, or the request ends here, or a host without a Timeout would wait for
    // ever. Later errors are followed by the close, which ends the request.
    if (socket && SourceSocket == socket && state == Connecting) {
        if (ConnectToNextAddress()) return;
        serverAddr.reset();  // the next request looks the name up again and tries every address
        FailRequest(true, 5, "", "");
        return;
    }
    if (socket && SourceSocket == socket) cut = true;
    NotifyObjectError(5);
}

// ---- Time limits ----------------------------------------------------------------------------

void TavHTTPTransferMgr::Impl::Watchdog_Expired(TransferWatchdog::Expiry expiry) {
    const auto owner = self.lock();  // held: the receivers may let go of the manager
    if (!owner || state == Idle) return;
    if (expiry == TransferWatchdog::Expiry::Setup) {
        FailTls(watchdog.SetupExpiredText());
        return;
    }
    if (lookupHandle != 0) tcp->Sockets()->CancelAsyncRequest(lookupHandle);
    lookupHandle = 0;
    FailRequest(true, kObjectErrorTimeout, "", "");
}

}  // namespace tav
