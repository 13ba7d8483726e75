// TAVSocket: zero-time readiness polls, bytes waiting, largest datagram, diagnostic summary.
#include <tavsock/TAVSocket.hpp>

#include "platform/SockIntf.hpp"

namespace tav {

using namespace sockintf;

namespace {
constexpr int kReadSet = 0, kWriteSet = 1, kExceptSet = 2;
}  // namespace

// True when the handle is in the ready set `which` right now. A failed poll answers false.
bool TAVSocket::Poll(int which) const {
    CheckHandle("mHandle <> TAVSock_InvalidSocketHandle");
    ClearLastError();
    FD_SET_W set;
    set.Set(mHandle);
    const TIMEVAL_W noWait{0, 0};
    FD_SET_W* sets[3] = {nullptr, nullptr, nullptr};
    sets[which] = &set;
    if (intselect(0, sets[kReadSet], sets[kWriteSet], sets[kExceptSet], &noWait) == SOCKET_ERROR) {
        (void)intWSAGetLastError();
        return false;
    }
    return set.IsSet(mHandle);
}

bool TAVSocket::IsReadable() const { return Poll(kReadSet); }

bool TAVSocket::IsWriteable() const { return Poll(kWriteSet); }

bool TAVSocket::IsExceptionTriggered() const { return Poll(kExceptSet); }

bool TAVSocket::IsOOBAvailable() const {
    CheckHandle("mHandle <> TAVSock_InvalidSocketHandle");
    ClearLastError();
    if (mHandle == TAVSock_InvalidSocketHandle) return false;
    uint32_t atMark = 1;
    if (intioctlsocket(mHandle, SIOCATMARK_W, &atMark) == SOCKET_ERROR) {
        (void)intWSAGetLastError();
        return false;
    }
    // Windows Sockets convention: 0 means urgent data waits ahead of the mark.
    return atMark == 0;
}

int32_t TAVSocket::HowMuchDataIsAvailable() const {
    ClearLastError();
    if (mHandle == TAVSock_InvalidSocketHandle) return 0;
    uint32_t waiting = 0;
    if (intioctlsocket(mHandle, FIONREAD_W, &waiting) != 0) return 0;
    return static_cast<int32_t>(waiting);
}

int32_t TAVSocket::MaxUDPDatagramSize() const {
    if (mHandle == TAVSock_InvalidSocketHandle) return 0;
    return SocketOption(SO_MAX_MSG_SIZE_W);
}

void TAVSocket::ShowSocketInfo() const {
    (void)IsExceptionTriggered();
    (void)IsReadable();
    (void)IsWriteable();
    (void)SocketOption(SO_ACCEPTCONN_W);
    (void)SocketOption(SO_LINGER_W);
}

}  // namespace tav
