// The hidden window and the asynchronous service built on it: which messages reach the
// target by which route, window classes and the registry, look-ups and socket notifications,
// and owners that end them from inside their handlers.
#include "core/SocketObjectTestUtil.hpp"
#include "events/TAVAsyncSocket.hpp"
#include "events/TAVPrivateWindow.hpp"
#include "platform/AsyncLookups.hpp"

#include <tavsock/MessageBox.hpp>
#include <tavsock/SockError.hpp>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tav;
using namespace tav::PrivateWndSupport;
using namespace tav::sockintf;
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
TEST(PrivateWindow, UserWindowHandsOnlyUserRangeAndPostedEventsAndCreateWindowExWindowHandsEverything) {
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

        // A window made by CreateWindowEx hands everything over, and its target decides the result.
        auto ex = TAVPrivateWindow::Create();
        int32_t unsent = 9;
        std::string text = "abc";
        EXPECT_EQ(ex->SendMessageNumber(0x400, 0, unsent), 0);  // no window yet
        EXPECT_EQ(ex->SendMessageString(0x400, 0, text), 0);
        EXPECT_EQ(ex->PostMessageNumber(0x400, 0, 0), 0);
        EXPECT_EQ(ex->CreateWindowEx(0, "NoSuchClass", "x", 0, 0, 0, 0, 0, 0, 0), 0);

        std::vector<int32_t> msgs;
        ex->WndMessage.Subscribe(
            [&](int32_t, int32_t Msg, intptr_t wParam, intptr_t lParam, int32_t& RtnVal, bool& NoDef) {
                msgs.push_back(Msg);
                RtnVal = 42;
                NoDef = Msg != 0x400;
                if (Msg == 0x402) *reinterpret_cast<int32_t*>(lParam) = 1234;  // by reference
                if (Msg == 0x403)
                    for (intptr_t i = 0; i < wParam; ++i) reinterpret_cast<char*>(lParam)[i] ^= 0x20;
                if (Msg == 0x10 || Msg == kNcDestroy) throw std::runtime_error("target failed");
            });
        ex->RegisterClass("TestWndClass", 0, 0, 0, 0, 0, 0);  // its own class: every message is handed over
        const int32_t hex = ex->CreateWindowEx(0, "TestWndClass", "test", 0, 0, 0, 0, 0, 0, 0);
        ASSERT_NE(hex, 0);
        int32_t value = 5;
        EXPECT_EQ(ex->SendMessageNumber(0x400, 0, value), 0);  // default processing replaced RtnVal
        EXPECT_EQ(ex->SendMessageNumber(0x401, 0, value), 42);
        EXPECT_EQ(ex->SendMessageNumber(0x402, 0, value, true), 42);
        EXPECT_EQ(value, 1234);
        std::string s("mixed\0Case", 10);
        EXPECT_EQ(ex->SendMessageString(0x403, 10, s), 42);
        EXPECT_EQ(s, std::string("MIXED cASE", 10));
        EXPECT_EQ(ex->SendMessageNumber(0x10, 0, value), 42);  // the target's values survive its error
        ex->PostMessageNumber(0x10000, 0, 0);
        EXPECT_TRUE(PumpUntil([&] { return msgs.size() == 6; }));

        // Its last message reaches the target too (which fails on it), and hWnd reads 0 after.
        ASSERT_TRUE(platform::DestroyWindowHandle(hex));
        EXPECT_EQ(msgs, (std::vector<int32_t>{0x400, 0x401, 0x402, 0x403, 0x10, 0x10000, kNcDestroy}));
        EXPECT_EQ(ex->hWnd(), 0);
        EXPECT_EQ(WindowRegistryCount(), 0);
    });
}

TEST(PrivateWindow, ClassAndRegistryArePerThreadAndWindowsMayBeReplacedOrDroppedByTheirOwner) {
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

        // The owner may drop the object from inside its handler.
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

        // A new window of the same object replaces the registry entry of the old one.
        w = TAVPrivateWindow::Create();
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

namespace {

constexpr int32_t kLoopbackNet = 0x0100007F;  // 127.0.0.1 in network byte order, read as a Long

// Everything a service raises, as text, with request handles replaced by the names the
// scenario gave them (handles differ from run to run).
struct Trace {
    std::vector<std::string> lines;
    std::map<int32_t, std::string> names;

    std::string Name(int32_t handle) const {
        auto it = names.find(handle);
        return it == names.end() ? std::to_string(handle) : it->second;
    }
    void Attach(TAVAsyncSocket& s) {
        s.AsyncError.Subscribe(
            [this](int32_t h, int32_t e) { Add("AsyncError " + Name(h) + " " + std::to_string(e)); });
        s.HostResolved.Subscribe([this](int32_t h, const std::shared_ptr<TAVHostInfo>& info) {
            Add("HostResolved " + Name(h) +
                (info->AddressCount() > 0 && info->Address(1) == kLoopbackNet ? " loopback" : ""));
        });
        s.SocketMessage.Subscribe([this](int32_t w, int32_t l) {
            Add("SocketMessage " + Name(w) + " " + std::to_string(l & 0xFFFF) + " " +
                std::to_string((l >> 16) & 0xFFFF));
        });
    }
    void Add(std::string line) { lines.push_back(std::move(line)); }
    bool Has(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
};

class AsyncSocketTest : public sockintf::test::StackTest {
protected:
    // Runs the whole scripted scenario with the given delivery route; returns its trace.
    Trace RunScript(bool earlyBound);

    void Post(TAVAsyncSocket& s, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
        ASSERT_TRUE(platform::PostMessageTo(s.WindowHandle(), msg, wParam, lParam));
    }
};

Trace AsyncSocketTest::RunScript(bool earlyBound) {
    Trace trace;
    auto svc = TAVAsyncSocket::Create();
    EXPECT_TRUE(svc->IsUsable());
    EXPECT_FALSE(svc->InternalEarlyBound());
    svc->InternalEarlyBound(earlyBound);
    trace.Attach(*svc);

    // Look-ups: results only ever come from the queue, never inside the call.
    const int32_t byName = svc->GetHostByName("localhost");
    const int32_t cancelled = svc->GetHostByName("localhost");
    const int32_t unknown = svc->GetHostByName("no-such-host.invalid");
    const int32_t byAddr = svc->GetHostByAddress("127.0.0.1");
    EXPECT_TRUE(byName != 0 && cancelled != 0 && unknown != 0 && byAddr != 0);
    trace.names = {{byName, "byName"}, {cancelled, "cancelled"}, {unknown, "unknown"}, {byAddr, "byAddr"}};
    EXPECT_EQ(svc->NumberOfPendingRequests(), 4);
    svc->CancelAsyncRequest(cancelled);
    svc->CancelAsyncRequest(cancelled);  // no longer pending: ignored
    svc->CancelAsyncRequest(12345678);
    EXPECT_EQ(svc->NumberOfPendingRequests(), 3);
    EXPECT_TRUE(trace.lines.empty());
    EXPECT_TRUE(PumpUntil([&] { return svc->NumberOfPendingRequests() == 0; }));
    // Workers finish in any order; each look-up gives exactly one event.
    std::sort(trace.lines.begin(), trace.lines.end());
    EXPECT_EQ(trace.lines, (std::vector<std::string>{"AsyncError unknown 11001", "HostResolved byAddr loopback",
                                                     "HostResolved byName loopback"}));
    trace.lines.push_back("--");

    // A real socket: a connecting client makes the listener report FD_ACCEPT.
    SOCKADDR_IN addr;
    const SOCKET listener = Listener(addr);
    trace.names[listener] = "listener";
    EXPECT_EQ(svc->MakeSocketAsync(listener), 0);
    const SOCKET client = Own(intsocket(AF_INET_W, SOCK_STREAM_W, 0));
    EXPECT_EQ(intconnect(client, &addr, sizeof addr), 0);
    EXPECT_TRUE(PumpUntil([&] { return trace.Has("SocketMessage listener 8 0"); }));
    EXPECT_EQ(svc->MakeSocketNonAsync(listener), 0);

    // Hand-made messages, in order: completions nobody waits for, a notification with an
    // error, and messages the service ignores (a posted event, anything else).
    // Negative numbers, which are neither request handles nor sockets of this scenario.
    const size_t before = trace.lines.size();
    Post(*svc, 0x500, static_cast<uintptr_t>(-4242), 0);
    Post(*svc, 0x500, static_cast<uintptr_t>(byName), (10060 << 16) | 0);
    Post(*svc, 0x501, static_cast<uintptr_t>(-77), (10054 << 16) | 32);
    Post(*svc, platform::RegisterWindowMessage("TAVPostEventMsg"), 0, 9);
    Post(*svc, 0x400, 0, 0);
    Post(*svc, 0x502, 1, 1);
    EXPECT_TRUE(PumpUntil([&] { return trace.lines.size() == before + 3; }));
    tav::RunPendingMessages();
    return trace;
}

}  // namespace

TEST_F(AsyncSocketTest, BothDeliveryRoutesRaiseTheSameEventsInTheSameOrder) {
    const Trace early = RunScript(true);
    const Trace late = RunScript(false);
    EXPECT_EQ(early.lines, late.lines);
    const std::vector<std::string> tail(early.lines.end() - 3, early.lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"AsyncError -4242 0", "AsyncError byName 10060",
                                              "SocketMessage -77 32 10054"}));
}

// Traced at level 6 before the handlers run, the first notification makes its handler fail,
// the second lets go of the service.
TEST_F(AsyncSocketTest, ServiceMayBeDestroyedFromItsOwnHandler) {
    tav::test::DebugLogFolder folder(6);
    auto svc = TAVAsyncSocket::Create();
    svc->InternalEarlyBound(true);
    std::vector<std::string> shown;
    auto previous = SetMessageBoxHandler([&](const std::string& text, const std::string&) { shown.push_back(text); });
    int calls = 0;
    svc->SocketMessage.Subscribe([&](int32_t wParam, int32_t) {
        ++calls;
        if (wParam == 1) throw SockError(5, "", "handler failed");
        // The owner goes away; a look-up still pending is cancelled on the way out.
        svc.reset();
    });
    svc->HostResolved.Subscribe([&](int32_t, const std::shared_ptr<TAVHostInfo>&) { ++calls; });
    svc->AsyncError.Subscribe([&](int32_t, int32_t) { ++calls; });
    const HWND hWnd = svc->WindowHandle();
    const int32_t lParam = (10054 << 16) | 32;
    ASSERT_TRUE(platform::PostMessageTo(hWnd, 0x501, 1, lParam));
    ASSERT_TRUE(platform::PostMessageTo(hWnd, 0x501, 2, 0));
    ASSERT_TRUE(platform::PostMessageTo(hWnd, 0x501, 3, 0));  // the window is gone by then
    // Started after the posts, so its completion cannot come before them.
    const size_t lookupsBefore = AsyncLookups::Instance().Pending();
    ASSERT_NE(svc->GetHostByName("localhost"), 0);
    EXPECT_TRUE(PumpUntil([&] { return svc == nullptr; }));
    tav::RunPendingMessages();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(AsyncLookups::Instance().Pending(), lookupsBefore);  // cancelled by the destructor
    EXPECT_FALSE(platform::IsWindowHandle(hWnd));
    EXPECT_EQ(shown, std::vector<std::string>{"handler failed error in AsycnSocket.mPrivateWnd_WndMessage"});
    SetMessageBoxHandler(previous);
    EXPECT_TRUE(tav::test::DebugLogFolder::Logged(
        "TAVAsyncSocket ITAVPrvWndNotify_Wnd Network 'SocketMessage' Received - LOW LEVEL.<hwnd>" +
        std::to_string(hWnd) + "<msg>1281<wParam>1<lParam>" + std::to_string(lParam) + "<RtnVal>0"));
}
