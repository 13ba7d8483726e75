// The notification interface of the private message window.
//
// Whoever wants a TAVPrivateWindow's messages without subscribing to its events implements
// this class and sets itself as the window's CallbackObject. Both operations have empty
// default bodies, so a receiver overrides only what it needs.
#pragma once

#include <tavsock/Variant.hpp>

#include <cstdint>

namespace tav {

class ITAVPrvWndNotify {
public:
    virtual ~ITAVPrvWndNotify() = default;

    /// A message for the window `hWnd`. `RtnVal` is what the window procedure returns (0 unless
    /// set); setting `NoDef` true suppresses default processing. wParam and lParam are
    /// pointer-wide so that a message may carry an address (SendMessageNumber by reference,
    /// SendMessageString); the socket layer's messages fit in 32 bits.
    virtual void WndMessage(int32_t hWnd, int32_t Msg, intptr_t wParam, intptr_t lParam, int32_t& RtnVal, bool& NoDef) {
        (void)hWnd, (void)Msg, (void)wParam, (void)lParam, (void)RtnVal, (void)NoDef;
    }

    /// A value posted with PostEvent, back from the message queue; `lValue` holds a Long.
    virtual void DelayedEvent(Variant& lValue) { (void)lValue; }
};

}  // namespace tav
