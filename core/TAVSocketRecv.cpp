// TAVSocket: reading normal, urgent and datagram data as text or bytes.
#include <tavsock/TAVSocket.hpp>

#include "platform/DebugLog.hpp"
#include "core/SocketSupport.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/SockIntf.hpp"

#include <algorithm>

namespace tav {

using namespace sockintf;

// The debug-log labels and procedure name of one receive method.
struct TAVSocket::RecvLabels {
    const char* procedure;
    const char* binaryCount;  // label of the byte count in the binary line
    const char* stringCount;  // label of the byte count in the text line
    const char* errorLabel;   // label of the error code, or null when the line has none
    const char* readFailed;   // line for a failed sized read, or null
};

namespace {

constexpr const char* kHandleCondition = "mHandle <> TAVSock_InvalidSocketHandle";

// The read of a socket with nothing waiting: a zero-length read reports the socket's
// condition without taking anything; the caller gets one zero byte and a count of 0.
ByteArray ProbeRead(int32_t handle, int32_t& bytesRead, int32_t& errorCode) {
    ByteArray buffer(1, 0);
    intrecv(handle, reinterpret_cast<char*>(buffer.data()), 0, 0);
    bytesRead = 0;
    errorCode = intWSAGetLastError();
    return buffer;
}

std::string Text(const ByteArray& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

Variant TAVSocket::Deliver(ByteArray& bytes, int32_t bytesRead, int32_t errorCode, const RecvLabels& labels) {
    if (mDataMode == DataMode_Binary) {
        if (DebugLogWanted(2)) {
            const std::string error = labels.errorLabel ? labels.errorLabel + std::to_string(errorCode) : std::string();
            WriteDebugLog(2, LogPrefix() + labels.binaryCount + std::to_string(bytesRead) + error + "<Received:>" +
                                 Text(bytes));
        }
        return Variant(std::move(bytes));
    }
    if (mDataMode == DataMode_String) {
        std::string text = SocketSupport::StringFromByteArray(bytes);
        return DeliverText(text, bytesRead, errorCode, labels);
    }
    Diagnostics::Current().ReportFailure("Invalid DataMode set for socket", SourceName(this, labels.procedure));
    return Variant();
}

Variant TAVSocket::DeliverText(std::string& text, int32_t bytesRead, int32_t errorCode, const RecvLabels& labels) {
    if (!text.empty() && DebugLogWanted(2)) {
        const std::string error = labels.errorLabel ? labels.errorLabel + std::to_string(errorCode) : std::string();
        const size_t n = std::min<size_t>(70, text.size());
        WriteDebugLog(2, LogPrefix() + labels.stringCount + std::to_string(bytesRead) + error + "<Received left70>" +
                             text.substr(0, n) + "<right70>" + text.substr(text.size() - n));
    }
    return Variant(std::move(text));
}

Variant TAVSocket::Recv(int32_t& RtnBytesRead, int32_t& RtnErrorCode) {
    // The count asks nothing of the handle's validity; RecvWaiting checks it.
    const int32_t count = mKind == TAVSockKind_Datagram ? mMaxDatagram : HowMuchDataIsAvailable();
    return RecvWaiting(count, RtnBytesRead, RtnErrorCode);
}

Variant TAVSocket::RecvWaiting(int32_t count, int32_t& RtnBytesRead, int32_t& RtnErrorCode) {
    static const RecvLabels labels{"Recv", "<TAVSocket-Recv binary  RtnBytesRead>",
                                   "<TAVSocket-Recv string RtnBytesRead>", nullptr,
                                   "<TAVSocket-Recv tried to recv(bytecount>0) got Error:>"};
    CheckHandle(kHandleCondition);
    ClearLastError();
    if (count == 0) {
        ByteArray buffer = ProbeRead(mHandle, RtnBytesRead, RtnErrorCode);
        return Deliver(buffer, RtnBytesRead, RtnErrorCode, labels);
    }
    // Text is read straight into the text it is delivered as: no second copy of every read.
    std::string text;
    ByteArray bytes;
    char* into = nullptr;
    if (mDataMode == DataMode_String) {
        text.resize(static_cast<size_t>(count));
        into = text.data();
    } else {
        bytes.resize(static_cast<size_t>(count));
        into = reinterpret_cast<char*>(bytes.data());
    }
    const int32_t result =
        mKind != TAVSockKind_Datagram ? intrecvstream(mHandle, into, count, 0) : intrecv(mHandle, into, count, 0);
    RtnBytesRead = result;
    RtnErrorCode = 0;
    const size_t kept = result > 0 ? static_cast<size_t>(result) : 0;
    if (result <= 0) {
        RtnErrorCode = intWSAGetLastError();
        RtnBytesRead = 0;
        if (DebugLogWanted(2)) WriteDebugLog(2, LogPrefix() + labels.readFailed + std::to_string(RtnErrorCode));
    }
    if (mDataMode == DataMode_String) {
        text.resize(kept);
        return DeliverText(text, RtnBytesRead, RtnErrorCode, labels);
    }
    bytes.resize(kept);
    return Deliver(bytes, RtnBytesRead, RtnErrorCode, labels);
}

int32_t TAVSocket::RecvInto(char* into, int32_t capacity, int32_t& RtnErrorCode) {
    CheckHandle(kHandleCondition);
    ClearLastError();
    const int32_t result = mKind != TAVSockKind_Datagram ? intrecvstream(mHandle, into, capacity, 0)
                                                        : intrecv(mHandle, into, capacity, 0);
    RtnErrorCode = 0;
    if (result > 0) return result;
    RtnErrorCode = intWSAGetLastError();
    if (DebugLogWanted(2))
        WriteDebugLog(2, LogPrefix() + "<TAVSocket-Recv tried to recv(bytecount>0) got Error:>" + std::to_string(RtnErrorCode));
    return 0;
}

void TAVSocket::LogRecv(const char* data, int32_t count) const {
    if (!DebugLogWanted(2)) return;
    const std::string_view text(data, static_cast<size_t>(std::max(count, 0)));
    if (mDataMode == DataMode_Binary) {
        WriteDebugLog(2, LogPrefix() + "<TAVSocket-Recv binary  RtnBytesRead>" + std::to_string(count) + "<Received:>" +
                             std::string(text));
    } else if (!text.empty()) {
        const size_t n = std::min<size_t>(70, text.size());
        WriteDebugLog(2, LogPrefix() + "<TAVSocket-Recv string RtnBytesRead>" + std::to_string(count) +
                             "<Received left70>" + std::string(text.substr(0, n)) + "<right70>" +
                             std::string(text.substr(text.size() - n)));
    }
}

Variant TAVSocket::RecvOOB(int32_t& RtnBytesRead, int32_t& RtnErrorCode) {
    static const RecvLabels labels{"RecvOOB", "<TAVSocket-RecvOOB Binary RtnBytesRead>",
                                   "<TAVSocket-RecvOOB string RtnBytesRead>", "<RtnErrorCode>", nullptr};
    CheckHandle(kHandleCondition);
    ClearLastError();
    const int32_t count = mKind == TAVSockKind_Datagram ? mMaxDatagram : HowMuchDataIsAvailable();
    // At least one byte: TCP carries a single urgent byte, which may wait alone.
    ByteArray buffer(static_cast<size_t>(std::max<int32_t>(count, 1)));
    const int32_t result =
        intrecv(mHandle, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), MSG_OOB_W);
    RtnErrorCode = intWSAGetLastError();
    if (result > 0) {
        RtnBytesRead = result;
        buffer.resize(static_cast<size_t>(result));
    } else {
        RtnBytesRead = 0;
        buffer.clear();
    }
    return Deliver(buffer, RtnBytesRead, RtnErrorCode, labels);
}

Variant TAVSocket::RecvFrom(int32_t& BytesRead, int32_t& ErrorCode, const std::shared_ptr<TAVSockAddr>& PeerName) {
    static const RecvLabels labels{"RecvFrom", "<TAVSocket-RecvFrom binary  BytesRead>",
                                   "<TAVSocket-RecvFrom string BytesRead>", "<ErrorCode>",
                                   "<TAVSocket-RecvFrom tried to recv(bytecount>0) got Error:>"};
    CheckHandle(kHandleCondition);
    ClearLastError();
    const int32_t count = mKind == TAVSockKind_Datagram ? mMaxDatagram : HowMuchDataIsAvailable();
    if (count == 0) {
        ByteArray probe = ProbeRead(mHandle, BytesRead, ErrorCode);
        return Deliver(probe, BytesRead, ErrorCode, labels);
    }
    ByteArray buffer(static_cast<size_t>(count));
    SOCKADDR_INET_W from;
    from.Ipv4 = SOCKADDR_IN{};  // read back as it was (IPv4 0.0.0.0:0) when nothing is written
    int fromLength = sizeof from;
    const int32_t result =
        intrecvfrom(mHandle, reinterpret_cast<char*>(buffer.data()), count, 0, &from.Ipv4, &fromLength);
    BytesRead = result;
    ErrorCode = 0;
    if (result > 0) {
        buffer.resize(static_cast<size_t>(result));
    } else {
        ErrorCode = intWSAGetLastError();
        BytesRead = 0;
        buffer.clear();
        if (DebugLogWanted(2)) WriteDebugLog(2, LogPrefix() + labels.readFailed + std::to_string(ErrorCode));
    }
    if (PeerName) SocketSupport::SockAddrFromRecord(from, *PeerName);
    return Deliver(buffer, BytesRead, ErrorCode, labels);
}

}  // namespace tav
