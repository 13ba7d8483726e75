// TAVAsyncSocket: the socket layer's window messages turned into events.
//
// Owns one TAVPrivateWindow and gives its handle to the socket layer as the destination of
// readiness notifications of sockets registered with MakeSocketAsync (message 0x501) and of
// completions of background host look-ups (message 0x500). Look-ups still under way are kept
// in a pending-request table, whose TAVHostInfo objects hold the result buffers the socket
// layer writes into. Raises AsyncError, HostResolved and SocketMessage.
//
// Library-internal: each socket manager owns one; hosts cannot create it. Thread rule: the
// object belongs to the creating thread, and results come back only through that thread's
// message queue, never inside the call that started them. Lifetime: a handler of any of the
// events may drop the last reference to the object (its owner may go away); the dispatch
// keeps the object alive until it returns. The window's link back to this object (callback
// object or event subscription) is weak, so the window never keeps it alive.
#pragma once

#include "events/ITAVPrvWndNotify.hpp"
#include "events/TAVPrivateWindow.hpp"
#include "platform/KeyedList.hpp"

#include <tavsock/Event.hpp>
#include <tavsock/Object.hpp>
#include <tavsock/TAVHostInfo.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class TAVAsyncSocket : public Object {
public:
    /// Message number of socket readiness notifications.
    static constexpr int32_t kSocketMessage = 0x501;
    /// Message number of look-up completions.
    static constexpr int32_t kLookupMessage = 0x500;
    /// Every asynchronous socket is registered for read, write, out-of-band, accept, connect
    /// and close.
    static constexpr int32_t kEventMask = 0x3F;

    /// A new service with its user window made (IsUsable tells whether that worked);
    /// InternalEarlyBound starts false.
    static std::shared_ptr<TAVAsyncSocket> Create();
    /// Cancels the pending look-ups in table order, destroys the window, then lets the
    /// thread's pending messages run once.
    ~TAVAsyncSocket() override;

    std::string TypeName() const override { return "TAVAsyncSocket"; }

    /// (AsyncHandle, ErrorCode): a look-up failed, or completed without a pending entry (then
    /// with the code the completion carried, 0 for success).
    Event<int32_t, int32_t> AsyncError;
    /// (AsyncHandle, HostObject): a look-up succeeded; the object holds the result.
    Event<int32_t, const std::shared_ptr<TAVHostInfo>&> HostResolved;
    /// (wParam, lParam): a socket notification, unchanged: the socket handle; event code in
    /// the low word, error code in the high word.
    Event<int32_t, int32_t> SocketMessage;

    /// True: the window calls this object's notification operations directly (through its
    /// CallbackObject); false: they reach it through the window's events. The same events, in
    /// the same order, either way. Does nothing without a window object.
    bool InternalEarlyBound() const;
    void InternalEarlyBound(bool value);
    /// True while the service has a window.
    bool IsUsable() const;
    /// Look-ups started and not yet completed or cancelled.
    int32_t NumberOfPendingRequests() const;
    /// Cancels a pending look-up: nothing is raised for it. A handle that is not pending is
    /// ignored. Errors are dropped.
    void CancelAsyncRequest(int32_t AsyncHandle);
    /// Starts a background look-up by name. Returns its handle, or 0 when the socket layer
    /// refused it (nothing is raised then). Errors are dropped.
    int32_t GetHostByName(const std::string& HostName);
    /// As GetHostByName, by dotted IPv4 address.
    int32_t GetHostByAddress(const std::string& IPAddr);
    /// Registers the socket for the six notifications; the socket layer's result (0 or -1).
    int32_t MakeSocketAsync(int32_t Socket);
    /// Stops the socket's notifications; the socket layer's result (0 or -1).
    int32_t MakeSocketNonAsync(int32_t Socket);

    /// Library-internal: the window that the socket layer reports to, 0 without one.
    int32_t WindowHandle() const;

private:
    class NotifySink;

    TAVAsyncSocket() = default;
    void Initialize();
    int32_t KeepPending(const std::shared_ptr<TAVHostInfo>& info, int32_t handle);
    void Terminate() noexcept;

    // What the window delivers, by either route.
    void ITAVPrvWndNotify_WndMessage(int32_t hWnd, int32_t Msg, intptr_t wParam, intptr_t lParam, int32_t& RtnVal,
                                     bool& NoDef);
    void OnLookupCompleted(int32_t AsyncHandle, int32_t error);

    std::shared_ptr<TAVPrivateWindow> mPrivateWnd;
    // The window's CallbackObject while InternalEarlyBound is true; refers back weakly.
    std::shared_ptr<NotifySink> sink_;
    struct PendingLookup {
        int32_t handle;
        std::shared_ptr<TAVHostInfo> info;
    };
    // Key: the request handle in decimal; in the order the look-ups were started. Each entry
    // keeps its result buffer alive and in place until the completion is handled or the
    // request is cancelled.
    KeyedList<PendingLookup> pending_;
};

}  // namespace tav
