// TAVSocket: one flush of the pending data, with bounded, growing waits while the stack's
// send buffer is full.
#include <tavsock/MessageLoop.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/TAVSocket.hpp>

#include "platform/DebugLog.hpp"
#include "core/SocketAccess.hpp"
#include "core/SocketSendState.hpp"
#include "core/SocketSupport.hpp"
#include "platform/SockIntf.hpp"

#include <chrono>
#include <cstdio>
#include <limits>
#include <new>
#include <thread>

namespace tav {

using namespace sockintf;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Errors after which the connection cannot take the pending data any more.
bool ConnectionGone(int32_t error) {
    return error == WSAENETRESET || error == WSAECONNABORTED || error == WSAECONNRESET || error == WSAESHUTDOWN;
}

int32_t Saturate(int64_t value) {
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

// Seconds of the monotonic clock, for the retry lines of the log.
std::string Seconds(Clock::time_point t) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", std::chrono::duration<double>(t.time_since_epoch()).count());
    return text;
}

int32_t SendCall(int32_t handle, const PendingBuffer& buffer, const TAVSockAddr* peer, int flags) {
    const char* data = reinterpret_cast<const char*>(buffer.Data());
    if (!peer) return intsend(handle, data, buffer.Length(), flags);
    const SOCKADDR_INET_W record = SocketSupport::RecordFromSockAddr(*peer);
    return intsendto(handle, data, buffer.Length(), flags, &record.Ipv4, sizeof record);
}

}  // namespace

bool SocketAccess::HasPendingSend(const TAVSocket& s) noexcept {
    return s.mSend->normal.Length() > 0 || s.mSend->urgent.Length() > 0;
}

int32_t TAVSocket::GenericSend() {
    CheckHandle("mHandle <> TAVSock_InvalidSocketHandle");
    ClearLastError();
    int32_t result = 0;
    std::string failure;
    int32_t failureNumber = 0;
    // Anything but a socket error ends the flush with the result so far; the caller of Send
    // sees the outcome of the last send call, and unsent data stays pending.
    try {
        if (mSend->urgent.Length() > 0) return FlushOutOfBand(result);
        if (mSend->normal.Length() == 0) return 0;
        return FlushNormal(result);
    } catch (const SockError& e) {
        failureNumber = e.Number();
        failure = e.Description();
    } catch (const std::bad_alloc&) {
        failureNumber = 7;
        failure = "Out of memory";
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "Unknown error";
    }
    if (DebugLogWanted(4))
        WriteDebugLog(4, LogPrefix() + "<GenericSend error - mPendedSendLength>" +
                             std::to_string(mSend->normal.Length()) + "<res>" + std::to_string(result) + "<err>" +
                             std::to_string(failureNumber) + "<errdesc>" + failure);
    return result;
}

// Urgent data goes first and alone: a flush that sends some does not touch normal data.
int32_t TAVSocket::FlushOutOfBand(int32_t& result) {
    SendState& st = *mSend;
    const int32_t length = st.urgent.Length();
    if (DebugLogWanted(4)) WriteDebugLog(4, LogPrefix() + "<GenericSend 1 - mPendedOOBLength>" + std::to_string(length));
    result = SendCall(mHandle, st.urgent, st.peer.get(), MSG_OOB_W);
    if (DebugLogWanted(4)) WriteDebugLog(4, LogPrefix() + "<GenericSend 2 - res>" + std::to_string(result));
    if (result <= 0) {
        if (ConnectionGone(intWSAGetLastError())) ClearPendingSend();
        mBytesSent = 0;
    } else if (result < length && !st.peer) {
        st.urgent.Consume(static_cast<size_t>(result));
        mBytesSent = result;
    } else {
        st.urgent.Clear();
        mBytesSent = result;
    }
    return result;
}

int32_t TAVSocket::FlushNormal(int32_t& result) {
    SendState& st = *mSend;
    int32_t retryCount = 0;
    int64_t currentStep = 0;
    std::shared_ptr<Object> keepAlive;  // taken before the first wait, whose handlers may drop us
    for (;;) {
        const bool toPeer = st.peer != nullptr;
        const int32_t length = st.normal.Length();
        if (DebugLogWanted(4)) WriteDebugLog(4, LogPrefix() + "<GenericSend 3 - mPendedSendLength>" + std::to_string(length));
        result = SendCall(mHandle, st.normal, st.peer.get(), 0);
        if (DebugLogWanted(4))
            WriteDebugLog(4, LogPrefix() + (toPeer ? "<GenericSend 3b - mPendedSendLength>" : "<GenericSend 3a - mPendedSendLength>") +
                                 std::to_string(length) + "<res>" + std::to_string(result));
        if (result < 0) {
            const int32_t error = intWSAGetLastError();
            if (ConnectionGone(error)) ClearPendingSend();
            const auto failureText = [&] {
                return std::to_string(error) + "<mPendedSendLength>" + std::to_string(length) + "<res>" +
                       std::to_string(result) + "<retrycount>" + std::to_string(retryCount);
            };
            if (DebugLogWanted(4))
                WriteDebugLog(4, LogPrefix() + "<GenericSend 4a  ERROR on send intWSAGetLastError>" + failureText());
            if (error == WSAEWOULDBLOCK && retryCount < mRetrySendTimes) {
                ++retryCount;
                if (!keepAlive) keepAlive = weak_from_this().lock();
                WaitBeforeRetry(error, length, result, retryCount, currentStep);
                currentStep += mRetrySendStep;
                // A flush nested in the wait (a write notification) may have sent the rest.
                if (st.normal.IsEmpty()) return 0;
                continue;
            }
            if (DebugLogWanted(4))
                WriteDebugLog(4, LogPrefix() + "<GenericSend 4c **BIG ERROR ERROR/NO RETRY! on send intWSAGetLastError>" +
                                     failureText());
            mBytesSent = result;
            if (DebugLogWanted(4))
                WriteDebugLog(4, LogPrefix() + "<GenericSend 4d  ERROR on send intWSAGetLastError>" + std::to_string(error));
            return result;
        }
        st.carryOver = retryCount == 0 ? 0 : Saturate(mRetrySendStart + currentStep);
        retryCount = 0;
        if (result < length && !toPeer) {
            st.normal.Consume(static_cast<size_t>(result));
            if (DebugLogWanted(4)) WriteDebugLog(4, LogPrefix() + "<GenericSend 5a  Try sending more data");
            continue;
        }
        // A datagram goes out whole or not at all; what the stack did not take is dropped.
        mBytesSent = result;
        ClearPendingSend();
        if (result >= length && DebugLogWanted(4))
            WriteDebugLog(4, LogPrefix() + "<GenericSend end - mPendedSendLength>" + std::to_string(st.normal.Length()) +
                                 "<res/genericsendret>" + std::to_string(result) + "<mbytessent>" +
                                 std::to_string(mBytesSent));
        return result;
    }
}

// Waits until more than (lngRetrySendStart + current step + carry-over) milliseconds have
// passed on the monotonic clock, blocked in the thread's pump (the library's queue, or the
// host's loop when it set one) and running what arrives.
void TAVSocket::WaitBeforeRetry(int32_t error, int32_t length, int32_t result, int32_t retryCount,
                                int64_t currentStep) {
    SendState& st = *mSend;
    const auto started = Clock::now();
    if (st.carryOver < 1) st.carryOver = 1;
    const int64_t waitMs = int64_t{mRetrySendStart} + currentStep + st.carryOver;
    const auto deadline = started + milliseconds(waitMs);
    for (auto now = Clock::now(); now <= deadline; now = Clock::now()) {
        const auto left = std::chrono::ceil<milliseconds>(deadline - now);
        if (LetMessagesRun(left) == 0 && Clock::now() + milliseconds(1) < deadline) {
            // The queue returned early with nothing done: it cannot wait on this thread.
            // Sleeping is then the only way not to spin.
            std::this_thread::sleep_until(deadline);
        }
    }
    if (DebugLogWanted(4))
        WriteDebugLog(4, LogPrefix() + "<GenericSend 4b  ERROR/RETRY on send intWSAGetLastError>" +
                             std::to_string(error) + "<mPendedSendLength>" + std::to_string(length) + "<res>" +
                             std::to_string(result) + "<retrycount>" + std::to_string(retryCount) + "<sngCurTimer>" +
                             Seconds(Clock::now()) + "<rsstrt>" + std::to_string(mRetrySendStart) + "<rsstep>" +
                             std::to_string(mRetrySendStep) + "<curstep>" + std::to_string(currentStep) + "<rst>" +
                             Seconds(started) + "<lngLastRetryTime>" + std::to_string(st.carryOver));
}

}  // namespace tav
