#include "core/SocketObjectTestUtil.hpp"
#include "events/TAVAsyncSocket.hpp"
#include "platform/AsyncLookups.hpp"

#include <tavsock/MessageBox.hpp>
#include <tavsock/SockError.hpp>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using namespace tav;
using namespace tav::sockintf;
using tav::test::PumpUntil;

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
