// Library-internal access to TavHTTPTransferMgr's parts, for tests and benchmarks: the TCP
// manager that carries its requests, and what ParseURL made of the URL.
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
    static int32_t Port(const TavHTTPTransferMgr& mgr) noexcept { return mgr.mPort; }
    static const std::string& Target(const TavHTTPTransferMgr& mgr) noexcept { return mgr.mTarget; }
    /// True while a resolved server address is kept for the next request.
    static bool HasServerAddress(const TavHTTPTransferMgr& mgr) noexcept { return mgr.mServerAddr != nullptr; }
};

}  // namespace tav
