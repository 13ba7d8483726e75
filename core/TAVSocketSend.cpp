// TAVSocket: the send methods, which queue data in the pending buffers and flush them.
#include <tavsock/TAVSocket.hpp>

#include "platform/DebugLog.hpp"
#include "base/SockErrors.hpp"
#include "core/SocketSendState.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/SockIntf.hpp"

#include <climits>

#include <algorithm>

namespace tav {

using namespace sockintf;

namespace {

constexpr const char* kBinaryCondition = "Me.DataMode = DataMode_Binary";
constexpr const char* kStringCondition = "Me.DataMode = DataMode_String";

const uint8_t* BytesOf(const std::string& text) { return reinterpret_cast<const uint8_t*>(text.data()); }

// The start line of Send: short buffers whole, long ones by their ends.
std::string SendStartText(std::string_view text) {
    if (text.size() < 100) return "<Send start Send buffer:" + std::string(text);
    return "<Send start Send buffer1-100:" + std::string(text.substr(0, 100)) + "<right100>" +
           std::string(text.substr(text.size() - 100));
}

// The same for any buffer; byte arrays read as one character per byte.
std::string SendStartText(const Variant& buffer) {
    if (buffer.IsString()) return SendStartText(std::string_view(buffer.AsString()));
    if (buffer.IsByteArray()) {
        const ByteArray& b = buffer.AsBytes();
        return SendStartText(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
    }
    const std::string text = buffer.IsObject() ? std::string() : buffer.ToString();
    return SendStartText(std::string_view(text));
}

}  // namespace

void TAVSocket::ClearPendingSend() noexcept {
    mSend->normal.Clear();
    mSend->urgent.Clear();
    mSend->peer.reset();
}

bool TAVSocket::SendDirect(const uint8_t* data, size_t size, int32_t& result) {
    // With nothing pending, the bytes usually go out in one send straight from the caller's
    // buffer: copying them into the pending buffer first would cost a copy of every byte.
    // Only what the stack does not take is kept; the flush then goes on as ever, so waits,
    // retries and results are those of the pending route. Not taken while the send log is
    // on (its lines follow the pending route), for datagrams, or with anything pending.
    SendState& st = *mSend;
    if (size == 0 || size > static_cast<size_t>(INT32_MAX) || mHandle == TAVSock_InvalidSocketHandle ||
        mKind == TAVSockKind_Datagram || !st.normal.IsEmpty() || !st.urgent.IsEmpty() || st.peer || DebugLogWanted(4))
        return false;
    const int32_t sent = intsend(mHandle, reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
    if (sent == static_cast<int32_t>(size)) {
        st.carryOver = 0;
        mBytesSent = sent;
        result = sent;
        return true;
    }
    if (sent < 0) {
        const int32_t error = intWSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            // The flush sends again and, the stack still full, waits and retries as ever.
            st.normal.Append(data, size);
            result = GenericSend();
            return true;
        }
        // A failure the pending route would have ended with at once: the data stays pending
        // unless the connection is gone, and the caller sees this result and error.
        if (error != WSAENETRESET && error != WSAECONNABORTED && error != WSAECONNRESET && error != WSAESHUTDOWN)
            st.normal.Append(data, size);
        mBytesSent = sent;
        result = sent;
        return true;
    }
    // Taken in part: the rest is flushed as the pending route flushes it after a short send.
    st.carryOver = 0;
    st.normal.Append(data + sent, size - static_cast<size_t>(sent));
    result = GenericSend();
    return true;
}

void TAVSocket::SendBytes(const uint8_t* data, size_t size) {
    if (DebugLogWanted(4))
        WriteDebugLog(4, LogPrefix() + SendStartText(std::string_view(reinterpret_cast<const char*>(data), size)));
    ClearLastError();
    Diagnostics::Current().Check(
        mDataMode == DataMode_Binary, [this] { return SourceName(this, "Send"); }, kBinaryCondition);
    if (mMaxPendedSendLength > 0) CheckPendedRoom(size);
    int32_t result = 0;
    if (!SendDirect(data, size, result)) {
        mSend->normal.Append(data, size);
        result = GenericSend();
    }
    FinishSend(result);
}

void TAVSocket::Send(const Variant& Buffer) {
    if (Buffer.IsByteArray()) {
        SendBytes(Buffer.AsBytes().data(), Buffer.AsBytes().size());
        return;
    }
    if (DebugLogWanted(4)) WriteDebugLog(4, LogPrefix() + SendStartText(Buffer));
    ClearLastError();
    int32_t result = 0;
    if (Buffer.IsString()) {
        Diagnostics::Current().Check(
            mDataMode == DataMode_String, [this] { return SourceName(this, "Send"); }, kStringCondition);
        const std::string& text = Buffer.AsString();
        if (mMaxPendedSendLength > 0) CheckPendedRoom(mMsgBeginMark.size() + text.size() + mMsgEndMark.size());
        mSend->normal.Append(BytesOf(mMsgBeginMark), mMsgBeginMark.size());
        mSend->normal.Append(BytesOf(text), text.size());
        mSend->normal.Append(BytesOf(mMsgEndMark), mMsgEndMark.size());
        result = GenericSend();
        if (DebugLogWanted(4)) {
            const int32_t error = intWSAGetLastError();
            const int32_t pending = mSend->normal.Length();
            if (error != 0 || (pending >= 1 && pending != result))
                WriteDebugLog(4, LogPrefix() + "<Send 2d - ** Not all bytes sent ** intWSAGetLastError>" +
                                     std::to_string(error));
        }
    } else {
        Diagnostics::Current().ReportFailure("Invalid data type in message Buffer", SourceName(this, "Send"));
    }
    FinishSend(result);
}

void TAVSocket::FinishSend(int32_t result) {
    if (result == SOCKET_ERROR) RaiseBareSocketError(intWSAGetLastError());
    if (DebugLogWanted(4))
        WriteDebugLog(4, LogPrefix() + "<Send 3 - mPendedSendLength>" + std::to_string(mSend->normal.Length()) +
                             "<res>" + std::to_string(result) + "<tavsock_error>" + std::to_string(SOCKET_ERROR));
}

void TAVSocket::SendOOB(const Variant& Buffer) {
    Diagnostics::Current().Check(mDataMode == DataMode_Binary, SourceName(this, "SendOOB"), kBinaryCondition);
    ClearLastError();
    if (!Buffer.IsByteArray()) RaiseBareSocketError(WSAEFAULT);
    const ByteArray& bytes = Buffer.AsBytes();
    if (mMaxPendedSendLength > 0) CheckPendedRoom(bytes.size());
    mSend->urgent.Append(bytes.data(), bytes.size());
    if (GenericSend() == SOCKET_ERROR) RaiseBareSocketError(intWSAGetLastError());
}

void TAVSocket::SendTo(const Variant& Buffer, const std::shared_ptr<TAVSockAddr>& PeerName, bool OOB) {
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (Buffer.IsByteArray()) {
        Diagnostics::Current().Check(mDataMode == DataMode_Binary, SourceName(this, "SendTo"), kBinaryCondition);
        data = Buffer.AsBytes().data();
        size = Buffer.AsBytes().size();
    } else if (Buffer.IsString()) {
        // Text goes out byte for byte; the framing marks belong to stream messages.
        Diagnostics::Current().Check(mDataMode == DataMode_String, SourceName(this, "SendTo"), kStringCondition);
        data = BytesOf(Buffer.AsString());
        size = Buffer.AsString().size();
    } else {
        Diagnostics::Current().ReportFailure("Unsupported data type", SourceName(this, "SendTo"));
        return;
    }
    ClearLastError();
    // One datagram at a time: it must not be merged with data still waiting.
    if (mSend->normal.Length() > 0 || mSend->urgent.Length() >= 1) RaiseBareSocketError(WSAEWOULDBLOCK);
    (OOB ? mSend->urgent : mSend->normal).Replace(data, size);
    mSend->peer = PeerName;
    if (GenericSend() == SOCKET_ERROR) RaiseBareSocketError(intWSAGetLastError());
}

}  // namespace tav
