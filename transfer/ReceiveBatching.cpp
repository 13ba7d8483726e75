// Fewer wake-ups for a download (see ReceiveBatching.hpp).
#include "transfer/ReceiveBatching.hpp"

#include <tavsock/TAVSocket.hpp>

#include "platform/SockIntf.hpp"

#include <algorithm>

namespace tav {

ReceiveBatching::ReceiveBatching() {
    timer_.Interval(kTick);
    timer_.Tick.Subscribe([this] { Tick(); });
}

ReceiveBatching::~ReceiveBatching() {
    // A socket that outlives the transfer must not keep a mark nobody watches.
    Stop();
}

void ReceiveBatching::AfterRead(const std::shared_ptr<TAVSocket>& socket, size_t got, int64_t remaining) {
    if (!socket) return;
    if (socket_.lock() != socket) {
        Stop();  // the last one, if it is still open, is not left with a mark nobody watches
        socket_ = socket;
    }
    readSinceTick_ = true;
    int32_t mark = 1;
    if (remaining != 0 && got >= kFastRead)
        mark = remaining < 0 ? kBatch : static_cast<int32_t>(std::min<int64_t>(remaining, kBatch));
    else if (remaining > 0 && mark_ > 1)
        mark = static_cast<int32_t>(std::min<int64_t>(remaining, mark_));  // the end nears: never above it
    // A short read while batching: the kernel woke us early (window, close, our tick) and the
    // stream has slowed down, so the next bytes come as they arrive.
    SetMark(mark);
}

void ReceiveBatching::Stop() {
    SetMark(1);
    socket_.reset();
}

void ReceiveBatching::SetMark(int32_t mark) {
    if (mark < 1) mark = 1;
    if (mark != mark_) {
        const std::shared_ptr<TAVSocket> socket = socket_.lock();
        const int32_t handle = socket ? socket->Handle() : sockintf::INVALID_SOCKET;
        if (handle != sockintf::INVALID_SOCKET) {
            // Not the host's business: the thread's last socket error stays as it was.
            const int saved = sockintf::intWSAGetLastError();
            if (sockintf::intsetsockopt(handle, sockintf::SOL_SOCKET_W, sockintf::SO_RCVLOWAT_W,
                                        reinterpret_cast<const char*>(&mark), sizeof mark) != 0)
                mark = 1;  // refused: the system's mark stays, and so does ours
            sockintf::intWSASetLastError(saved);
        } else {
            mark = 1;
        }
        mark_ = mark;
    }
    timer_.Enabled(mark_ > 1);
}

void ReceiveBatching::Tick() {
    if (mark_ <= 1) {
        timer_.Enabled(false);
        return;
    }
    if (readSinceTick_) {
        readSinceTick_ = false;
        return;
    }
    // No read for a whole tick: whatever waits below the mark is let through.
    SetMark(1);
}

}  // namespace tav
