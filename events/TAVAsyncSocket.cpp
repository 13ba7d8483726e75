#include "events/TAVAsyncSocket.hpp"

#include "platform/DebugLog.hpp"
#include "core/SocketSupport.hpp"
#include "events/CaughtError.hpp"
#include "names/HostInfoAccess.hpp"
#include "platform/MessageQueue.hpp"
#include "platform/RaiseEvent.hpp"
#include "platform/SockIntf.hpp"

#include <tavsock/MessageBox.hpp>

namespace tav {

namespace sk = sockintf;

namespace {

// Runs one step of a procedure that shows its errors and goes on with the next step.
template <class Fn>
void ShowingErrors(const char* where, Fn&& fn) {
    try {
        fn();
    } catch (...) {
        ShowMessageBox(DescriptionOfCaughtError() + where);
    }
}

std::string KeyOf(int32_t handle) {
    return std::to_string(handle);
}

}  // namespace

// The window's CallbackObject while InternalEarlyBound is true. A separate object, so the
// window's strong reference to its callback does not reach the service (no cycle) and the
// interface's names do not collide with the service's events.
class TAVAsyncSocket::NotifySink : public ITAVPrvWndNotify {
public:
    explicit NotifySink(std::weak_ptr<TAVAsyncSocket> owner) : owner_(std::move(owner)) {}

    void WndMessage(int32_t hWnd, int32_t Msg, intptr_t wParam, intptr_t lParam, int32_t& RtnVal,
                    bool& NoDef) override {
        // Strong for the dispatch: a handler may drop the service's last other reference.
        if (std::shared_ptr<TAVAsyncSocket> owner = owner_.lock())
            owner->ITAVPrvWndNotify_WndMessage(hWnd, Msg, wParam, lParam, RtnVal, NoDef);
    }
    // Posted events mean nothing to the service.
    void DelayedEvent(Variant&) override {}

private:
    std::weak_ptr<TAVAsyncSocket> owner_;
};

std::shared_ptr<TAVAsyncSocket> TAVAsyncSocket::Create() {
    std::shared_ptr<TAVAsyncSocket> service(new TAVAsyncSocket());
    service->Initialize();
    return service;
}

void TAVAsyncSocket::Initialize() {
    ShowingErrors(" error in AsyncSocket _Initialize", [this] {
        std::weak_ptr<TAVAsyncSocket> weak = WeakFromThisAs<TAVAsyncSocket>();
        sink_ = std::make_shared<NotifySink>(weak);
        mPrivateWnd = TAVPrivateWindow::Create();
        // mPrivateWnd_WndMessage: the route while InternalEarlyBound is false. The window raises
        // its event only while it has no CallbackObject, so one subscription for the object's
        // life serves. Its DelayedEvent would do nothing here and is not subscribed.
        mPrivateWnd->WndMessage.Subscribe(
            [weak](int32_t hWnd, int32_t Msg, intptr_t wParam, intptr_t lParam, int32_t& RtnVal, bool& NoDef) {
                if (std::shared_ptr<TAVAsyncSocket> self = weak.lock())
                    self->ITAVPrvWndNotify_WndMessage(hWnd, Msg, wParam, lParam, RtnVal, NoDef);
            });
        mPrivateWnd->CreateUserWindow();
    });
}

TAVAsyncSocket::~TAVAsyncSocket() {
    Terminate();
}

void TAVAsyncSocket::Terminate() noexcept {
    const char* where = " error in AsyncSocket _Terminate";
    // A failed cancel leaves nothing to do: the request is forgotten either way.
    ShowingErrors(where, [this] {
        for (const auto& entry : pending_) sk::intWSACancelAsyncRequest(entry.item.handle);
    });
    ShowingErrors(where, [this] { pending_.Clear(); });
    ShowingErrors(where, [this] {
        if (mPrivateWnd) mPrivateWnd->DestroyWindow();
        mPrivateWnd.reset();
    });
    // Lets what the window's end left queued run once. Never creates a queue from a
    // destructor: a thread whose queue has ended (or never existed) has nothing pending.
    ShowingErrors(where, [] {
        if (platform::MessageQueue* queue = platform::MessageQueue::Current()) queue->RunPending();
    });
}

bool TAVAsyncSocket::InternalEarlyBound() const {
    return mPrivateWnd && mPrivateWnd->CallbackObject() != nullptr;
}

void TAVAsyncSocket::InternalEarlyBound(bool value) {
    if (!mPrivateWnd) return;
    mPrivateWnd->CallbackObject(value ? std::shared_ptr<ITAVPrvWndNotify>(sink_) : nullptr);
}

bool TAVAsyncSocket::IsUsable() const {
    return WindowHandle() != 0;
}

int32_t TAVAsyncSocket::WindowHandle() const {
    return mPrivateWnd ? mPrivateWnd->hWnd() : 0;
}

int32_t TAVAsyncSocket::NumberOfPendingRequests() const {
    return pending_.Count();
}

void TAVAsyncSocket::CancelAsyncRequest(int32_t AsyncHandle) {
    try {
        const int32_t position = pending_.PositionOfKey(KeyOf(AsyncHandle));
        if (position < 0) return;
        sk::intWSACancelAsyncRequest(AsyncHandle);
        pending_.RemoveAt(position);
    } catch (...) {
        // Dropped without a report.
    }
}

int32_t TAVAsyncSocket::GetHostByName(const std::string& HostName) {
    try {
        std::shared_ptr<TAVHostInfo> info = HostInfoAccess::Create();
        const sk::HANDLE handle =
            sk::intWSAAsyncGetHostByName(WindowHandle(), kLookupMessage, HostName.c_str(),
                                         HostInfoAccess::ResultBuffer(*info), HostInfoAccess::kResultBufferLength);
        return KeepPending(info, handle);
    } catch (...) {
        return 0;  // dropped without a report
    }
}

int32_t TAVAsyncSocket::GetHostByAddress(const std::string& IPAddr) {
    try {
        std::shared_ptr<TAVHostInfo> info = HostInfoAccess::Create();
        const SocketSupport::AddressBytes addr = SocketSupport::AddressBytesFromText(IPAddr);
        const sk::HANDLE handle = sk::intWSAAsyncGetHostByAddr(
            WindowHandle(), kLookupMessage, addr.Data(), addr.length, addr.family,
            HostInfoAccess::ResultBuffer(*info), HostInfoAccess::kResultBufferLength);
        return KeepPending(info, handle);
    } catch (...) {
        return 0;  // dropped without a report
    }
}

int32_t TAVAsyncSocket::KeepPending(const std::shared_ptr<TAVHostInfo>& info, int32_t handle) {
    // Refused by the socket layer: the last error stays for the caller to read, and the
    // object goes.
    if (handle == 0) return 0;
    bool kept = false;
    try {
        kept = pending_.Add(PendingLookup{handle, info}, KeyOf(handle));
    } catch (...) {
    }
    if (!kept) {
        // Nothing would keep the result buffer alive: call the look-up off.
        sk::intWSACancelAsyncRequest(handle);
        return 0;
    }
    return handle;
}

int32_t TAVAsyncSocket::MakeSocketAsync(int32_t Socket) {
    int32_t result = 0;
    // On -1 the last error stays for the caller to read.
    ShowingErrors(" error in AsycnSocket.MakeSocketAsync",
                  [&] { result = sk::intWSAAsyncSelect(Socket, WindowHandle(), kSocketMessage, kEventMask); });
    return result;
}

int32_t TAVAsyncSocket::MakeSocketNonAsync(int32_t Socket) {
    int32_t result = 0;
    ShowingErrors(" error in AsycnSocket.MakeSocketNonAsync",
                  [&] { result = sk::intWSAAsyncSelect(Socket, WindowHandle(), 0, 0); });
    return result;
}

// Called with a strong reference held by the caller (the sink or the event subscription).
// RtnVal and NoDef are left alone: every message also gets the window's default processing.
void TAVAsyncSocket::ITAVPrvWndNotify_WndMessage(int32_t hWnd, int32_t Msg, intptr_t wParam, intptr_t lParam,
                                                 int32_t& RtnVal, bool& NoDef) {
    (void)NoDef;
    ShowingErrors(" error in AsycnSocket.mPrivateWnd_WndMessage", [&] {
        if (Msg == kSocketMessage) {
            if (DebugLogWanted(6))
                WriteDebugLog(
                    6, "TAVAsyncSocket ITAVPrvWndNotify_Wnd Network 'SocketMessage' Received - LOW LEVEL.<hwnd>" +
                           std::to_string(hWnd) + "<msg>" + std::to_string(kSocketMessage) + "<wParam>" +
                           std::to_string(wParam) + "<lParam>" + std::to_string(lParam) + "<RtnVal>" +
                           std::to_string(RtnVal));
            RaiseEvent(SocketMessage, static_cast<int32_t>(wParam), static_cast<int32_t>(lParam));
        } else if (Msg == kLookupMessage) {
            OnLookupCompleted(static_cast<int32_t>(wParam), PrivateWndSupport::HighWordOf(lParam));
        }
    });
}

void TAVAsyncSocket::OnLookupCompleted(int32_t AsyncHandle, int32_t error) {
    std::shared_ptr<TAVHostInfo> info;
    const int32_t position = pending_.PositionOfKey(KeyOf(AsyncHandle));
    if (position > 0) {
        info = pending_.ItemAt(position).info;
        pending_.RemoveAt(position);
    }
    if (error == 0 && info) {
        HostInfoAccess::LoadFromBuffer(*info);
        RaiseEvent(HostResolved, AsyncHandle, info);
    } else {
        // A failed look-up, or a completion nobody waits for (cancelled, never started).
        RaiseEvent(AsyncError, AsyncHandle, error);
    }
}

}  // namespace tav
