// Pushing back on a peer that sends more than it reads: reading paused and resumed, and the
// write notification's flush coming before DataSent so that a host can resume on it.
#include "TransportTestUtil.hpp"
#include "support/Loopback.hpp"

#include "transport/WaitTime.hpp"

#include <chrono>

using namespace tav;
using namespace tavtest;

namespace {

using Events = std::vector<std::string>;
using TcpMgrBackPressure = TcpMgrTest;

// Paused inside the handler of the first of three messages read at once: the other two, data
// sent afterwards and the peer's close all wait, through notifications and the timer's
// sweeps, without the poller spinning; resuming delivers them in order, the close last.
TEST_F(TcpMgrBackPressure, APausedSocketHearsNothingUntilResumedThenEverythingInOrder) {
    Connect("", "END");
    heard.onEntry = [&](const Heard& h) {
        if (h.event == "Data:a" && h.socket == accepted.get()) accepted->PauseRecv();
    };
    SendRaw("aENDbENDcEND");
    ASSERT_TRUE(PumpFor("Data:a", accepted));
    SendRaw("dEND");
    ASSERT_TRUE(PumpUntil([&] { return accepted->HowMuchDataIsAvailable() == 4; }));
    TcpSocketMgrAccess::Timer(*mgr).Interval(20);
    TcpSocketMgrAccess::WaitTime(*mgr, waittime::Now());  // the sweeper looks at every tick
    mgr->DestroySocket(client);
    client.reset();
    int runs = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
         std::chrono::steady_clock::now() < end;)
        runs += RunMessagesFor(std::chrono::milliseconds(20));
    EXPECT_EQ(Of(accepted), Events{"Data:a"});
    EXPECT_LT(runs, 40) << "a paused socket keeps the queue busy";

    accepted->ResumeRecv();
    EXPECT_FALSE(accepted->IsRecvPaused());
    EXPECT_EQ(Of(accepted), Events{"Data:a"});  // delivered from the queue, not inside the call
    ASSERT_TRUE(PumpFor("SocketClosed", accepted));
    EXPECT_EQ(Of(accepted), (Events{"Data:a", "Data:b", "Data:c", "Data:d", "SocketClosed"}));
}

// A broken connection ends the pause: its error, data and close come at once.
TEST_F(TcpMgrBackPressure, AResetEndsThePause) {
    server = mgr->CreateServerSocket(Loopback());
    server->MsgEndMark("END");
    support::Fd peer = support::Connect(static_cast<uint16_t>(server->LocalAddr()->Port()));
    ASSERT_TRUE(PumpUntil([&] { return accepted != nullptr; }));
    accepted->PauseRecv();
    ASSERT_TRUE(support::SendAll(peer, "lastEND"));
    ASSERT_TRUE(PumpUntil([&] { return accepted->HowMuchDataIsAvailable() == 7; }));
    support::Reset(peer);
    ASSERT_TRUE(PumpFor("SocketClosed", accepted));
    EXPECT_EQ(Of(accepted), (Events{"SocketError:10054", "Data:last", "SocketClosed"}));
    EXPECT_FALSE(accepted->IsRecvPaused());
}

// DataSent follows the flush of what was pending: a host that waits for the pending count to
// come down hears of it even when one flush sends everything.
TEST_F(TcpMgrBackPressure, DataSentSeesWhatTheFlushLeftPending) {
    Connect("", "", DataMode_Binary);
    client->lngRetrySendTimes(0);
    std::vector<int32_t> seen;
    mgr->DataSent.Subscribe([&](const std::shared_ptr<TAVSocket>& s) {
        if (s == client) seen.push_back(client->PendedSendLength());
    });
    size_t got = 0;
    mgr->DataReceived.Subscribe([&](const std::shared_ptr<TAVSocket>&, Variant& info) { got += info.AsBytes().size(); });
    try {
        client->Send(Variant(ByteArray(16 << 20, 'x')));
    } catch (const SockError& e) {
        EXPECT_EQ(e.Number(), 10035);
    }
    ASSERT_GT(client->PendedSendLength(), 0);
    ASSERT_TRUE(PumpUntil([&] { return got == (16u << 20); }));
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty() && seen.back() == 0; }));
}

}  // namespace
