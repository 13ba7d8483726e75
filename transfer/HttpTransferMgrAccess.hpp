// Library-internal access to TavHTTPTransferMgr's parts, for tests and benchmarks: the TCP
// manager that carries its requests, what ParseURL made of the URL, and a response fed without a
// connection.
//
// TavHTTPTransferMgr befriends this one class only. Hosts do not get this header.
#pragma once

#include <tavsock/TavHTTPTransferMgr.hpp>

#include <memory>
#include <string>

namespace tav {

class HttpTransferMgrAccess {
public:
    /// The private TCP manager; its events fire after the HTTP manager's own handlers.
    static const std::shared_ptr<TavTCPSocketMgr>& TCPMgr(const TavHTTPTransferMgr& mgr) noexcept { return mgr.mTCPMgr; }
    static const std::string& Host(const TavHTTPTransferMgr& mgr) noexcept { return mgr.mHost; }
    static const std::shared_ptr<TAVSocket>& Socket(const TavHTTPTransferMgr& mgr) noexcept { return mgr.mSocket; }
    static int32_t Port(const TavHTTPTransferMgr& mgr) noexcept { return mgr.mPort; }
    static const std::string& Target(const TavHTTPTransferMgr& mgr) noexcept { return mgr.mTarget; }
    /// True while a resolved server address is kept for the next request.
    static bool HasServerAddress(const TavHTTPTransferMgr& mgr) noexcept { return mgr.mServerAddr != nullptr; }

    // A response without a connection, for the fuzz targets: BeginResponse puts an Idle
    // manager where a request stands once it has been sent; FeedResponse then hands it chunks
    // as its socket's DataReceived would, and EndResponse ends it as the server's close does.
    // Notifications go out as usual. Feeding and ending do nothing once the request is over.
    static void BeginResponse(TavHTTPTransferMgr& mgr) {
        mgr.ClearResponse();
        mgr.SetState(TavHTTPTransferMgr::AwaitingResponse);
        ++mgr.mRequestSerial;
    }
    static void FeedResponse(TavHTTPTransferMgr& mgr, const ByteArray& chunk) {
        if (mgr.mState == TavHTTPTransferMgr::AwaitingResponse) mgr.ReceivePlain(chunk.data(), chunk.size());
    }
    static void EndResponse(TavHTTPTransferMgr& mgr) {
        if (mgr.mState == TavHTTPTransferMgr::AwaitingResponse) mgr.FinishResponse();
    }
};

}  // namespace tav
