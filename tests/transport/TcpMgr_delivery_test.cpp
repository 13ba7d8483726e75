// Nothing a peer sends is lost: urgent bytes in the stream, messages over the hold limit,
// connections reset before they are accepted, and a server out of descriptors. The peers are
// plain POSIX sockets, so they can do what the library never does itself.
#include "RawPeer.hpp"
#include "TransportTestUtil.hpp"

using namespace tav;
using namespace tavtest;

namespace {

using Events = std::vector<std::string>;
using TcpMgrDelivery = TcpMgrTest;

TEST_P(TcpMgrDelivery, AMessageOverTheHoldLimitIsDroppedWholeAndTheNextOneArrives) {
    Connect("", "END");
    accepted->MaxRecvHoldBufferSize(8192);
    SendRaw(std::string(20000, 'y') + "END" + "okEND");
    ASSERT_TRUE(PumpFor("Data:ok", accepted));
    EXPECT_EQ(Of(accepted), Events{"Data:ok"});
}

class TcpMgrRawPeers : public TcpMgrTest {
protected:
    /// A server socket of the manager with the end mark END; its port goes to `port_`.
    void Serve() {
        server = mgr->CreateServerSocket(Loopback());
        server->MsgEndMark("END");
        port_ = static_cast<uint16_t>(server->LocalAddr()->Port());
    }
    /// A raw client connected to the server, and the socket that accepted it.
    rawpeer::Fd Client() {
        accepted.reset();
        rawpeer::Fd c = rawpeer::Connect(port_);
        EXPECT_GE(c.Get(), 0);
        EXPECT_TRUE(PumpUntil([&] { return accepted != nullptr; }));
        return c;
    }
    bool Urgent(const rawpeer::Fd& c, const std::string& byte) { return rawpeer::SendAll(c, byte, MSG_OOB); }

    uint16_t port_ = 0;
};

TEST_P(TcpMgrRawPeers, EveryByteAroundAnUrgentByteArrivesBeforeTheClose) {
    Serve();
    {
        // Normal data, then the urgent byte, then more data: nothing after the mark may stall.
        rawpeer::Fd c = Client();
        ASSERT_TRUE(rawpeer::SendAll(c, "normalEND"));
        ASSERT_TRUE(Urgent(c, "!"));
        ASSERT_TRUE(PumpUntil([&] { return Count("OOB:!", accepted) == 1 && Count("Data:normal", accepted) == 1; }));
        ASSERT_TRUE(rawpeer::SendAll(c, "afterEND"));
        ASSERT_TRUE(PumpFor("Data:after", accepted));
        ASSERT_TRUE(rawpeer::SendAll(c, "lastEND"));
        c.Close();
        ASSERT_TRUE(PumpFor("SocketClosed", accepted));
        const Events got = Of(accepted);
        EXPECT_EQ(Events(got.end() - 3, got.end()), (Events{"Data:after", "Data:last", "SocketClosed"}));
    }
    {
        // An urgent byte with nothing ahead of it, alone for a while, then data and the close.
        rawpeer::Fd c = Client();
        ASSERT_TRUE(Urgent(c, "?"));
        ASSERT_TRUE(PumpFor("OOB:?", accepted));
        ASSERT_TRUE(rawpeer::SendAll(c, "afterEND"));
        ASSERT_TRUE(PumpFor("Data:after", accepted));
        ASSERT_TRUE(rawpeer::SendAll(c, "lastEND"));
        c.Close();
        ASSERT_TRUE(PumpFor("SocketClosed", accepted));
        EXPECT_EQ(Of(accepted), (Events{"OOB:?", "Data:after", "Data:last", "SocketClosed"}));
    }
}

TEST_P(TcpMgrRawPeers, AConnectionResetBeforeItIsAcceptedDeliversItsDataThenTheResetAndTheClose) {
    Serve();
    // The host frees sockets when they close, as the README shows.
    onEvent = [&](const std::string& e, const std::shared_ptr<TAVSocket>& s) {
        if (e == "SocketClosed") mgr->DestroySocket(s);
    };
    for (const std::string data : {"hiEND", ""}) {
        events.clear();
        accepted.reset();
        {
            rawpeer::Fd c = rawpeer::Connect(port_);
            ASSERT_GE(c.Get(), 0);
            if (!data.empty()) ASSERT_TRUE(rawpeer::SendAll(c, data));
            rawpeer::Reset(c);  // before the server's queue has run
        }
        ASSERT_TRUE(PumpUntil([&] { return accepted && Count("SocketClosed", accepted) == 1; })) << data;
        RunPendingMessages();
        Events expected{"SocketError:10054", "SocketClosed"};
        if (!data.empty()) expected.insert(expected.begin(), "Data:hi");
        EXPECT_EQ(Of(accepted), expected);
        EXPECT_FALSE(mgr->Sockets()->Contains(accepted));
    }
    EXPECT_EQ(mgr->Sockets()->SocketCount(), 1);  // the listener
}

INSTANTIATE_TEST_SUITE_P(BothRoutes, TcpMgrRawPeers, ::testing::Bool(), RouteName);

INSTANTIATE_TEST_SUITE_P(BothRoutes, TcpMgrDelivery, ::testing::Bool(), RouteName);

}  // namespace
