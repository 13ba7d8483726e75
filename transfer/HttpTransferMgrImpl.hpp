// TavHTTPTransferMgr's private implementation: the request's state machine over the TCP
// manager's events, built from the transfer parts (URL, request text, response, local file,
// watchdog, TLS settings, notification route, re-entry guard).
#pragma once

#include <tavsock/TavHTTPTransferMgr.hpp>
#include <tavsock/TAVHostInfo.hpp>
#include <tavsock/TAVSockAddr.hpp>
#include <tavsock/TAVSocket.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>

#include "transfer/HttpRequest.hpp"
#include "transfer/HttpResponse.hpp"
#include "transfer/HttpUrl.hpp"
#include "transfer/NotifyRoute.hpp"
#include "transfer/ReceiveBatching.hpp"
#include "transfer/ReentryGuard.hpp"
#include "transfer/TcpEventSink.hpp"
#include "transfer/TlsSettings.hpp"
#include "transfer/TransferWatchdog.hpp"

#include <memory>
#include <string>
#include <vector>

namespace tav {

/// One per manager, owned by it. Handlers reach it through the manager's weak reference:
/// while a handler runs, the manager (and so this object) is held. Every call that can run
/// host code or the queue (a notification, Connect, Send) is followed by a check of
/// `guard`'s generation: a receiver may have reset the request or started the next one.
struct TavHTTPTransferMgr::Impl final : TcpEventSink {
    using State = int32_t;

    explicit Impl(std::weak_ptr<TavHTTPTransferMgr> owner);
    ~Impl();

    // ---- Properties and starting (TavHTTPTransferMgr.cpp) --------------------------------
    void URL(const std::string& value);
    void Proxy(const std::string& value);
    void ParseURL();
    void ParseOrigin();
    bool Tunnelled() const noexcept { return url.secure && !proxy.empty(); }
    void SetState(State s);
    int32_t Execute2(const std::string& URL, const std::string& Operation, const std::string& Data,
                     const std::string& Headers, const std::string& OutputFile, const std::string& ContentType);
    int32_t Start(const std::string& URL);
    void BuildServerAddress(const std::string& address);  // dotted IPv4 or IPv6 text, url.port
    // Connects to the next of a name's addresses that was not tried yet; false when none is left.
    bool ConnectToNextAddress();
    void StartConnection();
    void AbandonStart();
    void Reset();
    // The request is over (state Idle, generation moved, watchdog stopped); no notification.
    void EndRequest();

    // ---- The request's way (HttpTransferMgrFlow.cpp) ---------------------------------------
    void TCPMgr_HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) override;
    void TCPMgr_AsyncError(int32_t AsyncHandle, int32_t ErrorCode) override;
    void TCPMgr_ConnectComplete(const std::shared_ptr<TAVSocket>& SourceSocket) override;
    void TCPMgr_DataReceived(const std::shared_ptr<TAVSocket>& SourceSocket, Variant& Info) override;
    void TCPMgr_SocketClosed(const std::shared_ptr<TAVSocket>& SourceSocket) override;
    void TCPMgr_SocketError(const std::shared_ptr<TAVSocket>& SourceSocket, int32_t ErrorCode) override;
    void Watchdog_Expired(TransferWatchdog::Expiry expiry);

    bool SendBytes(const std::shared_ptr<TAVSocket>& socket, ByteArray bytes);
    // Sends `bytes` on the request's socket; on failure notifies 3 and resets. False then.
    bool SendOrReset(ByteArray bytes);
    void SendRequest();
    void StartTunnel();
    void ReceiveTunnelBytes(const uint8_t* data, size_t n);
    void StartHandshake(const uint8_t* early, size_t n);
    void ReceiveTls(const ByteArray& chunk);
    void FailTls(const std::string& reason);
    void ReceivePlain(const uint8_t* data, size_t n);
    void FinishResponse();
    // The response is over though the server did not close (close_notify, a complete body
    // at the time-out): the connection is closed, then FinishResponse.
    void EndByServer();
    void FailRequest(bool objectError, int32_t code, const std::string& status, const std::string& reason);

    // ---- Notifications: to the callback object when set, else the event --------------------
    void NotifyObjectError(int32_t code);
    void NotifyError(const std::string& status, const std::string& reason);
    void NotifyDataTransferred();
    void NotifyDataReceived(Variant& data);
    void NotifyReady();

    std::weak_ptr<TavHTTPTransferMgr> self;
    NotifyRoute<TavHTTPTransferMgr, ITavHTTPNotify> route;
    std::string urlText, proxy;       // as assigned
    HttpUrl url;                      // what the request connects to (the proxy's, with one)
    HttpUrl origin;                   // https through a proxy: the server behind the tunnel
    int32_t retrieveMode = TAVRetrieveText;
    bool replaceWhenComplete = false;
    int64_t restartAt = 0;
    std::string userAgent = "tavsock/" TAVSOCK_VERSION;
    std::string outputFileError;

    std::shared_ptr<TavTCPSocketMgr> tcp;
    std::vector<EventSubscription> subscriptions;  // to tcp's events
    ReceiveBatching batching;                    // fewer wake-ups while a body pours in
    TransferWatchdog watchdog;                   // armed while a request runs
    TlsSettings tls;
    ReentryGuard guard;                          // generation: moves when a request starts or ends
    std::shared_ptr<TAVSocket> socket;           // the request's socket, kept after the end
    std::shared_ptr<TAVSockAddr> serverAddr;     // null until resolved; cleared by URL/Proxy
    int32_t lookupHandle = 0;
    std::vector<std::string> untried;            // the looked-up name's addresses still to try, next last
    State state = Idle;
    bool cut = false;                            // a socket error (a reset) broke into the response

    HttpRequest request;
    HttpResponse response;
    HttpHead tunnelAnswer;                       // the proxy's answer to CONNECT
    std::shared_ptr<TlsChannel> channel;         // the request's TLS session, null for http
};

}  // namespace tav
