// Nothing a peer sends is lost: urgent bytes in the stream, reads nested or larger than a
// buffer, connections reset before they are accepted, a server out of descriptors, and pushing
// back on a peer that sends more than it reads (reading paused and resumed, and the write
// notification's flush coming before DataSent so that a host can resume on it). The peers are
// plain POSIX sockets, so they can do what the library never does itself.
#include "support/Loopback.hpp"
#include "TransportTestUtil.hpp"

#include "transport/WaitTime.hpp"

#include <sys/resource.h>

#include <chrono>

using namespace tav;
using namespace tavtest;

namespace {

using Events = std::vector<std::string>;

class TcpMgrRawPeers : public TcpMgrTest {
protected:
    /// A server socket of the manager with the end mark END; its port goes to `port_`.
    void Serve() {
        server = mgr->CreateServerSocket(Loopback());
        server->MsgEndMark("END");
        port_ = static_cast<uint16_t>(server->LocalAddr()->Port());
    }
    /// A raw client connected to the server, and the socket that accepted it.
    support::Fd Client() {
        accepted.reset();
        support::Fd c = support::Connect(port_);
        EXPECT_GE(c.Get(), 0);
        EXPECT_TRUE(PumpUntil([&] { return accepted != nullptr; }));
        return c;
    }
    bool Urgent(const support::Fd& c, const std::string& byte) { return support::SendAll(c, byte, MSG_OOB); }

    uint16_t port_ = 0;
};

// Normal data, then the urgent byte, then more data: nothing after the mark may stall, and an
// urgent byte with nothing ahead of it, alone for a while, must not either.
TEST_F(TcpMgrRawPeers, EveryByteAroundAnUrgentByteArrivesBeforeTheCloseAndAResetEndsAPause) {
    Serve();
    for (const std::string before : {"normalEND", ""}) {
        SCOPED_TRACE(before);
        support::Fd c = Client();
        if (!before.empty()) {
            ASSERT_TRUE(support::SendAll(c, before));
        }
        ASSERT_TRUE(Urgent(c, "!"));
        ASSERT_TRUE(PumpUntil([&] { return Count("OOB:!", accepted) == 1 && Count("Data:normal", accepted) == !before.empty(); }));
        ASSERT_TRUE(support::SendAll(c, "afterEND"));
        ASSERT_TRUE(PumpFor("Data:after", accepted));
        ASSERT_TRUE(support::SendAll(c, "lastEND"));
        c.Close();
        ASSERT_TRUE(PumpFor("SocketClosed", accepted));
        const Events got = Of(accepted);
        ASSERT_EQ(got.size(), before.empty() ? 4u : 5u);
        EXPECT_EQ(Events(got.end() - 3, got.end()), (Events{"Data:after", "Data:last", "SocketClosed"}));
    }

    // A broken connection ends a pause: its error, data and close come at once.
    support::Fd peer = Client();
    accepted->PauseRecv();
    ASSERT_TRUE(support::SendAll(peer, "lastEND"));
    ASSERT_TRUE(PumpUntil([&] { return accepted->HowMuchDataIsAvailable() == 7; }));
    support::Reset(peer);
    ASSERT_TRUE(PumpFor("SocketClosed", accepted));
    EXPECT_EQ(Of(accepted), (Events{"SocketError:10054", "Data:last", "SocketClosed"}));
    EXPECT_FALSE(accepted->IsRecvPaused());
}

TEST_F(TcpMgrRawPeers, AConnectionResetBeforeItIsAcceptedDeliversItsDataThenTheResetAndTheClose) {
    Serve();
    // The host frees sockets when they close, as the README shows.
    heard.onEntry = [&](const Heard& h) {
        if (h.event == "SocketClosed") mgr->DestroySocket(accepted);  // the socket that closes
    };
    for (const std::string data : {"hiEND", ""}) {
        heard.entries.clear();
        accepted.reset();
        dataSent = 0;
        {
            support::Fd c = support::Connect(port_);
            ASSERT_GE(c.Get(), 0);
            if (!data.empty()) {
                ASSERT_TRUE(support::SendAll(c, data));
            }
            support::Reset(c);  // before the server's queue has run
        }
        ASSERT_TRUE(PumpUntil([&] { return accepted && Count("SocketClosed", accepted) == 1; })) << data;
        RunPendingMessages();
        Events expected{"SocketError:10054", "SocketClosed"};
        if (!data.empty()) expected.insert(expected.begin(), "Data:hi");
        EXPECT_EQ(Of(accepted), expected);
        EXPECT_EQ(dataSent, 0);  // a broken connection cannot send
        EXPECT_FALSE(mgr->Sockets()->Contains(accepted));
    }
    EXPECT_EQ(mgr->Sockets()->SocketCount(), 1);  // the listener
}

// A nested read (a handler that runs the queue) must not write into the text the outer read
// is still cutting into messages, nor mix the sockets up.
TEST_F(TcpMgrRawPeers, NestedReadsKeepTheirBuffersApart) {
    Serve();
    support::Fd a = Client();
    const std::shared_ptr<TAVSocket> first = accepted;
    support::Fd b = Client();
    const std::shared_ptr<TAVSocket> second = accepted;
    bool inHandler = false, nested = false;
    heard.onEntry = [&](const Heard& h) {
        if (h.event.rfind("Data:", 0) != 0) return;
        if (inHandler) {
            nested = true;
            return;
        }
        inHandler = true;
        RunPendingMessages();
        inHandler = false;
    };
    // Each read is longer than the slices it is framed in (half the hold limit), so the outer
    // read still has text to cut when the nested one runs.
    first->MaxRecvHoldBufferSize(8192);
    second->MaxRecvHoldBufferSize(8192);
    const std::string x(5000, 'x'), y(5000, 'y');
    ASSERT_TRUE(support::SendAll(a, "a1END" + x + "ENDa3END"));
    ASSERT_TRUE(support::SendAll(b, "b1END" + y + "ENDb3END"));
    ASSERT_TRUE(PumpUntil([&] { return Count("Data:a3", first) == 1 && Count("Data:b3", second) == 1; }));
    EXPECT_TRUE(nested);
    EXPECT_EQ(Of(first), (Events{"Data:a1", "Data:" + x, "Data:a3"}));
    EXPECT_EQ(Of(second), (Events{"Data:b1", "Data:" + y, "Data:b3"}));
}

// Far more waits than one read takes (the read buffer stays bounded): one read takes as much
// as a buffer holds, the rest comes with the following notifications, in order, without a
// byte lost, and a host that keeps a delivered byte array keeps its bytes while reads go on.
// Bytes are neither framed nor held, whatever marks the socket has.
TEST_F(TcpMgrRawPeers, ABinaryBacklogArrivesWholeInFullButBoundedReads) {
    Serve();
    server->DataMode(DataMode_Binary);
    support::Fd c = Client();
    const int room = 16 << 20;
    // Forced sizes (we run as root), so that the whole backlog fits before anything is read.
    if (::setsockopt(accepted->Handle(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0 ||
        ::setsockopt(c.Get(), SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room) != 0)
        GTEST_SKIP() << "socket buffers cannot be enlarged here";
    const timeval bound{10, 0};  // a send the buffers cannot take fails rather than hangs
    ASSERT_EQ(::setsockopt(c.Get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound), 0);
    std::string sent(3 << 20, '\0');
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 13 % 253);
    std::vector<Variant> kept;
    mgr->DataReceived.Subscribe([&](const std::shared_ptr<TAVSocket>& s, Variant& info) {
        if (s == accepted) kept.push_back(std::move(info));
    });
    ASSERT_TRUE(support::SendAll(c, sent));
    const size_t waiting = static_cast<size_t>(accepted->HowMuchDataIsAvailable());
    size_t largest = 0;
    auto total = [&] {
        size_t n = 0;
        for (const Variant& v : kept) {
            n += v.AsBytes().size();
            largest = std::max(largest, v.AsBytes().size());
        }
        return n;
    };
    ASSERT_TRUE(PumpUntil([&] { return total() >= sent.size(); }));
    EXPECT_GT(waiting, size_t{64} << 10);  // more than the first buffer takes
    EXPECT_GE(kept.front().AsBytes().size(), std::min(waiting, size_t{1} << 20));
    EXPECT_LE(largest, size_t{1} << 20);
    const std::string tail("BEGtail\0END", 11);
    ASSERT_TRUE(support::SendAll(c, tail));
    ASSERT_TRUE(PumpUntil([&] { return total() >= sent.size() + tail.size(); }));
    std::string joined;
    for (const Variant& v : kept) joined.append(v.AsBytes().begin(), v.AsBytes().end());
    EXPECT_TRUE(joined == sent + tail);
    EXPECT_EQ(TcpSocketMgrAccess::HoldBuffer(*mgr)->Count(), 0);
}

// Paused inside the handler of the first of three messages read at once: the other two, data
// sent afterwards and the peer's close all wait, through notifications and the timer's
// sweeps, without the poller spinning; resuming delivers them in order, the close last.
TEST_F(TcpMgrRawPeers, APausedSocketHearsNothingUntilResumedThenEverythingInOrder) {
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

// DataSent follows the flush of what was pending: a host that waits for the pending count to
// come down hears of it even when one flush sends everything.
TEST_F(TcpMgrRawPeers, DataSentSeesWhatTheFlushLeftPending) {
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

// The process runs out of descriptors with connections waiting: the server takes what it
// can, waits without spinning, and takes the rest as descriptors come free, whether the
// library frees them or someone else does.
class TcpMgrOutOfDescriptors : public TcpMgrRawPeers {
protected:
    void TearDown() override {
        if (lowered_) ::setrlimit(RLIMIT_NOFILE, &saved_);
        TcpMgrRawPeers::TearDown();
    }
    /// Lets the process open `more` descriptors, no matter which ones are open: new ones take
    /// the lowest free numbers, and none may reach the limit.
    void LimitDescriptors(int more) {
        int limit = 0;
        for (int free = 0; free < more; ++limit)
            if (!support::IsOpen(limit)) ++free;
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved_), 0);
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(limit);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
        lowered_ = true;
    }

    rlimit saved_{};
    bool lowered_ = false;
};

TEST_F(TcpMgrOutOfDescriptors, AcceptWaitsForADescriptorWithoutSpinningThenTakesEveryConnection) {
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checker opens a pipe whenever it meets a type for the first
    // time; with no descriptor left it takes sound objects for broken ones.
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
    constexpr int kClients = 20;
    server = mgr->CreateServerSocket(Loopback(), "", 64);
    port_ = static_cast<uint16_t>(server->LocalAddr()->Port());
    int acceptNotices = 0;  // the listener's notifications, whatever became of them
    EventConnection counting = mgr->Sockets()->SocketNotification.Subscribe(
        [&](const std::shared_ptr<TAVSocket>&, int32_t& type) { acceptNotices += type == FD_ACCEPT ? 1 : 0; });
    std::vector<std::shared_ptr<TAVSocket>> served;
    bool freeing = false;
    heard.onEntry = [&](const Heard& h) {
        if (h.event != "AcceptComplete") return;
        if (freeing)
            mgr->DestroySocket(accepted);
        else
            served.push_back(accepted);
    };

    // Every descriptor the peers need is made before the limit is lowered; connecting takes
    // none, and the connections wait in the listener's backlog.
    std::vector<support::Fd> clients;
    for (int i = 0; i < kClients; ++i) clients.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    support::Fd spare(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    LimitDescriptors(3);
    for (support::Fd& c : clients) {
        const sockaddr_in a = support::LoopbackAddr(port_);
        ASSERT_EQ(::connect(c.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    }

    // At the limit: a few served, then a wait that does not spin through notifications.
    RunMessagesUntil([] { return false; }, std::chrono::milliseconds(500));
    const int atLimit = Count("AcceptComplete");
    EXPECT_GE(atLimit, 1);
    EXPECT_LT(atLimit, kClients);
    EXPECT_LT(acceptNotices, atLimit + 20) << "the accept notification spins";

    // A descriptor freed outside the library is found by the retry.
    spare.Close();
    ASSERT_TRUE(PumpUntil([&] { return Count("AcceptComplete") > atLimit; }));

    // Descriptors the library frees let the waiting connections in at once.
    freeing = true;
    for (const auto& s : served) mgr->DestroySocket(s);
    served.clear();
    accepted.reset();
    ASSERT_TRUE(PumpUntil([&] { return Count("AcceptComplete") == kClients; }));
    counting.Disconnect();
}

}  // namespace
