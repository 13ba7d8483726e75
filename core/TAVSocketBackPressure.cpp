// TAVSocket: the means a host has to push back on a peer that sends more than it reads: the
// count of bytes waiting to be sent, an optional bound on it, and pausing the reading side.
#include <tavsock/TAVSocket.hpp>

#include "platform/DebugLog.hpp"
#include "base/SockErrors.hpp"
#include "core/SocketSendState.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/SockIntf.hpp"

#include <climits>

namespace tav {

using namespace sockintf;

int32_t TAVSocket::PendedSendLength() const noexcept {
    const int64_t total = int64_t{mSend->normal.Length()} + mSend->urgent.Length();
    return total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
}

void TAVSocket::MaxPendedSendLength(int32_t NewValue) {
    Diagnostics::Current().Check(NewValue >= 0, [this] { return SourceName(this, "MaxPendedSendLength"); },
                                 "NewValue >= 0");
    mMaxPendedSendLength = NewValue;
}

void TAVSocket::CheckPendedRoom(size_t size) const {
    if (int64_t{PendedSendLength()} + static_cast<int64_t>(size) > mMaxPendedSendLength) RaiseBareSocketError(WSAENOBUFS);
}

void TAVSocket::ResumeRecv() {
    const bool closeWaits = mDeferredClose >= 0;
    if (!mRecvPaused && !closeWaits && !mRecvWithheld) return;
    mRecvPaused = false;
    if (mHandle == TAVSock_InvalidSocketHandle) return;
    // A read notification only when something is there to read: text a paused read kept
    // back, or bytes in the stack. Otherwise the next arrival brings one as usual.
    const bool read = mRecvWithheld || HowMuchDataIsAvailable() > 0;
    ResumeReadNotices(mHandle, read, closeWaits);
    if (closeWaits) mDeferredClose = -2 - mDeferredClose;  // brought once, however often resumed
}

}  // namespace tav
