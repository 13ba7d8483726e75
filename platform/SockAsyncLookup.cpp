// The background host look-up calls of the socket interface layer.
#include "platform/AsyncLookups.hpp"
#include "platform/MessageQueue.hpp"
#include "platform/SockIntf.hpp"
#include "platform/SockLayer.hpp"

#include <cstring>
#include <memory>

namespace tav::sockintf {

namespace {

/// Checks shared by both look-ups; 0 when the request may start, else the Windows error.
int CheckTarget(HWND hWnd, const char* buf, int buflen) {
    if (buf == nullptr || buflen < 0) return WSAEFAULT;
    if (!platform::IsWindowHandle(hWnd)) return WSAEINVAL;
    return 0;
}

HANDLE Refuse(int error) {
    detail::tLastError = error;
    return 0;
}

std::shared_ptr<LookupRequest> NewRequest(HWND hWnd, uint32_t wMsg, char* buf, int buflen) {
    auto req = std::make_shared<LookupRequest>();
    req->hWnd = hWnd;
    req->msg = wMsg;
    req->buf = buf;
    req->buflen = buflen;
    return req;
}

}  // namespace

HANDLE intWSAAsyncGetHostByName(HWND hWnd, uint32_t wMsg, const char* name, char* buf, int buflen) {
    if (!detail::Started()) return 0;
    if (const int err = CheckTarget(hWnd, buf, buflen); err != 0) return Refuse(err);
    auto req = NewRequest(hWnd, wMsg, buf, buflen);
    // A null name means the local host, as for the blocking call.
    req->name = name != nullptr ? name : "";
    return AsyncLookups::Instance().Start(std::move(req));
}

HANDLE intWSAAsyncGetHostByAddr(HWND hWnd, uint32_t wMsg, const char* addr, int len, int type, char* buf, int buflen) {
    if (!detail::Started()) return 0;
    if (const int err = CheckTarget(hWnd, buf, buflen); err != 0) return Refuse(err);
    // Checked and copied now: the caller's address need not outlive the call.
    if (addr == nullptr || len < 4) return Refuse(WSAEFAULT);
    if (type != AF_INET_W && type != AF_INET6_W) return Refuse(WSAEAFNOSUPPORT);
    if (type == AF_INET6_W && len < 16) return Refuse(WSAEFAULT);
    auto req = NewRequest(hWnd, wMsg, buf, buflen);
    req->byAddr = true;
    req->family = type;
    if (type == AF_INET6_W)
        std::memcpy(req->addr6.bytes.data(), addr, req->addr6.bytes.size());
    else
        std::memcpy(&req->addr, addr, sizeof req->addr);
    return AsyncLookups::Instance().Start(std::move(req));
}

int intWSACancelAsyncRequest(HANDLE handle) {
    if (!detail::Started()) return SOCKET_ERROR;
    return AsyncLookups::Instance().Cancel(handle);
}

}  // namespace tav::sockintf
