// The TCP manager's lifetime and timer: destroying sockets and the manager from inside its
// events (by both routes), no reference cycles, and the timer reading data left unread.
#include "support/Loopback.hpp"
#include "TransportTestUtil.hpp"

#include "events/SocketMgrAccess.hpp"
#include "events/TAVAsyncSocket.hpp"
#include "transport/WaitTime.hpp"

using namespace tav;
using namespace tavtest;

namespace {

using Events = std::vector<std::string>;
using TcpMgrLifetime = TcpMgrRoutes;

TEST_P(TcpMgrLifetime, DestroyingTheSocketInsideDataReceivedStopsItsMessages) {
    Connect("BEG", "END");
    heard.onEntry = [&](const Heard& h) {
        if (h.event == "Data:a") mgr->DestroySocket(accepted);
    };
    SendRaw("BEGaENDBEGbENDBEGc");
    ASSERT_TRUE(PumpFor("Data:a"));
    RunPendingMessages();
    EXPECT_EQ(Of(accepted), Events{"Data:a"});
    EXPECT_FALSE(mgr->Sockets()->Contains(accepted));
    EXPECT_FALSE(TcpSocketMgrAccess::HoldBuffer(*mgr)->Exists(std::to_string(accepted->Handle())));
    EXPECT_EQ(TcpSocketMgrAccess::LastSocket(*mgr), nullptr);  // not polled any more
    // Destroying a socket the manager does not hold raises nothing.
    mgr->DestroySocket(accepted);
}

TEST_P(TcpMgrLifetime, LettingGoOfTheManagerInsideAnEventEndsItAfterTheEvent) {
    Connect("BEG", "END");
    std::weak_ptr<TavTCPSocketMgr> weak = mgr;
    std::weak_ptr<TAVSocketMgr> inner = mgr->Sockets();
    heard.onEntry = [&](const Heard& h) {
        if (h.event == "Data:a") mgr.reset();
    };
    SendRaw("BEGaENDBEGbEND");
    ASSERT_TRUE(PumpFor("Data:a"));
    RunPendingMessages();
    EXPECT_EQ(Received(accepted), "a");
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(inner.expired());
}

// A busy pass in which every handler connects a new socket: the pass each Connect lets run
// nests only a few levels (what is left runs at the deepest, in order), a Connect near the top
// still runs messages, and every message and connection arrives once.
TEST_F(TcpMgrTest, HandlersThatConnectNestOnlyAFewPassesDeep) {
    constexpr int kPeers = 40;
    server = mgr->CreateServerSocket(Loopback(), "", 2 * kPeers);  // no connection waits for room
    const auto to = Loopback(server->LocalAddr()->Port());
    std::vector<std::shared_ptr<TAVSocket>> peers;
    for (int i = 0; i < kPeers; ++i) {
        peers.push_back(mgr->CreateClientSocket(Loopback()));
        peers.back()->Connect(to);
    }
    ASSERT_TRUE(PumpUntil([&] { return Count("AcceptComplete") == kPeers && Count("ConnectComplete") == kPeers; }));
    std::vector<std::shared_ptr<TAVSocket>> later;
    int active = 0, deepest = 0;
    heard.onEntry = [&](const Heard& h) {
        if (h.event != "Data:x") return;
        deepest = std::max(deepest, ++active);
        auto c = mgr->CreateClientSocket(Loopback());
        later.push_back(c);
        c->Connect(to);
        --active;
    };
    // All readable before the queue runs: one poll brings every one of them.
    for (const auto& p : peers) p->Send(Variant(ByteArray{'x'}));
    ASSERT_TRUE(PumpUntil([&] { return Count("ConnectComplete") == 2 * kPeers && Count("AcceptComplete") == 2 * kPeers; }));
    EXPECT_GT(deepest, 1);
    EXPECT_LE(deepest, 8);
    RunPendingMessages();
    EXPECT_EQ(Count("Data:x"), kPeers);
}

TEST_P(TcpMgrLifetime, ASocketOutlivingItsManagerStillClosesItsHandle) {
    uint16_t port = 0;
    support::Fd listener = support::Listen(port);
    ASSERT_GE(listener.Get(), 0);
    const auto remote = Loopback(static_cast<int16_t>(port));

    // The host keeps the socket and lets go of the manager first.
    auto kept = mgr->CreateClientSocket(Loopback());
    kept->Connect(remote);
    ASSERT_TRUE(PumpFor("ConnectComplete", kept));
    support::Fd first(::accept(listener.Get(), nullptr, nullptr));
    const int keptHandle = kept->Handle();
    mgr.reset();
    ASSERT_EQ(sockintf::WSAStartupCount(), 0);
    kept.reset();
    EXPECT_FALSE(support::IsOpen(keptHandle));
    EXPECT_TRUE(support::SeesEnd(first));

    // A ConnectComplete handler lets go of the manager while the host holds no socket.
    mgr = TavTCPSocketMgr::Create();
    Record(*mgr);
    const int handle = mgr->CreateClientSocket(Loopback())->Handle();
    heard.onEntry = [&](const Heard& h) {
        if (h.event == "ConnectComplete") mgr.reset();
    };
    mgr->Sockets()->Item(Variant(int32_t{1}))->Connect(remote);
    ASSERT_TRUE(PumpUntil([&] { return !mgr; }));
    EXPECT_FALSE(support::IsOpen(handle));
    support::Fd second(::accept(listener.Get(), nullptr, nullptr));
    EXPECT_TRUE(support::SeesEnd(second));
}

TEST_F(TcpMgrTest, TheTimerReadsDataLeftUnreadOnceTheMarkIsReachedThenStops) {
    Connect("", "", DataMode_Binary);
    platform::Timer& timer = TcpSocketMgrAccess::Timer(*mgr);
    EXPECT_FALSE(timer.Enabled());
    timer.Interval(20);
    SendRaw("first");
    ASSERT_TRUE(PumpFor("Bytes:first", accepted));
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(TcpSocketMgrAccess::LastSocket(*mgr), accepted);

    // No more notifications for the socket: what comes now is left unread.
    SocketMgrAccess::AsyncService(*mgr->Sockets())->MakeSocketNonAsync(accepted->Handle());
    SendRaw("later");
    ASSERT_TRUE(PumpUntil([&] { return accepted->HowMuchDataIsAvailable() == 5; }));

    // Before the mark the ticks leave it there and the timer stays on.
    int ticks = 0;
    EventConnection counting = timer.Tick.Subscribe([&] { ++ticks; });
    TcpSocketMgrAccess::WaitTime(*mgr, waittime::Now() + 3600 * waittime::kPerSecond);
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 3; }));
    EXPECT_EQ(Received(accepted), "first");
    EXPECT_TRUE(timer.Enabled());

    // Once it is reached a tick reads; the first tick that finds nothing turns the timer off.
    TcpSocketMgrAccess::WaitTime(*mgr, waittime::Now());
    ASSERT_TRUE(PumpFor("Bytes:later", accepted));
    EXPECT_TRUE(timer.Enabled());
    TcpSocketMgrAccess::WaitTime(*mgr, waittime::Now());
    ASSERT_TRUE(PumpUntil([&] { return !timer.Enabled(); }));

    // With no socket to poll the first tick turns it off, mark or not.
    timer.Enabled(true);
    mgr->DestroySocket(accepted);
    TcpSocketMgrAccess::WaitTime(*mgr, waittime::Now() + 3600 * waittime::kPerSecond);
    ASSERT_TRUE(PumpUntil([&] { return !timer.Enabled(); }));
    counting.Disconnect();
}

TEST(WaitTimeTest, MarksAreTimesOfDayComparedAcrossMidnight) {
    using namespace waittime;
    EXPECT_TRUE(Reached(10 * kPerSecond, 10 * kPerSecond));
    EXPECT_FALSE(Reached(10 * kPerSecond, 15 * kPerSecond));
    EXPECT_TRUE(Reached(16 * kPerSecond, 15 * kPerSecond));
    // Set at 23:59:58 for five seconds later: not reached at 00:00:01, reached at 00:00:03.
    const int64_t mark = 86398 * kPerSecond + 5 * kPerSecond;
    EXPECT_FALSE(Reached(1 * kPerSecond, mark));
    EXPECT_TRUE(Reached(3 * kPerSecond, mark));
    EXPECT_EQ(Text(452961234), "45296.1234");
    EXPECT_EQ(Text(50000), "5.0000");
    const int64_t now = Now();
    EXPECT_GE(now, 0);
    EXPECT_LT(now, kPerDay);
}

INSTANTIATE_TEST_SUITE_P(BothRoutes, TcpMgrLifetime, ::testing::Bool(), RouteName);

}  // namespace
