#include <tavsock/TAVSocketMgr.hpp>

#include "core/SocketAccess.hpp"
#include "core/SocketRegistration.hpp"
#include "events/SocketHandleIndex.hpp"
#include "events/SocketMgrAccess.hpp"
#include "events/TAVAsyncSocket.hpp"
#include "names/SockLibInfoAccess.hpp"
#include "names/SocketUtilAccess.hpp"
#include "names/StartupRecord.hpp"
#include "platform/SockIntf.hpp"

namespace tav {

namespace sk = sockintf;

std::shared_ptr<TAVSocketMgr> TAVSocketMgr::Create() {
    std::shared_ptr<TAVSocketMgr> mgr(new TAVSocketMgr());
    mgr->Initialize();
    return mgr;
}

TAVSocketMgr::TAVSocketMgr() = default;

void TAVSocketMgr::Initialize() {
    // Every manager starts the stack and overwrites the thread's start-up record, which
    // SockLibInfo shows; a failed start-up shows later as failing socket calls.
    (void)sk::intWSAStartup(0x0101, &ThreadStartupRecord());

    mSockets = TAVSockets::Create();
    mHandles = std::make_unique<SocketHandleIndex>();
    mSockLibInfo = SockLibInfoAccess::Create();
    mUtil = SocketUtilAccess::Create();

    mAsync = TAVAsyncSocket::Create();
    // The service is owned by this manager; its subscriptions refer back weakly, so the
    // service never keeps the manager alive. Each handler holds the manager for its call: a
    // receiver may let go of the last other reference.
    std::weak_ptr<TAVSocketMgr> weak = WeakFromThisAs<TAVSocketMgr>();
    mAsync->AsyncError.Subscribe([weak](int32_t AsyncHandle, int32_t ErrorCode) {
        if (auto self = weak.lock()) self->mAsync_AsyncError(AsyncHandle, ErrorCode);
    });
    mAsync->HostResolved.Subscribe([weak](int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) {
        if (auto self = weak.lock()) self->mAsync_HostResolved(AsyncHandle, HostObject);
    });
    mAsync->SocketMessage.Subscribe([weak](int32_t wParam, int32_t lParam) {
        if (auto self = weak.lock()) self->mAsync_SocketMessage(self, wParam, lParam);
    });
    mAsync->InternalEarlyBound(true);
}

TAVSocketMgr::~TAVSocketMgr() {
    Terminate();
}

void TAVSocketMgr::Terminate() noexcept {
    // Position 1 first, each one made non-async before it is let go. RemoveSocket drops its
    // own errors; a removal that makes no progress must not loop forever.
    while (mSockets && !mSockets->IsEmpty()) {
        const int32_t before = mSockets->Count();
        try {
            RemoveSocket(Variant(mSockets->Item(Variant(int32_t{1}))));
        } catch (...) {
        }
        if (mSockets->Count() >= before) {
            mSockets->Clear();
            if (mHandles) mHandles->Clear();
        }
    }
    mSockets.reset();
    mHandles.reset();
    mExtraData.reset();
    if (mAsync) {
        try {
            mAsync->InternalEarlyBound(false);
        } catch (...) {
        }
        mAsync.reset();  // cancels its look-ups and destroys its window
    }
    mUtil.reset();
    mSockLibInfo.reset();
    if (sk::intWSACleanup() == sk::SOCKET_ERROR) (void)sk::intWSAGetLastError();
}

// ---- Properties -------------------------------------------------------------------------------

std::shared_ptr<ValueStore> TAVSocketMgr::ExtraData() {
    if (!mExtraData) mExtraData = ValueStore::Create();
    return mExtraData;
}

void TAVSocketMgr::ExtraData(std::shared_ptr<ValueStore> store) {
    if (store != mExtraData) mExtraData = std::move(store);
}

std::shared_ptr<TAVSocket> TAVSocketMgr::Item(const Variant& Index) const {
    return mSockets->Item(Index);
}

int32_t TAVSocketMgr::SocketCount() const noexcept {
    return mSockets->Count();
}

void TAVSocketMgr::Tag(Variant value) {
    // An object is stored unless it is the one held; a value is copied unless equal to the
    // one held (numbers compare across their types).
    if (!(mTag == value)) mTag = std::move(value);
}

// ---- Methods ----------------------------------------------------------------------------------

void TAVSocketMgr::CancelAsyncRequest(int32_t AsyncHandle) {
    if (mAsync->IsUsable()) mAsync->CancelAsyncRequest(AsyncHandle);
}

bool TAVSocketMgr::Contains(const std::shared_ptr<TAVSocket>& Obj) const {
    // Asked before each socket a manager destroys: through the handle index first, so closing
    // every connection does not walk the collection once per connection.
    return (mHandles && mHandles->Holds(Obj)) || mSockets->Contains(Obj);
}

std::shared_ptr<TAVSocket> TAVSocketMgr::CreateSocket(int32_t SocketOption, const std::string& Key) {
    return CreateSocketOf(SocketOption, Key, 2);
}

std::shared_ptr<TAVSocket> TAVSocketMgr::CreateSocketOf(int32_t SocketOption, const std::string& Key, int32_t family) {
    std::shared_ptr<TAVSocket> socket = SocketAccess::Create();
    if (SocketAccess::CreateSocket(*socket, SocketOption, family) == TAVSock_InvalidSocketHandle) return nullptr;
    // A key in use raises here; the new socket goes with the unwinding.
    if (AddSocket(socket, Key) != 0) return nullptr;  // held, but without notifications
    return socket;
}

Variant TAVSocketMgr::DestroySocket(const Variant& SktVal) {
    return RemoveSocket(SktVal);
}

bool TAVSocketMgr::IsEmpty() const noexcept {
    return mSockets->IsEmpty();
}

bool TAVSocketMgr::IsValidIndex(int32_t Index) const {
    return mSockets->IsValidIndex(Index);
}

bool TAVSocketMgr::IsValidKey(const std::string& Key) const {
    return mSockets->IsValidKey(Key);
}

int32_t TAVSocketMgr::WSAAsyncGetHostByAddress(const std::string& IPAddr) {
    return mAsync->IsUsable() ? mAsync->GetHostByAddress(IPAddr) : 0;
}

int32_t TAVSocketMgr::WSAAsyncGetHostByName(const std::string& HostName) {
    return mAsync->IsUsable() ? mAsync->GetHostByName(HostName) : 0;
}

// ---- Library-internal -------------------------------------------------------------------------

int32_t TAVSocketMgr::AddSocket(const std::shared_ptr<TAVSocket>& Socket, const std::string& Key) {
    mSockets->Add(Socket, Key);  // raises for a key in use, changing nothing
    mHandles->Append(Socket);
    if (!mAsync->IsUsable()) return 0;
    return mAsync->MakeSocketAsync(Socket->Handle());
}

Variant TAVSocketMgr::RemoveSocket(const Variant& SktVal) {
    Variant result;
    try {
        int32_t position = 0;
        if (SktVal.IsNumeric()) {
            position = SktVal.AsLong();
        } else if (auto socket = SktVal.ObjectAs<TAVSocket>()) {
            position = IndexOfSocket(socket);
            if (position == 0) return Variant(int16_t{-1});
            // Found in the collection, so the collection's checks would pass (and a passing
            // check has no effect): the socket is removed without asking them.
            if (mAsync->IsUsable()) mAsync->MakeSocketNonAsync(socket->Handle());
            mSockets->RemoveAt(position);
            mHandles->RemoveAt(position);
            return result;
        }
        if (position == 0) return Variant(int16_t{-1});

        // A position that designates no socket fails the collection's checks here and ends the
        // removal with nothing changed.
        const Variant index(position);
        if (mAsync->IsUsable()) mAsync->MakeSocketNonAsync(mSockets->Item(index)->Handle());
        mSockets->Remove(index);
        mHandles->RemoveAt(position);
    } catch (...) {
        // Dropped without a report.
    }
    return result;
}

int32_t TAVSocketMgr::IndexOfSocket(const std::shared_ptr<TAVSocket>& Socket) const {
    // Through the handle index, checked against the collection; a socket whose handle was
    // changed behind the manager's back is looked for item by item.
    if (mHandles) {
        const int32_t found = mHandles->PositionOf(Socket);
        if (found >= 1 && found <= mSockets->Count() && mSockets->At(found) == Socket) return found;
    }
    int32_t position = 0;
    for (const auto& item : *mSockets) {
        ++position;
        if (item == Socket) return position;
    }
    return 0;
}

std::shared_ptr<TAVSocket> TAVSocketMgr::SocketFromHandle(int32_t Handle) const {
    return mHandles->Find(Handle);
}

// The socket object's Accept registers the sockets it makes through this.
int32_t AddSocketToManager(TAVSocketMgr& mgr, const std::shared_ptr<TAVSocket>& socket, const std::string& key) {
    return SocketMgrAccess::AddSocket(mgr, socket, key);
}

}  // namespace tav

namespace tav {

uint64_t SocketMgrAccess::MembershipChanges(const TAVSocketMgr& mgr) noexcept {
    // No index (the manager is ending): a value no index reports, so nothing is taken as known.
    return mgr.mHandles ? mgr.mHandles->Changes() : UINT64_MAX;
}

}  // namespace tav
