// Fewer wake-ups for a download: while a data stream pours in, the kernel is asked to keep the
// socket unreadable until a large piece waits, so the thread sleeps and wakes once per piece
// instead of once per segment.
//
// A download whose reader drains the socket at each wake-up sleeps again at once, and every
// segment the server sends then has to wake it: on loopback a 1 GiB GET slept 12,000 times,
// and the server, which does the waking, ran a third slower. The receive low-water mark
// (SO_RCVLOWAT) lets the kernel wake us only when `kBatch` bytes wait, the peer has closed or
// failed, or our receive window is about to fill, whichever comes first.
//
// The mark is raised only while the stream is fast (a read brought `kFastRead` bytes or more)
// and never above what is sure to come (the rest of an announced length). A peer that slows
// down or pauses is noticed by a timer: a tick with no read since the one before puts the mark
// back to one byte, so bytes below the mark wait at most two ticks and a host's time-out sees
// them as before. Owner thread only.
#pragma once

#include "platform/Timer.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tav {

class TAVSocket;

class ReceiveBatching {
public:
    /// A read at least this long means the stream is fast enough to batch.
    static constexpr size_t kFastRead = 32 * 1024;
    /// The mark while batching.
    static constexpr int32_t kBatch = 256 * 1024;
    /// Milliseconds between the checks for a stream that stopped pouring.
    static constexpr int32_t kTick = 25;

    ReceiveBatching();
    ~ReceiveBatching();
    ReceiveBatching(const ReceiveBatching&) = delete;
    ReceiveBatching& operator=(const ReceiveBatching&) = delete;

    /// After a read of `got` bytes from `socket` was handled. `remaining` is how many more bytes
    /// are sure to come, or -1 when that is unknown and the stream ends with the peer's close.
    /// A different socket than the last one starts afresh; the last one's mark goes back to one
    /// byte first.
    void AfterRead(const std::shared_ptr<TAVSocket>& socket, size_t got, int64_t remaining);
    /// Puts the mark back to one byte (when the socket is still open) and forgets the socket.
    /// For the end of a transfer, or before a socket is used for anything but the stream.
    void Stop();

    /// The mark set now (1: not batching).
    int32_t Mark() const noexcept { return mark_; }

private:
    void SetMark(int32_t mark);
    void Tick();

    std::weak_ptr<TAVSocket> socket_;
    int32_t mark_ = 1;
    bool readSinceTick_ = false;
    platform::Timer timer_;
};

}  // namespace tav
