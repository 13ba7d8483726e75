// TavUDPSocketMgr: life cycle, properties, datagram sockets, and read notifications turned
// into DataReceived.
#include <tavsock/TavUDPSocketMgr.hpp>

#include <tavsock/ITAVSockNotify.hpp>

#include "base/SockErrors.hpp"
#include "core/SocketAccess.hpp"
#include "events/SocketMgrAccess.hpp"
#include "events/SocketMgrForwarding.hpp"
#include "names/StartupRecord.hpp"
#include "platform/RaiseEvent.hpp"
#include "platform/SockIntf.hpp"

namespace tav {

namespace sk = sockintf;

/// The manager seen through ITAVSockNotify: the inner manager's CallbackObject while
/// InternalEarlyBound is true, and the target of the handler of its DataReceived event
/// otherwise, so both routes end in the same place. Only DataReceived does anything; the
/// other five notifications keep their empty bodies, by either route. Refers to the manager
/// weakly (the inner manager holds its callback object and must not keep its owner alive),
/// and holds it for the length of a call, so a handler may let go of it.
class TavUDPSocketMgr::NotifySink final : public ITAVSockNotify {
public:
    explicit NotifySink(std::weak_ptr<TavUDPSocketMgr> mgr) : mgr_(std::move(mgr)) {}

    void DataReceived(const std::shared_ptr<TAVSocket>& Skt, bool /*IsOOB: datagrams have none*/) override {
        if (const std::shared_ptr<TavUDPSocketMgr> m = mgr_.lock()) m->ITAVSockNotify_DataReceived(Skt);
    }

private:
    std::weak_ptr<TavUDPSocketMgr> mgr_;
};

std::shared_ptr<TavUDPSocketMgr> TavUDPSocketMgr::Create() {
    std::shared_ptr<TavUDPSocketMgr> mgr(new TavUDPSocketMgr());
    mgr->Initialize();
    return mgr;
}

TavUDPSocketMgr::TavUDPSocketMgr() = default;

TavUDPSocketMgr::~TavUDPSocketMgr() {
    Terminate();
}

void TavUDPSocketMgr::Initialize() {
    mStartedUp = sk::intWSAStartup(0x0101, &ThreadStartupRecord()) == 0;
    mSocketMgr = TAVSocketMgr::Create();
    mNotifySink = std::make_shared<NotifySink>(WeakFromThisAs<TavUDPSocketMgr>());
    // The events' route ends in the same sink; the subscriptions hold it weakly, so the inner
    // manager's events hold nothing of this manager.
    ForwardSocketMgrEvents(*mSocketMgr, mNotifySink, mSubscriptions);
}

void TavUDPSocketMgr::Terminate() noexcept {
    mExtraData.reset();
    // A host may still hold the inner manager (through Sockets): from now on it raises its
    // own events and calls nobody.
    for (EventConnection& c : mSubscriptions) c.Disconnect();
    mSubscriptions.clear();
    if (mSocketMgr && mSocketMgr->CallbackObject() == mNotifySink) mSocketMgr->CallbackObject(nullptr);
    mSocketMgr.reset();
    mNotifySink.reset();
    if (mStartedUp) (void)sk::intWSACleanup();
}

// ---- Properties -----------------------------------------------------------------------------

std::shared_ptr<ValueStore> TavUDPSocketMgr::ExtraData() {
    if (!mExtraData) mExtraData = ValueStore::Create();
    return mExtraData;
}

void TavUDPSocketMgr::ExtraData(std::shared_ptr<ValueStore> store) {
    if (store != mExtraData) mExtraData = std::move(store);
}

bool TavUDPSocketMgr::InternalEarlyBound() const {
    return mSocketMgr && mSocketMgr->CallbackObject() != nullptr;
}

void TavUDPSocketMgr::InternalEarlyBound(bool value) {
    if (!mSocketMgr) return;
    mSocketMgr->CallbackObject(value ? std::shared_ptr<ITAVSockNotify>(mNotifySink) : nullptr);
}

void TavUDPSocketMgr::Tag(Variant value) {
    // Objects compare by identity, values by value: what is already held is not stored again.
    if (!(mTag == value)) mTag = std::move(value);
}

// ---- Methods --------------------------------------------------------------------------------

std::shared_ptr<TAVSocket> TavUDPSocketMgr::CreateClientSocket(const std::shared_ptr<TAVSockAddr>& LocalAddr,
                                                               const std::string& Key) {
    return CreateBoundSocket(LocalAddr, Key, false);
}

std::shared_ptr<TAVSocket> TavUDPSocketMgr::CreateServerSocket(const std::shared_ptr<TAVSockAddr>& LocalAddr,
                                                               const std::string& Key) {
    return CreateBoundSocket(LocalAddr, Key, true);
}

std::shared_ptr<TAVSocket> TavUDPSocketMgr::CreateBoundSocket(const std::shared_ptr<TAVSockAddr>& LocalAddr,
                                                              const std::string& Key, bool isServer) {
    // A datagram socket is watched for data from its start, so it is made in its family.
    const int32_t family = LocalAddr ? LocalAddr->Family() : sk::AF_INET_W;
    std::shared_ptr<TAVSocket> socket = SocketMgrAccess::CreateSocketOf(*mSocketMgr, TAVSockKind_Datagram, Key, family);
    if (!socket) RaiseSockError(sk::intWSAGetLastError());
    socket->IPv6Only(mIPv6Only);
    int32_t bound = -1;
    try {
        bound = socket->Bind(LocalAddr);
    } catch (...) {
        // Bind raises only for a null address: the socket must not stay behind either way.
        SocketMgrAccess::RemoveSocket(*mSocketMgr, Variant(socket));
        throw;
    }
    if (bound != 0) {
        // Read first: taking the socket out makes socket calls of its own.
        const int32_t error = sk::intWSAGetLastError();
        SocketMgrAccess::RemoveSocket(*mSocketMgr, Variant(socket));
        RaiseSockError(error);
    }
    SocketAccess::SetIsServerSocket(*socket, isServer);
    return socket;
}

void TavUDPSocketMgr::DestroySocket(std::shared_ptr<TAVSocket> Skt) {
    // RemoveSocket answers -1 for a socket it does not hold, which is not news to anyone here.
    if (mSocketMgr) (void)SocketMgrAccess::RemoveSocket(*mSocketMgr, Variant(std::move(Skt)));
}

// ---- Notifications --------------------------------------------------------------------------

void TavUDPSocketMgr::ITAVSockNotify_DataReceived(const std::shared_ptr<TAVSocket>& Skt) noexcept {
    try {
        // Held for the whole call: a handler may destroy the socket or this manager.
        const std::shared_ptr<TAVSocket> socket = Skt;
        if (!socket) return;
        const std::shared_ptr<TAVSockAddr> address = TAVSockAddr::Create();
        int32_t bytesRead = 0;
        int32_t errorCode = 0;
        // One event per notification, whatever the read brought: a datagram, an empty one, or
        // nothing at all (the read's error code is not passed on).
        Variant info = socket->RecvFrom(bytesRead, errorCode, address);
        RaiseEvent(DataReceived, socket, address, info);
    } catch (...) {
        // Nothing reaches the inner manager.
    }
}

}  // namespace tav
