// TAVSocket: binding, listening, connecting, accepting, addresses and socket options.
#include <tavsock/MessageLoop.hpp>
#include <tavsock/TAVSocket.hpp>

#include "platform/DebugLog.hpp"
#include "base/SockErrors.hpp"
#include "core/SocketAccess.hpp"
#include "core/SocketRegistration.hpp"
#include "core/SocketSupport.hpp"
#include "platform/MessageQueue.hpp"
#include "platform/SockIntf.hpp"

namespace tav {

using namespace sockintf;

namespace {

constexpr const char* kHandleCondition = "mHandle <> TAVSock_InvalidSocketHandle";

// The object model's runtime raises this when a method reaches through an empty reference.
[[noreturn]] void RaiseObjectNotSet() {
    throw SockError(91, "", "Object variable or With block variable not set");
}

SOCKADDR_INET_W RecordOf(const std::shared_ptr<TAVSockAddr>& addr) {
    if (!addr) RaiseObjectNotSet();
    return SocketSupport::RecordFromSockAddr(*addr);
}

std::shared_ptr<TAVSockAddr> AddressFrom(const SOCKADDR_INET_W& record) {
    auto addr = TAVSockAddr::Create();
    SocketSupport::SockAddrFromRecord(record, *addr);
    return addr;
}

/// Before a bind to an IPv6 address: the socket takes IPv6 now and, when `only`, IPv6 peers
/// only (a choice the system takes before the bind only). A failure shows in the bind.
void AskIpv6Only(SOCKET handle, const SOCKADDR_INET_W& record, bool only) {
    if (!only || record.si_family != AF_INET6_W || AdoptFamily(handle, AF_INET6_W) != 0) return;
    const int32_t on = 1;
    (void)intsetsockopt(handle, IPPROTO_IPV6_W, IPV6_V6ONLY_W, reinterpret_cast<const char*>(&on), sizeof on);
}

// Passes of the queue deeper than this do not take another turn inside Connect. A handler that
// connects lets the rest of the queue run one level deeper, where the next handler may connect
// again: a server finishing hundreds of connections in one pass otherwise nested a pass per
// connection (1,600 deep was seen), holding every socket those handlers had let go until the
// whole chain unwound, and with it each socket's close. What is left runs at the level that
// stops nesting, in the same order.
constexpr int kMaxConnectPassDepth = 8;

void LetPendingMessagesRun() {
    const platform::MessageQueue* queue = platform::MessageQueue::Current();
    if (queue && queue->PassDepth() >= kMaxConnectPassDepth) return;
    LetMessagesRun(std::chrono::milliseconds::zero());
}

}  // namespace

int32_t TAVSocket::Bind(const std::shared_ptr<TAVSockAddr>& SockAddr) {
    CheckHandle(kHandleCondition);
    ClearLastError();
    const SOCKADDR_INET_W record = RecordOf(SockAddr);
    AskIpv6Only(mHandle, record, mIPv6Only);
    const int32_t result = intbind(mHandle, &record.Ipv4, sizeof record);
    mState = result == 0 ? Skt_Bound : Skt_Error;
    return result;
}

int32_t TAVSocket::BindForConnect(const std::shared_ptr<TAVSockAddr>& SockAddr) {
    CheckHandle(kHandleCondition);
    ClearLastError();
    const SOCKADDR_INET_W record = RecordOf(SockAddr);
    AskIpv6Only(mHandle, record, mIPv6Only);
    const int32_t result = sockintf::BindForConnect(mHandle, &record.Ipv4, sizeof record);
    mState = result == 0 ? Skt_Bound : Skt_Error;
    return result;
}

int32_t TAVSocket::Listen(int32_t Backlog) {
    CheckHandle(kHandleCondition);
    ClearLastError();
    const int32_t result = intlisten(mHandle, Backlog);
    if (result == 0) mState = Skt_Listening;
    return result;
}

int32_t TAVSocket::Connect(const std::shared_ptr<TAVSockAddr>& SockAddr) {
    CheckHandle(kHandleCondition);
    ClearLastError();
    const SOCKADDR_INET_W record = RecordOf(SockAddr);
    // Handlers run below may drop the host's last reference to this socket.
    const auto keepAlive = weak_from_this().lock();

    LetPendingMessagesRun();
    const int32_t result = intconnect(mHandle, &record.Ipv4, sizeof record);
    const int32_t error = result == 0 ? 0 : intWSAGetLastError();
    // The state is set before the queue runs again: on loopback the connect notification can
    // arrive in that very turn, and the state it sets must not be overwritten afterwards.
    if (result == 0) {
        mState = Skt_Ready;
        if (DebugLogWanted(2)) WriteDebugLog(2, LogPrefix() + "<TAVSocket - Connect - Success");
    } else if (error == WSAEWOULDBLOCK) {
        mState = Skt_ConnectionPending;
        if (DebugLogWanted(2)) WriteDebugLog(2, LogPrefix() + "<TAVSocket - Connect - WSAEWOULDBLOCK - WAITING...");
    } else if (error == WSAECONNREFUSED) {
        mState = Skt_Disconnected;
    } else if (error == WSANOTINITIALISED) {
        mState = Skt_NotInitialized;
    } else {
        mState = Skt_Error;
    }
    LetPendingMessagesRun();
    // Handlers may have made socket calls of their own; callers read the connect's code.
    intWSASetLastError(error);

    if (DebugLogWanted(2))
        WriteDebugLog(2, LogPrefix() + "<TAVSocket - Connect - WSAEWOULDBLOCK - Exiting function  mState>" +
                             std::to_string(mState) + "  pending=" + std::to_string(Skt_ConnectionPending));
    return result;
}

std::shared_ptr<TAVSocket> TAVSocket::Accept(const std::shared_ptr<TAVSocketMgr>& SocketList,
                                             std::shared_ptr<TAVSockAddr>& ConnectedName) {
    CheckHandle("Handle <> TAVSock_InvalidSocketHandle");
    ClearLastError();
    mState = Skt_Connecting;

    SOCKADDR_INET_W record;
    int length = sizeof record;
    const SOCKET accepted = intaccept(mHandle, &record.Ipv4, &length);
    mState = Skt_Listening;
    if (accepted == INVALID_SOCKET) return nullptr;

    auto socket = SocketAccess::Create();
    socket->SetHandle(accepted);
    socket->mMsgBeginMark = mMsgBeginMark;
    socket->mMsgEndMark = mMsgEndMark;
    socket->mDataMode = mDataMode;
    socket->SetIsConnectionAcceptor(true);
    ConnectedName = AddressFrom(record);
    if (SocketList) AddSocketToManager(*SocketList, socket, std::to_string(accepted));
    return socket;
}

std::shared_ptr<TAVSockAddr> TAVSocket::LocalAddr() const {
    CheckHandle(kHandleCondition);
    ClearLastError();
    SOCKADDR_INET_W record;
    int length = sizeof record;
    if (intgetsockname(mHandle, &record.Ipv4, &length) != 0) {
        (void)intWSAGetLastError();
        return nullptr;
    }
    return AddressFrom(record);
}

std::shared_ptr<TAVSockAddr> TAVSocket::RemoteAddr() const {
    CheckHandle(kHandleCondition);
    ClearLastError();
    SOCKADDR_INET_W record;
    int length = sizeof record;
    if (intgetpeername(mHandle, &record.Ipv4, &length) != 0) {
        (void)intWSAGetLastError();
        return nullptr;
    }
    return AddressFrom(record);
}

int32_t TAVSocket::SocketOption(int32_t SktOpt) const {
    CheckHandle(kHandleCondition);
    ClearLastError();
    int32_t value = 0;
    int length = sizeof value;
    if (intgetsockopt(mHandle, SOL_SOCKET_W, SktOpt, reinterpret_cast<char*>(&value), &length) == SOCKET_ERROR)
        RaiseBareSocketError(intWSAGetLastError());
    return value;
}

void TAVSocket::SocketOption(int32_t SktOpt, int32_t value) {
    CheckHandle(kHandleCondition);
    ClearLastError();
    if (intsetsockopt(mHandle, SOL_SOCKET_W, SktOpt, reinterpret_cast<const char*>(&value), sizeof value) ==
        SOCKET_ERROR)
        RaiseBareSocketError(intWSAGetLastError());
}

}  // namespace tav
