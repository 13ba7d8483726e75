// TAVSocket: creation, destruction, simple properties and the shared helpers.
#include <tavsock/TAVSocket.hpp>

#include "platform/DebugLog.hpp"
#include "core/SocketSendState.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/SockIntf.hpp"

namespace tav {

using namespace sockintf;

TAVSocket::TAVSocket() : send_(std::make_unique<SendState>()) {}

TAVSocket::~TAVSocket() {
    CloseDebugLogFile();
    if (handle_ != TAVSock_InvalidSocketHandle) {
        // Also when the last manager has stopped the stack already: the handle is this
        // object's to close, and nobody else will.
        CloseSocketHandle(handle_);
        handle_ = TAVSock_InvalidSocketHandle;
    }
    extraData_.reset();
}

void TAVSocket::ClearLastError() noexcept { intWSASetLastError(0); }

void TAVSocket::CheckHandle(const char* conditionText) const {
    // The source text is only built for a failure; a passing check has no effect anyway.
    if (handle_ == TAVSock_InvalidSocketHandle) Diagnostics::Current().Check(false, SourceName(this), conditionText);
}

std::string TAVSocket::LogPrefix() const {
    // An object in Tag has no text of its own; its type name stands in for it.
    if (tag_.IsObject()) {
        const ObjectPtr& o = tag_.AsObject();
        return std::string("Tag>") + (o ? o->TypeName() : "Nothing");
    }
    return "Tag>" + tag_.ToString();
}

void TAVSocket::DataMode(int32_t NewValue) {
    Diagnostics::Current().Check(NewValue == DataMode_Binary || NewValue == DataMode_String,
                                 [this] { return SourceName(this, "Let DataMode"); },
                                 "(NewValue = DataMode_Binary) Or (NewValue = DataMode_String)");
    dataMode_ = NewValue;
}

std::shared_ptr<ValueStore> TAVSocket::ExtraData() {
    if (!extraData_) extraData_ = ValueStore::Create();
    return extraData_;
}

void TAVSocket::ExtraData(std::shared_ptr<ValueStore> store) { extraData_ = std::move(store); }

bool TAVSocket::IsValidMaxRecvHoldBufferSize(int32_t Value) const noexcept {
    return Value >= 8192 && Value <= 16777216;
}

int32_t TAVSocket::LastError() const { return intWSAGetLastError(); }

void TAVSocket::MaxRecvHoldBufferSize(int32_t NewValue) {
    Diagnostics::Current().Check(IsValidMaxRecvHoldBufferSize(NewValue), SourceName(this, "MaxRecvHoldBufferSize"),
                                 "IsValidMaxRecvHoldBufferSize(NewValue)");
    maxRecvHoldBufferSize_ = NewValue;
}

void TAVSocket::NoEndMarkTimeout(int32_t NewValue) {
    Diagnostics::Current().Check(NewValue >= 0, SourceName(this, "NoEndMarkTimeout"), "NewValue >= 0");
    noEndMarkTimeout_ = NewValue;
}

int32_t TAVSocket::CreateSocket(int32_t kind, int32_t family) {
    ClearLastError();
    if (handle_ != TAVSock_InvalidSocketHandle) intclosesocket(handle_);

    int protocol = 0;
    if (kind == TAVSockKind_Stream) {
        protocol = IPPROTO_TCP_W;
    } else if (kind == TAVSockKind_Datagram) {
        protocol = IPPROTO_UDP_W;
    } else {
        Diagnostics::Current().ReportFailure("Invalid socket Kind specified" + Diagnostics::TextOfValue(kind),
                                             SourceName(this, "CreateSocket@Protocol=TAVSockProtocol_IP"));
    }
    if (kind == TAVSockKind_Stream || kind == TAVSockKind_Datagram)
        kind_ = kind;
    else
        Diagnostics::Current().ReportFailure("Invalid socket Kind specified" + Diagnostics::TextOfValue(kind),
                                             SourceName(this, "CreateSocket"));

    // An unknown kind still goes to the stack, which refuses the type. The socket is made
    // non-blocking by the same call that opens it; a stack that could open it but not switch
    // it would show "Set Nonblocking IO Error: " and the code, but this one cannot fail so.
    handle_ = NonBlockingSocket(family == AF_INET6_W ? AF_INET6_W : AF_INET_W, kind, protocol);
    if (handle_ == INVALID_SOCKET) {
        state_ = Skt_Error;
        (void)intWSAGetLastError();
        return handle_;
    }
    state_ = Skt_Initialized;
    if (kind == TAVSockKind_Datagram) maxDatagram_ = MaxUDPDatagramSize();
    return handle_;
}

}  // namespace tav
