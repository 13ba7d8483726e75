// TavTCPSocketMgr: life cycle, properties, socket creation and destruction, requests.
#include <tavsock/TavTCPSocketMgr.hpp>

#include "platform/DebugLog.hpp"
#include "base/SockErrors.hpp"
#include "core/SocketAccess.hpp"
#include "events/SocketMgrAccess.hpp"
#include "events/SocketMgrForwarding.hpp"
#include "names/StartupRecord.hpp"
#include "platform/SockIntf.hpp"
#include "platform/Timer.hpp"
#include "transport/MessageFramer.hpp"
#include "transport/TavTCPSocketMgrSink.hpp"
#include "transport/WaitTime.hpp"

namespace tav {

namespace sk = sockintf;

namespace {
constexpr int32_t kLogLevel = 2;
constexpr int32_t kTimerInterval = 1000;
constexpr int64_t kCreateWait = 12 * waittime::kPerSecond;

/// A stream socket made at once in the family of the address it is to be bound to: one made
/// in the other would be made again under its handle by the bind (four system calls more).
std::shared_ptr<TAVSocket> CreateStreamSocket(TAVSocketMgr& inner, const std::shared_ptr<TAVSockAddr>& LocalAddr,
                                              const std::string& Key) {
    const int32_t family = LocalAddr ? LocalAddr->Family() : sk::AF_INET_W;
    return SocketMgrAccess::CreateSocketOf(inner, TAVSockKind_Stream, Key, family);
}
}  // namespace

std::shared_ptr<TavTCPSocketMgr> TavTCPSocketMgr::Create() {
    std::shared_ptr<TavTCPSocketMgr> mgr(new TavTCPSocketMgr());
    mgr->Initialize();
    return mgr;
}

TavTCPSocketMgr::TavTCPSocketMgr() = default;

TavTCPSocketMgr::~TavTCPSocketMgr() {
    Terminate();
}

void TavTCPSocketMgr::Initialize() {
    mStartedUp = sk::intWSAStartup(0x0101, &ThreadStartupRecord()) == 0;

    // The inner manager reaches this one through NotifySink, which refers back weakly, by
    // either route; so do the timer's ticks. Nothing this manager owns keeps it alive.
    mSelf = WeakFromThisAs<TavTCPSocketMgr>();
    mSocketMgr = TAVSocketMgr::Create();
    mNotifySink = std::make_shared<NotifySink>(WeakFromThisAs<TavTCPSocketMgr>());
    ForwardSocketMgrEvents(*mSocketMgr, mNotifySink, mSubscriptions);

    HoldBuffer = ValueStore::Create();
    mFramer = std::make_unique<MessageFramer>(HoldBuffer);

    tmrProcessIncoming = std::make_unique<platform::Timer>();
    std::weak_ptr<TavTCPSocketMgr> weak = WeakFromThisAs<TavTCPSocketMgr>();
    mSubscriptions.push_back(tmrProcessIncoming->Tick.Subscribe([weak] {
        if (auto self = weak.lock()) {
            DispatchGuard guard(std::move(self));
            guard->tmrProcessIncoming_Tick();
        }
    }));
    tmrProcessIncoming->Interval(kTimerInterval);
    tmrProcessIncoming->Enabled(false);
}

void TavTCPSocketMgr::Terminate() noexcept {
    if (tmrProcessIncoming) tmrProcessIncoming->Enabled(false);
    tmrProcessIncoming.reset();
    mFramer.reset();
    HoldBuffer.reset();
    mExtraData.reset();
    // A host may still hold the inner manager (through Sockets): it raises its own events
    // from now on.
    for (EventConnection& c : mSubscriptions) c.Disconnect();
    mSubscriptions.clear();
    if (mSocketMgr && mSocketMgr->CallbackObject() == mNotifySink) mSocketMgr->CallbackObject(nullptr);
    mSocketMgr.reset();
    mNotifySink.reset();
    mLastSocket.reset();
    if (mStartedUp) (void)sk::intWSACleanup();
}

std::string TavTCPSocketMgr::LogPrefix() const {
    // An object in Tag has no text of its own; its type name stands in for it.
    if (mTag.IsObject()) {
        const ObjectPtr& o = mTag.AsObject();
        return std::string("Tag>") + (o ? o->TypeName() : "Nothing");
    }
    return "Tag>" + mTag.ToString();
}

// ---- Properties -----------------------------------------------------------------------------

std::shared_ptr<ValueStore> TavTCPSocketMgr::ExtraData() {
    if (!mExtraData) mExtraData = ValueStore::Create();
    return mExtraData;
}

void TavTCPSocketMgr::ExtraData(std::shared_ptr<ValueStore> store) {
    if (store != mExtraData) mExtraData = std::move(store);
}

bool TavTCPSocketMgr::InternalEarlyBound() const {
    return mSocketMgr && mSocketMgr->CallbackObject() != nullptr;
}

void TavTCPSocketMgr::InternalEarlyBound(bool value) {
    if (!mSocketMgr) return;
    mSocketMgr->CallbackObject(value ? std::shared_ptr<ITAVSockNotify>(mNotifySink) : nullptr);
}

Variant TavTCPSocketMgr::Tag() const {
    return mSocketMgr ? mSocketMgr->Tag() : mTag;
}

void TavTCPSocketMgr::Tag(Variant value) {
    // Objects compare by identity, values by value: what is already held is not stored again.
    if (!(mTag == value)) mTag = value;
    if (mSocketMgr && !(mSocketMgr->Tag() == value)) mSocketMgr->Tag(std::move(value));
}

// ---- Methods --------------------------------------------------------------------------------

void TavTCPSocketMgr::CancelAsyncRequest(int32_t AsyncHandle) {
    mSocketMgr->CancelAsyncRequest(AsyncHandle);
}

std::shared_ptr<TAVSocket> TavTCPSocketMgr::CreateClientSocket(const std::shared_ptr<TAVSockAddr>& LocalAddr,
                                                               const std::string& Key) {
    if (DebugLogWanted(kLogLevel)) WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - start CreateClientSocket");
    std::shared_ptr<TAVSocket> socket = CreateStreamSocket(*mSocketMgr, LocalAddr, Key);
    if (!socket) {
        if (DebugLogWanted(kLogLevel))
            WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - CreateClientSocket - CreateError");
        FailCreate(nullptr);
    }
    socket->IPv6Only(mIPv6Only);
    if (SocketAccess::BindForConnect(*socket, LocalAddr) != 0) {
        if (DebugLogWanted(kLogLevel))
            WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - CreateClientSocket - CreateError2");
        FailCreate(socket);
    }
    SocketAccess::SetIsServerSocket(*socket, false);
    mWaitTime = waittime::Now() + kCreateWait;
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - Done CreateClientSocket mWaitTime>" +
                                     waittime::Text(mWaitTime) + "<showtimer>" + waittime::Text(waittime::Now()) +
                                     "<NewSkt.handle>" + std::to_string(socket->Handle()));
    return socket;
}

std::shared_ptr<TAVSocket> TavTCPSocketMgr::CreateServerSocket(const std::shared_ptr<TAVSockAddr>& LocalAddr,
                                                               const std::string& Key, int32_t Backlog) {
    std::shared_ptr<TAVSocket> socket = CreateStreamSocket(*mSocketMgr, LocalAddr, Key);
    if (!socket) FailCreate(nullptr);
    socket->IPv6Only(mIPv6Only);
    if (socket->Bind(LocalAddr) != 0 || socket->Listen(Backlog) != 0) FailCreate(socket);
    SocketAccess::SetIsServerSocket(*socket, true);
    mWaitTime = waittime::Now() + kCreateWait;
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, LogPrefix() + "<TAVTcpSocketMgr - Done CreateServerSocket mWaitTime>" +
                                     waittime::Text(mWaitTime) + "<showtimer>" + waittime::Text(waittime::Now()));
    return socket;
}

void TavTCPSocketMgr::FailCreate(const std::shared_ptr<TAVSocket>& socket) {
    // Read first: taking the socket out makes socket calls of its own.
    const int32_t error = sk::intWSAGetLastError();
    if (socket) SocketMgrAccess::RemoveSocket(*mSocketMgr, Variant(socket));
    RaiseSockError(error);
}

void TavTCPSocketMgr::DestroySocket(const std::shared_ptr<TAVSocket>& Skt) {
    if (!Skt) throw SockError(91, "", "Object variable or With block variable not set");
    if (mSocketMgr && mSocketMgr->Contains(Skt)) {
        if (DebugLogWanted(kLogLevel))
            WriteDebugLog(kLogLevel, LogPrefix() + "<DestroySocket - Skt.Handle>" + std::to_string(Skt->Handle()));
        SocketMgrAccess::RemoveSocket(*mSocketMgr, Variant(Skt));
    }
    const std::string key = std::to_string(Skt->Handle());
    if (HoldBuffer && HoldBuffer->Exists(key)) HoldBuffer->Remove(key);
    // A destroyed socket is no longer polled for data left unread.
    if (mLastSocket == Skt) mLastSocket.reset();
}

int32_t TavTCPSocketMgr::WSAAsyncGetHostByAddress(const std::string& IPAddr) {
    return mSocketMgr->WSAAsyncGetHostByAddress(IPAddr);
}

int32_t TavTCPSocketMgr::WSAAsyncGetHostByName(const std::string& HostName) {
    return mSocketMgr->WSAAsyncGetHostByName(HostName);
}

bool TavTCPSocketMgr::StillServing(const std::shared_ptr<TAVSocket>& Skt) const {
    // Only the running dispatches hold the manager: the host let go of it, and it ends when
    // they return; nothing more is raised on its behalf.
    if (mSelf.use_count() <= mDispatches) return false;
    if (!Skt || !mSocketMgr) return static_cast<bool>(mSocketMgr);
    // Asked after every message: the look-up by handle is made again only when the inner
    // manager's collection changed since this socket was last found in it.
    const uint64_t changes = SocketMgrAccess::MembershipChanges(*mSocketMgr);
    if (Skt.get() == mServingSocket && changes == mServingChanges) return true;
    if (SocketMgrAccess::SocketFromHandle(*mSocketMgr, Skt->Handle()) != Skt) return false;
    mServingSocket = Skt.get();
    mServingChanges = changes;
    return true;
}

}  // namespace tav
