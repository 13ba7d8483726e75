// TavTCPSocketMgr: the receive path. A read notification reads what waits on the socket and
// raises it (bytes as they come, text through the framing engine, urgent data apart); the
// timer reads data left unread.
//
// The timer is a sweeper: a tick polls only once now has reached mWaitTime, which every read
// moves to five seconds ahead (socket creation to twelve). While data flows the notifications
// do the reading and the ticks cost nothing; once a connection has been quiet for five
// seconds the tick looks whether anything was left unread (a notification lost to re-entry,
// data that came with a close), reads it, and turns the timer off at the first look that
// finds nothing. Polling on the other side (every second until the mark) would add a system
// call per second to every busy connection and race the notifications for the same data.
//
// Faults in any step are absorbed and the next step runs; nothing reaches the inner manager.
#include <tavsock/TavTCPSocketMgr.hpp>

#include "platform/DebugLog.hpp"
#include "core/SocketAccess.hpp"
#include "base/VariantAccess.hpp"
#include "events/SocketMgrAccess.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/RaiseEvent.hpp"
#include "platform/Timer.hpp"
#include "transport/MessageFramer.hpp"
#include "transport/TavTCPSocketMgrSink.hpp"
#include "transport/WaitTime.hpp"

#include <algorithm>

namespace tav {

namespace {
constexpr int32_t kLogLevel = 2;
constexpr int64_t kReadWait = 5 * waittime::kPerSecond;
// Largest piece of one read handed to the framer at a time (the receive buffer of the
// classic stack was at most this large); never more than half the hold-buffer limit.
constexpr size_t kFramingSlice = 64 * 1024;
}  // namespace

/// One socket's framing settings and the manager's hand-over, for the framing engine.
class TavTCPSocketMgr::Receiving final : public FramingContext {
public:
    Receiving(TavTCPSocketMgr& mgr, const std::shared_ptr<TAVSocket>& skt) : mgr_(mgr), skt_(skt) {}

    int32_t Handle() const override { return skt_->Handle(); }
    std::string_view MsgBeginMark() const override { return skt_->MsgBeginMark(); }
    std::string_view MsgEndMark() const override { return skt_->MsgEndMark(); }
    int32_t MaxRecvHoldBufferSize() const override { return skt_->MaxRecvHoldBufferSize(); }
    std::string LogPrefix() const override { return mgr_.LogPrefix(); }
    std::string Source(const char* procedure) const override { return SourceName(&mgr_, procedure); }
    void DeliverMessage(std::string message) override {
        Variant Info(std::move(message));
        RaiseEvent(mgr_.DataReceived, skt_, Info);
    }
    void DeliverReusing(std::string& message) override {
        Variant Info(std::move(message));
        RaiseEvent(mgr_.DataReceived, skt_, Info);
        // The handlers are done with the text; its storage serves the next message.
        if (std::string* left = VariantAccess::String(Info)) message = std::move(*left);
    }
    bool StillServing() const override { return mgr_.StillServing(skt_); }

private:
    TavTCPSocketMgr& mgr_;  // held by the dispatch that made this
    const std::shared_ptr<TAVSocket>& skt_;
};

void TavTCPSocketMgr::ITAVSockNotify_DataReceived(const std::shared_ptr<TAVSocket>& Skt, bool IsOOB) {
    // Held for the whole call: a handler may destroy the socket. IsOOB is the urgent-data
    // question the notification has just asked (the timer asks it itself before calling);
    // asking again would cost a system call on every read for a byte that is almost never
    // there.
    const std::shared_ptr<TAVSocket> socket = Skt;
    if (!socket) return;
    // Urgent data is read apart; normal data is read without asking first how much waits
    // (the read tells, and a notification only comes when something does). The count is
    // asked only for the log line that shows it.
    if (IsOOB) {
        ReceiveOutOfBand(socket);
        return;
    }
    if (DebugLogWanted(kLogLevel)) {
        int32_t available = 0;
        try {
            available = socket->HowMuchDataIsAvailable();
        } catch (...) {
        }
        WriteDebugLog(kLogLevel, LogPrefix() +
                                     "<TAVTcpSocketMgr - ITAVSockNotify_DataReceived start  Skt.HowMuchDataIsAvailable>" +
                                     std::to_string(available));
        if (available < 1) return;
    }
    ReceiveNormal(socket);
}

void TavTCPSocketMgr::ReceiveOutOfBand(const std::shared_ptr<TAVSocket>& Skt) {
    // Leaves the timer, mWaitTime and mLastSocket as they are.
    int32_t bytesRead = 0;
    int32_t errorCode = 0;
    Variant Info;
    try {
        Info = Skt->RecvOOB(bytesRead, errorCode);
    } catch (...) {
    }
    if (bytesRead == 0) return;
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - ITAVSockNotify_DataReceived OOBDataReceived!");
    try {
        RaiseEvent(OOBDataReceived, Skt, Info);
    } catch (...) {
    }
}

namespace {

// A kept read buffer larger than this is let go after use: a burst must not pin megabytes.
constexpr size_t kKeptReadBuffer = 1024 * 1024;
// Buffers kept for nested reads, and the most each of those may hold.
constexpr size_t kKeptReadBuffers = 4;
constexpr size_t kKeptNestedBuffer = 64 * 1024;
// Reads up to this long are delivered as a copy (see ReceiveNormal).
constexpr size_t kCopiedRead = 4096;

// The size of the next read: room for as much as the last one brought and some more, so that
// a steady stream fits in one read without asking how much waits, while a byte array handed to
// the host is not refilled with much more than it held.
size_t NextReadTarget(size_t got) {
    return std::clamp<size_t>(got + std::max<size_t>(4096, got / 16), 4096, kKeptReadBuffer);
}

/// Takes a kept buffer for one read and puts it back afterwards. A handler that runs the queue
/// makes reads nest, each with a buffer of its own: a few are kept, so that nesting (a host
/// connecting from inside DataReceived, say) does not allocate a buffer per read. A buffer
/// grown too large to keep is let go.
template <class Buffer>
class TakenBuffer {
public:
    explicit TakenBuffer(std::vector<Buffer>& kept) : kept_(kept) {
        if (kept.empty()) return;
        // The largest: the outermost read, the usual one, keeps the buffer it grew.
        auto largest = std::max_element(kept.begin(), kept.end(),
                                        [](const Buffer& x, const Buffer& y) { return x.capacity() < y.capacity(); });
        std::swap(*largest, kept.back());
        buffer_ = std::move(kept.back());
        kept.pop_back();
    }
    ~TakenBuffer() {
        // One kept buffer may be large; the others (nested reads are rare and short) small.
        const size_t size = buffer_.capacity();
        const bool large = size > kKeptNestedBuffer;
        const bool haveLarge = std::any_of(kept_.begin(), kept_.end(),
                                           [](const Buffer& k) { return k.capacity() > kKeptNestedBuffer; });
        if (size == 0 || size > kKeptReadBuffer || (large && haveLarge) || kept_.size() >= kKeptReadBuffers) return;
        try {
            kept_.push_back(std::move(buffer_));
        } catch (...) {
        }
    }
    TakenBuffer(const TakenBuffer&) = delete;
    TakenBuffer& operator=(const TakenBuffer&) = delete;
    Buffer& get() noexcept { return buffer_; }

private:
    std::vector<Buffer>& kept_;
    Buffer buffer_;
};

}  // namespace

void TavTCPSocketMgr::ReceiveNormal(const std::shared_ptr<TAVSocket>& Skt) {
    try {
        ArmTimer(Skt);
    } catch (...) {
    }
    const bool binary = Skt->DataMode() == DataMode_Binary;
    if (binary) {
        TakenBuffer<ByteArray> taken(mReadBytes);
        ByteArray& bytes = taken.get();
        size_t got = 0;
        // One read takes at most what a kept buffer holds: a larger backlog taken whole would
        // need a new buffer for each such read, zero-filled, grown by copying and let go
        // again, passes over every byte that cost more than the read itself. The rest stays
        // readable and the next notification brings it.
        try {
            got = SocketAccess::ReadWaiting(*Skt, bytes, mReadTarget, false, kKeptReadBuffer);
        } catch (...) {
        }
        LogRead(got);
        if (got == 0) return;
        mReadTarget = NextReadTarget(got);
        // A large read hands the buffer itself to the host (and takes it back afterwards); a
        // small one is copied out, which costs less than refilling the buffer's spare room for
        // the next read, and leaves the buffer as it is.
        const bool handOver = got > kCopiedRead;
        Variant data;
        if (handOver) {
            bytes.resize(got);
            data = Variant(std::move(bytes));
        } else {
            data = Variant(ByteArray(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(got)));
        }
        try {
            RaiseEvent(DataReceived, Skt, data);
        } catch (...) {
        }
        if (DebugLogWanted(kLogLevel) && data.IsByteArray()) {
            const ByteArray& shown = data.AsBytes();
            WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - ITAVSockNotify_DataReceived VBArray lenIn:" +
                                         std::to_string(got) + "<str>" + std::string(shown.begin(), shown.end()));
        }
        // The handlers are done with the bytes; what they left is the next read's buffer.
        if (handOver)
            if (ByteArray* left = VariantAccess::Bytes(data)) bytes = std::move(*left);
        return;
    }
    if (Skt->DataMode() != DataMode_String) {
        // Another mode: the read reports it, as Recv does, and nothing is delivered.
        int32_t bytesRead = 0;
        int32_t errorCode = 0;
        try {
            (void)Skt->Recv(bytesRead, errorCode);
        } catch (...) {
        }
        try {
            Diagnostics::Current().ReportFailure("Invalid data type received",
                                                 SourceName(this, "ITAVSockNotify_DataReceived"));
        } catch (...) {
        }
        return;
    }
    TakenBuffer<std::string> taken(mReadText);
    std::string& buffer = taken.get();
    size_t got = 0;
    try {
        got = SocketAccess::ReadWaiting(*Skt, buffer, mReadTarget, mReadsLarge);
    } catch (...) {
    }
    LogRead(got);
    mReadsLarge = got >= kKeptReadBuffer;
    if (got == 0) return;
    mReadTarget = NextReadTarget(got);

    Receiving context(*this, Skt);
    bool delivered = false;
    // One read takes everything the stack holds, which on Linux can be megabytes (large
    // loopback and autotuned buffers), far more than the few kilobytes a read brought on
    // the system these hosts were written for. Feeding the text to the framer in slices,
    // as if it had arrived in several reads, keeps a stream of small messages from
    // tripping the hold-buffer limit; only a single message longer than the limit still
    // overflows.
    const std::string_view text(buffer.data(), got);
    size_t sliceSize = kFramingSlice;
    try {
        const int32_t limit = Skt->MaxRecvHoldBufferSize();
        sliceSize = std::clamp<size_t>(limit > 1 ? static_cast<size_t>(limit) / 2 : 1, 1, kFramingSlice);
    } catch (...) {
    }
    for (size_t at = 0; at < text.size() && mFramer;) {
        const std::string_view slice = text.substr(at, sliceSize);
        at += slice.size();
        try {
            delivered = mFramer->ReceiveText(context, slice, static_cast<int32_t>(slice.size())) || delivered;
        } catch (...) {
        }
        if (!StillServing(Skt)) break;
    }
    // A handler may have let go of the manager or destroyed the socket: then there is
    // nothing to poll for.
    if (delivered && StillServing(Skt)) {
        try {
            ArmTimer(Skt);
        } catch (...) {
        }
    }
}

void TavTCPSocketMgr::LogRead(size_t length) const {
    if (!DebugLogWanted(kLogLevel)) return;
    WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - ITAVSockNotify_DataReceived read len>" +
                                 std::to_string(length) + "  and start tmrprocessincoming mWaitTime>" +
                                 waittime::Text(mWaitTime) + "<timer>" + waittime::Text(waittime::Now()));
}

void TavTCPSocketMgr::ArmTimer(const std::shared_ptr<TAVSocket>& Skt) {
    mWaitTime = waittime::Now() + kReadWait;
    // Every read of a stream lands here, usually for the socket of the read before.
    if (mLastSocket != Skt) mLastSocket = Skt;
    if (tmrProcessIncoming && !tmrProcessIncoming->Enabled()) tmrProcessIncoming->Enabled(true);
}

void TavTCPSocketMgr::tmrProcessIncoming_Tick() {
    if (!mLastSocket) {
        if (tmrProcessIncoming) tmrProcessIncoming->Enabled(false);
        if (DebugLogWanted(kLogLevel)) WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - tmrProcessIncoming_Tick no socket");
        return;
    }
    const int64_t now = waittime::Now();
    if (!waittime::Reached(now, mWaitTime)) return;  // reads are recent: the notifications do the work

    const std::shared_ptr<TAVSocket> socket = mLastSocket;
    int32_t available = 0;
    try {
        available = socket->HowMuchDataIsAvailable();
    } catch (...) {
    }
    if (available >= 1) {
        if (DebugLogWanted(kLogLevel))
            WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - tmrProcessIncoming_Tick have data fire datareceived. Len>" +
                                         std::to_string(available) + "<sochand>" + std::to_string(socket->Handle()) +
                                         "  mWaitTime>" + waittime::Text(mWaitTime) + "<timer>" + waittime::Text(now));
        bool urgent = false;
        try {
            urgent = socket->IsOOBAvailable();
        } catch (...) {
        }
        ITAVSockNotify_DataReceived(socket, urgent);
        mWaitTime = waittime::Now() + kReadWait;
        return;
    }
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - tmrProcessIncoming_Tick no data - turn off timer   sochand>" +
                                     std::to_string(socket->Handle()) + "  mWaitTime>" + waittime::Text(mWaitTime) +
                                     "<timer>" + waittime::Text(now));
    if (tmrProcessIncoming) tmrProcessIncoming->Enabled(false);
}

}  // namespace tav
