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

#include "core/DebugLog.hpp"
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
    bool StillServing() const override { return mgr_.StillServing(skt_); }

private:
    TavTCPSocketMgr& mgr_;  // held by the dispatch that made this
    const std::shared_ptr<TAVSocket>& skt_;
};

void TavTCPSocketMgr::ITAVSockNotify_DataReceived(const std::shared_ptr<TAVSocket>& Skt, bool /*IsOOB*/) {
    // Held for the whole call: a handler may destroy the socket. The urgent-data question is
    // asked afresh below rather than taken from the notification.
    const std::shared_ptr<TAVSocket> socket = Skt;
    if (!socket) return;
    int32_t available = 0;
    try {
        available = socket->HowMuchDataIsAvailable();
    } catch (...) {
    }
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, LogPrefix() +
                                     "<TAVTcpSocketMgr - ITAVSockNotify_DataReceived start  Skt.HowMuchDataIsAvailable>" +
                                     std::to_string(available));
    bool urgent = false;
    try {
        urgent = socket->IsOOBAvailable();
    } catch (...) {
    }
    // An urgent byte is not counted as waiting data; one that came with nothing around it is
    // read all the same, since no later notification may come for it.
    if (available < 1 && !urgent) return;
    if (urgent)
        ReceiveOutOfBand(socket);
    else
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

void TavTCPSocketMgr::ReceiveNormal(const std::shared_ptr<TAVSocket>& Skt) {
    try {
        ArmTimer(Skt);
    } catch (...) {
    }
    int32_t bytesRead = 0;
    int32_t errorCode = 0;  // not looked at: the count tells
    Variant data;
    try {
        data = Skt->Recv(bytesRead, errorCode);
    } catch (...) {
    }
    if (DebugLogWanted(kLogLevel)) {
        const size_t length = data.IsString() ? data.AsString().size() : data.IsByteArray() ? data.AsBytes().size() : 0;
        WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - ITAVSockNotify_DataReceived read len>" +
                                     std::to_string(length) + "  and start tmrprocessincoming mWaitTime>" +
                                     waittime::Text(mWaitTime) + "<timer>" + waittime::Text(waittime::Now()));
    }

    if (data.IsString()) {
        Receiving context(*this, Skt);
        bool delivered = false;
        // One read takes everything the stack holds, which on Linux can be megabytes (large
        // loopback and autotuned buffers), far more than the few kilobytes a read brought on
        // the system these hosts were written for. Feeding the text to the framer in slices,
        // as if it had arrived in several reads, keeps a stream of small messages from
        // tripping the hold-buffer limit; only a single message longer than the limit still
        // overflows.
        const std::string_view text = data.AsString();
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
        return;
    }
    if (data.IsByteArray()) {
        if (bytesRead == 0) return;
        try {
            RaiseEvent(DataReceived, Skt, data);
        } catch (...) {
        }
        if (DebugLogWanted(kLogLevel) && data.IsByteArray()) {
            const ByteArray& bytes = data.AsBytes();
            WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - ITAVSockNotify_DataReceived VBArray lenIn:" +
                                         std::to_string(bytesRead) + "<str>" + std::string(bytes.begin(), bytes.end()));
        }
        return;
    }
    try {
        Diagnostics::Current().ReportFailure("Invalid data type received",
                                             SourceName(this, "ITAVSockNotify_DataReceived"));
    } catch (...) {
    }
}

void TavTCPSocketMgr::ArmTimer(const std::shared_ptr<TAVSocket>& Skt) {
    mWaitTime = waittime::Now() + kReadWait;
    mLastSocket = Skt;
    if (tmrProcessIncoming) tmrProcessIncoming->Enabled(true);
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
        ITAVSockNotify_DataReceived(socket, false);
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
