// Window creation, the window procedure and the per-thread state of the private windows.
//
// Every TAVPrivateWindow's window runs PrvWndProc, which finds the object owning a handle in
// the calling thread's window registry and hands the message to it. The registry holds weak
// references: a window never keeps its TAVPrivateWindow alive (the owner does, and lets go
// after DestroyWindow). While a message is being handed over, PrvWndProc holds a strong
// reference, so a target may drop the last reference of the object from inside its handler.
//
// Window classes are bookkeeping here: the message queue knows one window procedure only, so
// registering a class records its name and defaults for the thread, and creating a window
// checks that its class was registered on the thread, as the platform does.
//
// Thread rule: the registry, the class table and the class-registered flag belong to the
// calling thread; windows of one thread are never looked up from another. After the thread's
// state has ended (thread exit), registry and class calls do nothing and report failure.
#pragma once

#include "platform/QueueInbox.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class TAVPrivateWindow;

namespace PrivateWndSupport {

using platform::HWND;

/// Name of the window class of user windows.
inline constexpr const char* kUserWndClassName = "TAVUserWndClass";
/// Window name of user windows.
inline constexpr const char* kPrvWndName = "TAVPrvWnd";
/// Window style of user windows: a pop-up, never visible.
inline constexpr int32_t kPrvWndStyle = static_cast<int32_t>(0x80000000u);
/// Name registered for the number of posted events.
inline constexpr const char* kPostEventMsgName = "TAVPostEventMsg";

/// Defaults a class record gets for zero arguments: class style, standard application icon
/// and arrow cursor (both resource 32512), background brush.
inline constexpr int32_t kDefaultClassStyle = 11;
inline constexpr int32_t kStandardIcon = 32512;
inline constexpr int32_t kStandardCursor = 32512;
inline constexpr int32_t kDefaultBrush = 2;

/// Messages from 0x400 to 0xFFFF are the only ones a user window hands to its target.
inline constexpr int32_t kUserMessageFirst = 0x400;
inline constexpr int32_t kUserMessageLast = 0xFFFF;

/// Bits 16 to 31 of a message parameter, read as an unsigned 16-bit number (the error code of
/// the socket layer's messages).
inline int32_t HighWordOf(intptr_t param) noexcept {
    return static_cast<int32_t>((static_cast<uint32_t>(param) >> 16) & 0xFFFFu);
}
/// Bits 0 to 15 of a message parameter, unsigned (the event code or the result length).
inline int32_t LowWordOf(intptr_t param) noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(param) & 0xFFFFu);
}

/// Creates a window of class `lpClassName` for `PvtWnd` on the calling thread and enters
/// `PvtWnd` in the registry under the new handle, replacing an entry it had under an older
/// handle (that handle then reaches no object). A null `PvtWnd` is reported to the
/// diagnostics service and the window is made anyway, with no target. Returns the handle, or 0
/// when the class is not registered on this thread or the queue cannot make a window. Style,
/// position, size, parent and creation parameter have no meaning for a hidden queue window;
/// they are accepted and ignored. Errors are shown in a message box and creation goes on.
int32_t PvtWndCreateWindow(const std::shared_ptr<TAVPrivateWindow>& PvtWnd, int32_t WndExStyle,
                           const std::string& lpClassName, const std::string& lpWindowName, int32_t WndStyle, int32_t X,
                           int32_t Y, int32_t nWidth, int32_t nHeight, int32_t hWndParent, int32_t lpParam);

/// The window procedure of every private window: hands the message to the registered object,
/// removes the registry entry on WM_NCDESTROY, and gives default processing unless the
/// target set NoDef. Errors of targets are dropped here; nothing unwinds into the queue.
intptr_t PrvWndProc(HWND hWnd, uint32_t Msg, uintptr_t wParam, intptr_t lParam);

/// A registered window class: the record as filled, zero arguments replaced by the defaults.
struct WndClassRecord {
    std::string className;  // up to the first NUL, as the platform reads it
    int32_t style = 0;
    int32_t clsExtra = 0;
    int32_t wndExtra = 0;
    int32_t hIcon = 0;
    int32_t hCursor = 0;
    int32_t hbrBackground = 0;
    intptr_t instance = 0;  // the library's module base address
    intptr_t (*wndProc)(HWND, uint32_t, uintptr_t, intptr_t) = nullptr;
    int32_t atom = 0;
};

/// The library's module instance: the base address of the loaded library.
intptr_t LibraryInstance();

/// Records a class for the calling thread. Returns its atom (0xC000 and up), or 0 when the
/// name is empty or a class of that name (compared without regard to case) exists already.
int32_t RegisterWndClass(WndClassRecord record);
/// The thread's class of that name, or null.
const WndClassRecord* FindWndClass(const std::string& className);

/// The thread's class-registered flag: set by the first CreateUserWindow on the thread,
/// whatever the registration returned.
bool ClassRegisteredFlag();
void SetClassRegisteredFlag();

/// Test hooks: successful class registrations on this thread; whether the thread's window
/// registry exists (it is created on first use and released by a terminating window that
/// finds it empty) and how many entries it has (0 when it does not exist).
int32_t ClassRegistrationCount();
bool WindowRegistryExists();
int32_t WindowRegistryCount();

/// Library-internal: the field list of the window-message log lines, numbers in decimal, each
/// label directly followed by its value; `RtnVal` null leaves its field out.
std::string WndMessageFields(int32_t hWnd, int32_t Msg, intptr_t wParam, intptr_t lParam, const int32_t* RtnVal);

/// Library-internal: forgets every entry of the registry that refers to `wnd` (weak, so it
/// works from the destructor), then releases the registry when it is empty.
void ForgetWindowObject(const std::weak_ptr<const void>& wnd);

}  // namespace PrivateWndSupport
}  // namespace tav
