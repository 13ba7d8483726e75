// TAVSocket: creation, destruction, simple properties and the shared helpers.
#include <tavsock/TAVSocket.hpp>

#include "platform/DebugLog.hpp"
#include "core/SocketSendState.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/SockIntf.hpp"

namespace tav {

using namespace sockintf;

TAVSocket::TAVSocket() : mSend(std::make_unique<SendState>()) {}

TAVSocket::~TAVSocket() {
    CloseDebugLogFile();
    if (mHandle != TAVSock_InvalidSocketHandle) {
        // Also when the last manager has stopped the stack already: the handle is this
        // object's to close, and nobody else will.
        CloseSocketHandle(mHandle);
        mHandle = TAVSock_InvalidSocketHandle;
    }
    mExtraData.reset();
}

void TAVSocket::ClearLastError() noexcept { intWSASetLastError(0); }

void TAVSocket::CheckHandle(const char* conditionText) const {
    // The source text is only built for a failure; a passing check has no effect anyway.
    if (mHandle == TAVSock_InvalidSocketHandle) Diagnostics::Current().Check(false, SourceName(this), conditionText);
}

std::string TAVSocket::LogPrefix() const {
    // An object in Tag has no text of its own; its type name stands in for it.
    if (mTag.IsObject()) {
        const ObjectPtr& o = mTag.AsObject();
        return std::string("Tag>") + (o ? o->TypeName() : "Nothing");
    }
    return "Tag>" + mTag.ToString();
}

void TAVSocket::DataMode(int32_t NewValue) {
    Diagnostics::Current().Check(NewValue == DataMode_Binary || NewValue == DataMode_String,
                                 [this] { return SourceName(this, "Let DataMode"); },
                                 "(NewValue = DataMode_Binary) Or (NewValue = DataMode_String)");
    mDataMode = NewValue;
}

std::shared_ptr<ValueStore> TAVSocket::ExtraData() {
    if (!mExtraData) mExtraData = ValueStore::Create();
    return mExtraData;
}

void TAVSocket::ExtraData(std::shared_ptr<ValueStore> store) { mExtraData = std::move(store); }

bool TAVSocket::IsValidMaxRecvHoldBufferSize(int32_t Value) const noexcept {
    return Value >= 8192 && Value <= 16777216;
}

int32_t TAVSocket::LastError() const { return intWSAGetLastError(); }

void TAVSocket::MaxRecvHoldBufferSize(int32_t NewValue) {
    Diagnostics::Current().Check(IsValidMaxRecvHoldBufferSize(NewValue), SourceName(this, "MaxRecvHoldBufferSize"),
                                 "IsValidMaxRecvHoldBufferSize(NewValue)");
    mMaxRecvHoldBufferSize = NewValue;
}

void TAVSocket::NoEndMarkTimeout(int32_t NewValue) {
    Diagnostics::Current().Check(NewValue >= 0, SourceName(this, "NoEndMarkTimeout"), "NewValue >= 0");
    mNoEndMarkTimeout = NewValue;
}

int32_t TAVSocket::CreateSocket(int32_t kind, int32_t family) {
    ClearLastError();
    if (mHandle != TAVSock_InvalidSocketHandle) intclosesocket(mHandle);

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
        mKind = kind;
    else
        Diagnostics::Current().ReportFailure("Invalid socket Kind specified" + Diagnostics::TextOfValue(kind),
                                             SourceName(this, "CreateSocket"));

    // An unknown kind still goes to the stack, which refuses the type. The socket is made
    // non-blocking by the same call that opens it; a stack that could open it but not switch
    // it would show "Set Nonblocking IO Error: " and the code, but this one cannot fail so.
    mHandle = NonBlockingSocket(family == AF_INET6_W ? AF_INET6_W : AF_INET_W, kind, protocol);
    if (mHandle == INVALID_SOCKET) {
        mState = Skt_Error;
        (void)intWSAGetLastError();
        return mHandle;
    }
    mState = Skt_Initialized;
    if (kind == TAVSockKind_Datagram) mMaxDatagram = MaxUDPDatagramSize();
    return mHandle;
}

}  // namespace tav
