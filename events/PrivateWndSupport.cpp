#include "events/PrivateWndSupport.hpp"

#include "platform/DebugLog.hpp"
#include "events/CaughtError.hpp"
#include "events/TAVPrivateWindow.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/MessageQueue.hpp"

#include <tavsock/MessageBox.hpp>
#include <tavsock/Text.hpp>

#include <dlfcn.h>

#include <unordered_map>
#include <vector>

namespace tav::PrivateWndSupport {

namespace {

using Registry = std::unordered_map<HWND, std::weak_ptr<TAVPrivateWindow>>;

// The per-thread state. Windows may outlive it (objects kept in the host's thread-local or
// static storage end after it), so it is reached only through State(), which gives null once
// it has ended.
struct ThreadState {
    std::unique_ptr<Registry> registry;  // null until first use and after release
    std::vector<WndClassRecord> classes;
    bool classRegistered = false;
    int32_t registrations = 0;
    ~ThreadState();
};

thread_local bool tStateEnded = false;  // trivially destructible: readable to the thread's end
thread_local ThreadState tState;

ThreadState::~ThreadState() {
    tStateEnded = true;
}

ThreadState* State() {
    return tStateEnded ? nullptr : &tState;
}

Registry* ExistingRegistry() {
    ThreadState* st = State();
    return st ? st->registry.get() : nullptr;
}

std::string UpToNul(const std::string& text) {
    return text.substr(0, text.find('\0'));
}

bool SameObject(const std::weak_ptr<TAVPrivateWindow>& entry, const std::weak_ptr<const void>& wnd) {
    return !entry.owner_before(wnd) && !wnd.owner_before(entry);
}

void ShowCreateError() {
    ShowMessageBox(DescriptionOfCaughtError() + " in PvtWndCreateWindow");
}

// The platform's window creation: the class must be known to the thread.
HWND PlatformCreateWindow(const std::string& className) {
    if (!FindWndClass(className)) return 0;
    return platform::CreateWindowHandle(&PrvWndProc);
}

void EnterInRegistry(const std::shared_ptr<TAVPrivateWindow>& PvtWnd, HWND hWnd) {
    ThreadState* st = State();
    if (!st) return;
    if (!st->registry) st->registry = std::make_unique<Registry>();
    Registry& registry = *st->registry;
    if (PvtWnd) {
        std::weak_ptr<const void> wnd = PvtWnd;
        std::erase_if(registry, [&](const Registry::value_type& e) { return SameObject(e.second, wnd); });
    }
    registry.insert_or_assign(hWnd, PvtWnd);
}

}  // namespace

int32_t PvtWndCreateWindow(const std::shared_ptr<TAVPrivateWindow>& PvtWnd, int32_t WndExStyle,
                           const std::string& lpClassName, const std::string& lpWindowName, int32_t WndStyle, int32_t X,
                           int32_t Y, int32_t nWidth, int32_t nHeight, int32_t hWndParent, int32_t lpParam) {
    (void)WndExStyle, (void)lpWindowName, (void)WndStyle, (void)X, (void)Y, (void)nWidth, (void)nHeight;
    (void)hWndParent, (void)lpParam;
    // Each step goes on after an error of the one before, which is shown to the user.
    try {
        Diagnostics::Current().Check(PvtWnd != nullptr, SourceName(Variant("PrivateWndSupport"), "PvtWndCreateWindow"),
                                     "Not (PvtWnd Is Nothing)");
    } catch (...) {
        ShowCreateError();
    }
    HWND hWnd = 0;
    try {
        hWnd = PlatformCreateWindow(lpClassName);
    } catch (...) {
        ShowCreateError();
    }
    if (hWnd != 0) {
        try {
            EnterInRegistry(PvtWnd, hWnd);
        } catch (...) {
            ShowCreateError();
        }
    }
    return hWnd;
}

intptr_t PrvWndProc(HWND hWnd, uint32_t Msg, uintptr_t wParam, intptr_t lParam) {
    int32_t RtnVal = 0;
    bool NoDef = false;
    const auto msg = static_cast<int32_t>(Msg);
    const auto wp = static_cast<intptr_t>(wParam);
    try {
        Registry* registry = ExistingRegistry();
        auto it = registry ? registry->find(hWnd) : Registry::iterator{};
        if (registry && it != registry->end()) {
            // Strong while the message is handed over: a target may drop the object's last
            // other reference from inside its handler.
            std::shared_ptr<TAVPrivateWindow> target = it->second.lock();
            if (DebugLogWanted(8))
                WriteDebugLog(
                    8, "PrivateWndSupport PrvWndProc Windows Message Recv - Raise Cbk_WndMessage - Very LOW LEVEL." +
                           WndMessageFields(hWnd, msg, wp, lParam, nullptr));
            try {
                // An entry whose object is ending (or was never set) has nobody to hand to.
                if (target) target->Cbk_WndMessage(hWnd, msg, wp, lParam, RtnVal, NoDef);
            } catch (...) {
                // Errors of notification targets are dropped; RtnVal and NoDef stay as left.
            }
            // Looked up again: the handler may have changed or released the registry.
            if (Msg == platform::WM_NCDESTROY)
                if (Registry* now = ExistingRegistry()) now->erase(hWnd);
        }
    } catch (...) {
        // Nothing unwinds into the queue.
    }
    if (!NoDef) RtnVal = static_cast<int32_t>(platform::DefWindowProcFor(hWnd, Msg, wParam, lParam));
    return RtnVal;
}

std::string WndMessageFields(int32_t hWnd, int32_t Msg, intptr_t wParam, intptr_t lParam, const int32_t* RtnVal) {
    std::string s = "<hwnd>" + std::to_string(hWnd) + "<msg>" + std::to_string(Msg) + "<wParam>" +
                    std::to_string(wParam) + "<lParam>" + std::to_string(lParam);
    if (RtnVal) s += "<RtnVal>" + std::to_string(*RtnVal);
    s += "<lerrHI>" + std::to_string(HighWordOf(lParam)) + "<LoLparmMsg#>" + std::to_string(LowWordOf(lParam));
    s += "<FD_READ>1<FD_WRITE>2<FD_ACCEPT>8<FD_CONNECT>16<FD_CLOSE>32";
    return s;
}

intptr_t LibraryInstance() {
    static const char anchor = 0;
    static const intptr_t instance = [] {
        Dl_info info{};
        return ::dladdr(&anchor, &info) != 0 ? reinterpret_cast<intptr_t>(info.dli_fbase) : intptr_t{0};
    }();
    return instance;
}

int32_t RegisterWndClass(WndClassRecord record) {
    ThreadState* st = State();
    record.className = UpToNul(record.className);
    if (!st || record.className.empty() || FindWndClass(record.className)) return 0;
    record.atom = 0xC000 + static_cast<int32_t>(st->classes.size());
    const int32_t atom = record.atom;
    st->classes.push_back(std::move(record));
    ++st->registrations;
    return atom;
}

const WndClassRecord* FindWndClass(const std::string& className) {
    ThreadState* st = State();
    if (!st) return nullptr;
    const std::string name = UpToNul(className);
    for (const WndClassRecord& c : st->classes)
        if (TextEqualNoCase(c.className, name)) return &c;
    return nullptr;
}

bool ClassRegisteredFlag() {
    ThreadState* st = State();
    return st && st->classRegistered;
}

void SetClassRegisteredFlag() {
    if (ThreadState* st = State()) st->classRegistered = true;
}

int32_t ClassRegistrationCount() {
    ThreadState* st = State();
    return st ? st->registrations : 0;
}

bool WindowRegistryExists() {
    return ExistingRegistry() != nullptr;
}

int32_t WindowRegistryCount() {
    Registry* registry = ExistingRegistry();
    return registry ? static_cast<int32_t>(registry->size()) : 0;
}

void ForgetWindowObject(const std::weak_ptr<const void>& wnd) {
    ThreadState* st = State();
    if (!st || !st->registry) return;
    std::erase_if(*st->registry, [&](const Registry::value_type& e) { return SameObject(e.second, wnd); });
    if (st->registry->empty()) st->registry.reset();
}

}  // namespace tav::PrivateWndSupport
