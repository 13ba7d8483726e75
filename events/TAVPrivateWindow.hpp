// TAVPrivateWindow: a hidden window of the library's own on the thread that creates it.
//
// The socket layer reports asynchronous results by posting numbered messages to a window
// handle; this object owns such a handle on the calling thread's message queue and hands each
// message that arrives to its notification target: the CallbackObject when one is set, else
// its own WndMessage event (never both). A 32-bit value posted with PostEvent comes back
// later, from the queue, as DelayedEvent.
//
// A user window (CreateUserWindow, or the first PostEvent) hands its target only messages
// 0x400 to 0xFFFF and its posted events; a window made by CreateWindowEx hands it every
// message, including the final WM_NCDESTROY, after which hWnd reads 0.
//
// Library-internal: hosts cannot create one. Thread rule: the object and its window belong to
// the creating thread. Lifetime: the owner calls DestroyWindow before it lets go of the
// object; the window itself does not keep the object alive.
#pragma once

#include "events/ITAVPrvWndNotify.hpp"
#include "events/PrivateWndSupport.hpp"

#include <tavsock/Event.hpp>
#include <tavsock/Object.hpp>
#include <tavsock/Variant.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class TAVPrivateWindow : public Object {
public:
    /// A new object without a window. The posted-event number is registered here.
    static std::shared_ptr<TAVPrivateWindow> Create();
    /// Clears CallbackObject, destroys the window, and releases the thread's window registry
    /// when it is then empty.
    ~TAVPrivateWindow() override;

    std::string TypeName() const override { return "TAVPrivateWindow"; }

    /// Raised for each message handed to the target while CallbackObject is empty:
    /// (hWnd, Msg, wParam, lParam, RtnVal, NoDef), as ITAVPrvWndNotify::WndMessage.
    Event<int32_t, int32_t, intptr_t, intptr_t, int32_t&, bool&> WndMessage;
    /// Raised for a posted value while CallbackObject is empty.
    Event<Variant&> DelayedEvent;

    /// The notification target; empty means the events are raised instead.
    const std::shared_ptr<ITAVPrvWndNotify>& CallbackObject() const noexcept { return callbackObject_; }
    void CallbackObject(std::shared_ptr<ITAVPrvWndNotify> value) { callbackObject_ = std::move(value); }

    /// The current window, 0 when there is none.
    int32_t hWnd() const noexcept { return hWnd_; }

    /// Destroys the current window, registers the user-window class once per thread, and makes
    /// a user window. Returns the new handle, or 0.
    int32_t CreateUserWindow();
    /// Destroys the current window and makes one of the caller's (registered) class, which
    /// hands every message to the target. Returns the new handle, or 0.
    int32_t CreateWindowEx(int32_t WndExStyle, const std::string& lpClassName, const std::string& lpWindowName,
                           int32_t WndStyle, int32_t X, int32_t Y, int32_t nWidth, int32_t nHeight, int32_t hWndParent,
                           int32_t lpParam);
    /// Default processing for the current window.
    int32_t DefWindowProc(int32_t wMsg, intptr_t wParam, intptr_t lParam);
    /// Destroys the current window if the queue still knows it (its WM_NCDESTROY removes the
    /// registry entry); hWnd is 0 afterwards in every case.
    void DestroyWindow();
    /// Queues `lValue` for this object (making a user window first when there is none); it
    /// comes back from the queue as DelayedEvent, never inside this call. Without a window the
    /// value is lost silently.
    void PostEvent(int32_t lValue);
    /// Queues a message for the current window. Non-zero on success; 0 without a window.
    int32_t PostMessageNumber(int32_t Msg, int32_t wParam, int32_t lParam);
    /// Records a window class for this thread; zero arguments take the defaults (style 11,
    /// standard icon and arrow cursor, brush 2). Returns the class atom, or 0 (for instance
    /// when the class is registered already).
    int32_t RegisterClass(const std::string& ClassName, int32_t Style, int32_t clsExtra, int32_t wndExtra,
                          int32_t hIcon, int32_t hCursor, int32_t hbrBackground);
    /// Delivers a message to the current window at once and returns the result; 0 without a
    /// window. With ByReference the message carries the address of `lParam` (pointer-wide), so
    /// the receiver may write through it; otherwise its value.
    int32_t SendMessageNumber(int32_t Msg, int32_t wParam, int32_t& lParam, bool ByReference = false);
    /// Delivers a message whose lParam is the address of a NUL-terminated copy of `lParam`
    /// (same length); what the receiver leaves in that buffer comes back in `lParam`. 0, and
    /// `lParam` untouched, without a window.
    int32_t SendMessageString(int32_t Msg, int32_t wParam, std::string& lParam);

private:
    friend intptr_t PrivateWndSupport::PrvWndProc(platform::HWND, uint32_t, uintptr_t, intptr_t);

    TAVPrivateWindow();

    /// Hands one message to the target; called by PrvWndProc only.
    void Cbk_WndMessage(int32_t hWnd, int32_t Msg, intptr_t wParam, intptr_t lParam, int32_t& RtnVal, bool& NoDef);

    std::shared_ptr<ITAVPrvWndNotify> callbackObject_;
    int32_t hWnd_ = 0;
    bool userWindow_ = false;     // the current window was made by CreateUserWindow
    const int32_t postEventMsg_;  // the process-wide number of "TAVPostEventMsg"
};

}  // namespace tav
