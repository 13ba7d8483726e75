#include "core/SocketObjectTestUtil.hpp"
#include "events/TAVPrivateWindow.hpp"

#include <stdexcept>
#include <vector>

using namespace tav;
using namespace tav::PrivateWndSupport;
using tav::test::OnFreshThread;
using tav::test::PumpUntil;

namespace {

// Records what the window hands over: through its events once attached, or as its
// CallbackObject.
struct Recorder : ITAVPrvWndNotify {
    std::vector<int32_t> msgs;
    std::vector<int32_t> delayed;
    void WndMessage(int32_t, int32_t Msg, intptr_t, intptr_t, int32_t&, bool&) override { msgs.push_back(Msg); }
    void DelayedEvent(Variant& v) override { delayed.push_back(v.AsLong()); }
    void Attach(TAVPrivateWindow& w) {
        w.WndMessage.Subscribe([this](int32_t h, int32_t m, intptr_t wp, intptr_t lp, int32_t& r, bool& n) {
            WndMessage(h, m, wp, lp, r, n);
        });
        w.DelayedEvent.Subscribe([this](Variant& v) { DelayedEvent(v); });
    }
};

constexpr int32_t kNcDestroy = static_cast<int32_t>(platform::WM_NCDESTROY);

}  // namespace

// The callback object when set, the events otherwise: never both. Each message is traced at
// levels 6 and 8, whether it reaches the target or not.
TEST(PrivateWindow, UserWindowFromPostEventHandsOnlyUserRangeAndPostedEventsToItsTarget) {
    tav::test::DebugLogFolder folder(8);
    OnFreshThread([] {
        auto w = TAVPrivateWindow::Create();
        Recorder rec;
        rec.Attach(*w);
        auto sink = std::make_shared<Recorder>();
        w->CallbackObject(sink);
        w->PostEvent(5);  // makes the user window; the value comes back only from the queue
        const int32_t h = w->hWnd();
        ASSERT_NE(h, 0);
        EXPECT_TRUE(sink->delayed.empty());
        for (int32_t msg : {0x3FF, 0x400, 0x10, 0xFFFF, 0x10000, 0x10400, 0x501}) w->PostMessageNumber(msg, 1, 2);
        w->PostEvent(7);
        EXPECT_TRUE(PumpUntil([&] { return sink->delayed.size() == 2; }));
        w->CallbackObject(nullptr);
        w->PostMessageNumber(0x401, 3, (10035 << 16) | 2);
        w->PostEvent(9);
        EXPECT_TRUE(PumpUntil([&] { return rec.delayed.size() == 1; }));
        EXPECT_EQ(sink->msgs, (std::vector<int32_t>{0x400, 0xFFFF, 0x501}));
        EXPECT_EQ(sink->delayed, (std::vector<int32_t>{5, 7}));
        EXPECT_EQ(rec.msgs, std::vector<int32_t>{0x401});
        EXPECT_EQ(rec.delayed, std::vector<int32_t>{9});
        const std::string hw = "<hwnd>" + std::to_string(h);
        const std::string fields = "<msg>1025<wParam>3<lParam>657653762";
        const std::string words =
            "<lerrHI>10035<LoLparmMsg#>2<FD_READ>1<FD_WRITE>2<FD_ACCEPT>8<FD_CONNECT>16<FD_CLOSE>32";
        const std::string cbk = "TAVPrivateWindow Cbk_WndMessage Network 'cbk_WndMessage' Received - ";
        for (const std::string& text :
             {"PrivateWndSupport PrvWndProc Windows Message Recv - Raise Cbk_WndMessage - Very LOW LEVEL." + hw + fields + words,
              cbk + "Raise WndMessage - LOW LEVEL." + hw + fields + "<RtnVal>0" + words,
              cbk + "Exit sub 'userwindow2' - LOW LEVEL." + hw + "<msg>16",
              cbk + "Exit sub 'userwindow1' - LOW LEVEL." + hw + "<msg>65536", cbk + "Exit sub 'Delaymsgnum' - LOW LEVEL." + hw})
            EXPECT_TRUE(tav::test::DebugLogFolder::Logged(text)) << text;

        // The platform ending the window: WM_NCDESTROY is filtered out, so hWnd still reads
        // the dead handle; the registry entry is gone all the same.
        ASSERT_TRUE(platform::DestroyWindowHandle(h));
        EXPECT_EQ(w->hWnd(), h);
        EXPECT_EQ(WindowRegistryCount(), 0);
        EXPECT_EQ(rec.msgs.size(), 1u);
        w->DestroyWindow();
        EXPECT_EQ(w->hWnd(), 0);
    });
}

TEST(PrivateWindow, CreateWindowExWindowHandsEverythingAndTargetDecidesTheResult) {
    OnFreshThread([] {
        auto w = TAVPrivateWindow::Create();
        int32_t unsent = 9;
        std::string text = "abc";
        EXPECT_EQ(w->SendMessageNumber(0x400, 0, unsent), 0);  // no window yet
        EXPECT_EQ(w->SendMessageString(0x400, 0, text), 0);
        EXPECT_EQ(w->PostMessageNumber(0x400, 0, 0), 0);
        EXPECT_EQ(w->CreateWindowEx(0, "NoSuchClass", "x", 0, 0, 0, 0, 0, 0, 0), 0);

        std::vector<int32_t> msgs;
        w->WndMessage.Subscribe(
            [&](int32_t, int32_t Msg, intptr_t wParam, intptr_t lParam, int32_t& RtnVal, bool& NoDef) {
                msgs.push_back(Msg);
                RtnVal = 42;
                NoDef = Msg != 0x400;
                if (Msg == 0x402) *reinterpret_cast<int32_t*>(lParam) = 1234;  // by reference
                if (Msg == 0x403)
                    for (intptr_t i = 0; i < wParam; ++i) reinterpret_cast<char*>(lParam)[i] ^= 0x20;
                if (Msg == 0x10 || Msg == kNcDestroy) throw std::runtime_error("target failed");
            });
        w->RegisterClass("TestWndClass", 0, 0, 0, 0, 0, 0);  // its own class: every message is handed over
        const int32_t h = w->CreateWindowEx(0, "TestWndClass", "test", 0, 0, 0, 0, 0, 0, 0);
        ASSERT_NE(h, 0);
        int32_t value = 5;
        EXPECT_EQ(w->SendMessageNumber(0x400, 0, value), 0);  // default processing replaced RtnVal
        EXPECT_EQ(w->SendMessageNumber(0x401, 0, value), 42);
        EXPECT_EQ(w->SendMessageNumber(0x402, 0, value, true), 42);
        EXPECT_EQ(value, 1234);
        std::string s("mixed\0Case", 10);
        EXPECT_EQ(w->SendMessageString(0x403, 10, s), 42);
        EXPECT_EQ(s, std::string("MIXED cASE", 10));
        EXPECT_EQ(w->SendMessageNumber(0x10, 0, value), 42);  // the target's values survive its error
        w->PostMessageNumber(0x10000, 0, 0);
        EXPECT_TRUE(PumpUntil([&] { return msgs.size() == 6; }));

        // Its last message reaches the target too (which fails on it), and hWnd reads 0 after.
        ASSERT_TRUE(platform::DestroyWindowHandle(h));
        EXPECT_EQ(msgs, (std::vector<int32_t>{0x400, 0x401, 0x402, 0x403, 0x10, 0x10000, kNcDestroy}));
        EXPECT_EQ(w->hWnd(), 0);
        EXPECT_EQ(WindowRegistryCount(), 0);
    });
}

TEST(PrivateWindow, NewWindowReplacesTheRegistryEntryOfTheOldOne) {
    OnFreshThread([] {
        auto w = TAVPrivateWindow::Create();
        Recorder rec;
        rec.Attach(*w);
        w->RegisterClass("TestWndClass", 0, 0, 0, 0, 0, 0);
        const int32_t h1 = PvtWndCreateWindow(w, 0, "TestWndClass", "a", 0, 0, 0, 0, 0, 0, 0);
        const int32_t h2 = PvtWndCreateWindow(w, 0, "TestWndClass", "b", 0, 0, 0, 0, 0, 0, 0);
        ASSERT_TRUE(h1 != 0 && h2 != 0 && h1 != h2);
        EXPECT_EQ(WindowRegistryCount(), 1);
        platform::SendMessageTo(h1, 0x400, 0, 0);  // default processing only
        platform::SendMessageTo(h2, 0x401, 0, 0);
        EXPECT_EQ(rec.msgs, std::vector<int32_t>{0x401});
        platform::DestroyWindowHandle(h1);
        platform::DestroyWindowHandle(h2);
        EXPECT_EQ(rec.msgs, (std::vector<int32_t>{0x401, kNcDestroy}));

        // Without an object the window is made all the same, reaches nobody, and the missing
        // object is reported.
        Diagnostics::Current().ResetForTesting();
        const int32_t h3 = PvtWndCreateWindow(nullptr, 0, "TestWndClass", "c", 0, 0, 0, 0, 0, 0, 0);
        EXPECT_NE(h3, 0);
        ASSERT_EQ(Diagnostics::Current().FailureCount(), 1);
        EXPECT_EQ(Diagnostics::Current().LastFailures().back().text, "Not (PvtWnd Is Nothing)");
        EXPECT_EQ(Diagnostics::Current().LastFailures().back().source, "TAVSock.PrivateWndSupport.PvtWndCreateWindow");
        EXPECT_EQ(platform::SendMessageTo(h3, 0x400, 0, 0), 0);
        platform::DestroyWindowHandle(h3);
        EXPECT_EQ(WindowRegistryCount(), 0);
    });
}

TEST(PrivateWindow, ClassIsRegisteredOncePerThreadWithItsDefaults) {
    OnFreshThread([] {
        auto a = TAVPrivateWindow::Create();
        auto b = TAVPrivateWindow::Create();
        EXPECT_FALSE(ClassRegisteredFlag());
        ASSERT_NE(a->CreateUserWindow(), 0);
        ASSERT_NE(b->CreateUserWindow(), 0);
        ASSERT_NE(a->CreateUserWindow(), 0);  // a second window of the same object
        EXPECT_TRUE(ClassRegisteredFlag());
        EXPECT_EQ(ClassRegistrationCount(), 1);
        EXPECT_EQ(WindowRegistryCount(), 2);
        const WndClassRecord* c = FindWndClass("tavuserwndclass");
        ASSERT_NE(c, nullptr);
        EXPECT_TRUE(c->style == 11 && c->hIcon == 32512 && c->hCursor == 32512 && c->hbrBackground == 2);
        EXPECT_TRUE(c->wndProc == &PrvWndProc && c->instance != 0);
        EXPECT_EQ(a->RegisterClass(std::string("TAVUserWndClass") + '\0', 0, 0, 0, 0, 0, 0), 0);  // exists

        OnFreshThread([] {
            auto c2 = TAVPrivateWindow::Create();
            EXPECT_NE(c2->CreateUserWindow(), 0);
            EXPECT_EQ(ClassRegistrationCount(), 1);
        });
        a.reset();
        EXPECT_TRUE(WindowRegistryExists());
        b.reset();  // the last window finds the registry empty and releases it
        EXPECT_FALSE(WindowRegistryExists());
    });
}

TEST(PrivateWindow, OwnerMayDropTheObjectFromInsideItsHandler) {
    OnFreshThread([] {
        auto w = TAVPrivateWindow::Create();
        bool handled = false;
        w->DelayedEvent.Subscribe([&](Variant&) {
            handled = true;
            w->DestroyWindow();
            w.reset();  // the window procedure still holds the object until it returns
        });
        w->PostEvent(1);
        w->PostEvent(2);  // queued for a window that will be gone: dropped
        EXPECT_TRUE(PumpUntil([&] { return handled; }));
        tav::RunPendingMessages();
        EXPECT_FALSE(WindowRegistryExists());
    });
}
