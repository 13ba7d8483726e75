#include "events/TAVPrivateWindow.hpp"

#include "platform/DebugLog.hpp"
#include "platform/MessageQueue.hpp"
#include "platform/RaiseEvent.hpp"

#include <vector>

namespace tav {

namespace {

using namespace PrivateWndSupport;

void WriteCbk(const char* what, int32_t hWnd, int32_t Msg, intptr_t wParam, intptr_t lParam, int32_t RtnVal) {
    WriteDebugLog(6, std::string("TAVPrivateWindow Cbk_WndMessage Network 'cbk_WndMessage' Received - ") + what +
                         " - LOW LEVEL." + WndMessageFields(hWnd, Msg, wParam, lParam, &RtnVal));
}

// Every message passes here: the level test stays inline, the line is made out of line.
inline void LogCbk(const char* what, int32_t hWnd, int32_t Msg, intptr_t wParam, intptr_t lParam, int32_t RtnVal) {
    if (DebugLogWanted(6)) WriteCbk(what, hWnd, Msg, wParam, lParam, RtnVal);
}

}  // namespace

TAVPrivateWindow::TAVPrivateWindow()
    : postEventMsg_(static_cast<int32_t>(platform::RegisterWindowMessage(kPostEventMsgName))) {}

std::shared_ptr<TAVPrivateWindow> TAVPrivateWindow::Create() {
    return std::shared_ptr<TAVPrivateWindow>(new TAVPrivateWindow());
}

TAVPrivateWindow::~TAVPrivateWindow() {
    callbackObject_.reset();
    // The window's WM_NCDESTROY finds this object's registry entry expired and removes it.
    DestroyWindow();
    // Entries the queue can no longer clean up (the thread's queue has ended, or a handle made
    // directly through PvtWndCreateWindow is still alive) go here; then an empty registry is
    // released.
    ForgetWindowObject(weak_from_this());
}

int32_t TAVPrivateWindow::CreateUserWindow() {
    DestroyWindow();
    if (!ClassRegisteredFlag()) {
        // The result is not looked at: a class that exists already serves as well.
        RegisterClass(kUserWndClassName, 0, 0, 0, 0, 0, 0);
        SetClassRegisteredFlag();
    }
    hWnd_ = PvtWndCreateWindow(SharedFromThisAs<TAVPrivateWindow>(), 0, kUserWndClassName, kPrvWndName, kPrvWndStyle, 0,
                               0, 0, 0, 0, 0);
    if (hWnd_ != 0) userWindow_ = true;
    return hWnd_;
}

int32_t TAVPrivateWindow::CreateWindowEx(int32_t WndExStyle, const std::string& lpClassName,
                                         const std::string& lpWindowName, int32_t WndStyle, int32_t X, int32_t Y,
                                         int32_t nWidth, int32_t nHeight, int32_t hWndParent, int32_t lpParam) {
    DestroyWindow();
    hWnd_ = PvtWndCreateWindow(SharedFromThisAs<TAVPrivateWindow>(), WndExStyle, lpClassName, lpWindowName, WndStyle, X,
                               Y, nWidth, nHeight, hWndParent, lpParam);
    return hWnd_;
}

int32_t TAVPrivateWindow::DefWindowProc(int32_t wMsg, intptr_t wParam, intptr_t lParam) {
    return static_cast<int32_t>(
        platform::DefWindowProcFor(hWnd_, static_cast<uint32_t>(wMsg), static_cast<uintptr_t>(wParam), lParam));
}

void TAVPrivateWindow::DestroyWindow() {
    if (hWnd_ != 0 && platform::IsWindowHandle(hWnd_)) platform::DestroyWindowHandle(hWnd_);
    hWnd_ = 0;
    userWindow_ = false;
}

void TAVPrivateWindow::PostEvent(int32_t lValue) {
    if (hWnd_ == 0) CreateUserWindow();
    PostMessageNumber(postEventMsg_, 0, lValue);
}

int32_t TAVPrivateWindow::PostMessageNumber(int32_t Msg, int32_t wParam, int32_t lParam) {
    if (hWnd_ == 0) return 0;
    // wParam is sign-extended, so a handle of -1 reads back as -1.
    const auto wp = static_cast<uintptr_t>(static_cast<intptr_t>(wParam));
    return platform::PostMessageTo(hWnd_, static_cast<uint32_t>(Msg), wp, lParam) ? 1 : 0;
}

int32_t TAVPrivateWindow::RegisterClass(const std::string& ClassName, int32_t Style, int32_t clsExtra, int32_t wndExtra,
                                        int32_t hIcon, int32_t hCursor, int32_t hbrBackground) {
    WndClassRecord record;
    record.className = ClassName;
    record.style = Style != 0 ? Style : kDefaultClassStyle;
    record.clsExtra = clsExtra;
    record.wndExtra = wndExtra;
    record.hIcon = hIcon != 0 ? hIcon : kStandardIcon;
    record.hCursor = hCursor != 0 ? hCursor : kStandardCursor;
    record.hbrBackground = hbrBackground != 0 ? hbrBackground : kDefaultBrush;
    record.instance = LibraryInstance();
    record.wndProc = &PrvWndProc;
    return RegisterWndClass(std::move(record));
}

int32_t TAVPrivateWindow::SendMessageNumber(int32_t Msg, int32_t wParam, int32_t& lParam, bool ByReference) {
    if (hWnd_ == 0) return 0;
    const intptr_t x = ByReference ? reinterpret_cast<intptr_t>(&lParam) : lParam;
    const auto wp = static_cast<uintptr_t>(static_cast<intptr_t>(wParam));
    return static_cast<int32_t>(platform::SendMessageTo(hWnd_, static_cast<uint32_t>(Msg), wp, x));
}

int32_t TAVPrivateWindow::SendMessageString(int32_t Msg, int32_t wParam, std::string& lParam) {
    if (hWnd_ == 0) return 0;
    // Text is ISO-8859-1 already, so the ANSI buffer is a plain copy with a NUL after it.
    const size_t length = lParam.size();
    std::vector<char> buffer(lParam.begin(), lParam.end());
    buffer.push_back('\0');
    const auto wp = static_cast<uintptr_t>(static_cast<intptr_t>(wParam));
    const auto result = static_cast<int32_t>(
        platform::SendMessageTo(hWnd_, static_cast<uint32_t>(Msg), wp, reinterpret_cast<intptr_t>(buffer.data())));
    lParam.assign(buffer.data(), length);
    return result;
}

void TAVPrivateWindow::Cbk_WndMessage(int32_t hWnd, int32_t Msg, intptr_t wParam, intptr_t lParam, int32_t& RtnVal,
                                      bool& NoDef) {
    if (Msg == postEventMsg_) {
        // NoDef stays false: a posted event gets default processing as well.
        Variant lValue(static_cast<int32_t>(lParam));
        if (std::shared_ptr<ITAVPrvWndNotify> target = callbackObject_)
            target->DelayedEvent(lValue);
        else
            RaiseEvent(DelayedEvent, lValue);
        LogCbk("Exit sub 'Delaymsgnum'", hWnd, Msg, wParam, lParam, RtnVal);
        return;
    }
    if (userWindow_) {
        if ((static_cast<uint32_t>(Msg) & 0xFFFF0000u) != 0) {
            LogCbk("Exit sub 'userwindow1'", hWnd, Msg, wParam, lParam, RtnVal);
            return;
        }
        if (Msg < kUserMessageFirst) {
            LogCbk("Exit sub 'userwindow2'", hWnd, Msg, wParam, lParam, RtnVal);
            return;
        }
    }
    // After its last message the window is gone, whatever the target did with that message.
    struct ForgetOnExit {
        TAVPrivateWindow* self;
        bool active;
        ~ForgetOnExit() {
            if (active) {
                self->hWnd_ = 0;
                self->userWindow_ = false;
            }
        }
    } forget{this, Msg == static_cast<int32_t>(platform::WM_NCDESTROY)};
    if (std::shared_ptr<ITAVPrvWndNotify> target = callbackObject_) {
        LogCbk("Raise CallbackObject.WndMessage", hWnd, Msg, wParam, lParam, RtnVal);
        target->WndMessage(hWnd, Msg, wParam, lParam, RtnVal, NoDef);
    } else {
        LogCbk("Raise WndMessage", hWnd, Msg, wParam, lParam, RtnVal);
        RaiseEvent(WndMessage, hWnd, Msg, wParam, lParam, RtnVal, NoDef);
    }
}

}  // namespace tav
