// The transport managers against a peer nobody here wrote: socat, as a UDP sender, as a TCP
// client of a manager's server socket and as an echo server for a manager's client socket.
#include "TransportTestUtil.hpp"

#include <tavsock/TavUDPSocketMgr.hpp>

#include "support/Process.hpp"

namespace {

using namespace tav;
using namespace tavtest;
using Events = std::vector<std::string>;

std::string PortText(int16_t port) { return std::to_string(static_cast<uint16_t>(port)); }

/// The TCP manager fixture with a peer program that must not outlive the test.
class RealPeerTest : public TcpMgrTest {
protected:
    void SetUp() override {
        socat = support::Process::Find("socat");
        if (socat.empty()) GTEST_SKIP() << "socat is not installed";
        TcpMgrTest::SetUp();
    }
    void TearDown() override {
        peer.Stop();
        TcpMgrTest::TearDown();
    }

    /// Starts socat as an echo server on a free port (its PIPE address sends back what it
    /// reads, and forks no helper that could outlive it) and connects a client socket of the
    /// manager to it. The port is one the manager was just given and let go of: another
    /// process may take it before the peer does. socat needs a moment before it listens: a refused attempt is retried
    /// (a bounded number of times, running the queue in between); a peer that could not take
    /// its port is started again on another.
    std::shared_ptr<TAVSocket> ConnectToEchoPeer() {
        int16_t port = 0;
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (!peer.Running()) {
                auto probe = mgr->CreateServerSocket(Loopback());
                port = probe->LocalAddr()->Port();
                mgr->DestroySocket(probe);
                probe.reset();  // the last reference: the port is free again
                if (!peer.Start({socat, "TCP-LISTEN:" + PortText(port) + ",bind=127.0.0.1,reuseaddr", "PIPE"},
                               support::Pipes()))
                    return nullptr;
            }
            heard.entries.clear();  // a new socket may take the place of a destroyed one
            auto skt = mgr->CreateClientSocket(Loopback());
            // Connect runs the queue, so the connection may be complete when it returns.
            if (skt->Connect(Loopback(port)) == 0 || Count("ConnectComplete", skt)) return skt;
            if (skt->State() == Skt_ConnectionPending && PumpUntil([&] { return !Of(skt).empty(); }) &&
                Count("ConnectComplete", skt))
                return skt;
            mgr->DestroySocket(skt);
            RunMessagesFor(std::chrono::milliseconds(10));
        }
        return nullptr;
    }

    std::string socat;
    support::Process peer;  // fed and read through pipes
};

TEST_F(RealPeerTest, SocatDatagramArrivesWithItsSenderAndTheReplyReachesIt) {
    auto udp = TavUDPSocketMgr::Create();
    auto skt = udp->CreateServerSocket(Loopback());
    std::shared_ptr<TAVSockAddr> from;
    Variant info;
    udp->DataReceived.Subscribe([&](const std::shared_ptr<TAVSocket>&, const std::shared_ptr<TAVSockAddr>& a, Variant& i) {
        from = a;
        info = i;
    });
    ASSERT_TRUE(peer.Start({socat, "-", "UDP-SENDTO:127.0.0.1:" + PortText(skt->LocalAddr()->Port())}, support::Pipes()));
    ASSERT_TRUE(peer.WriteInput("datagram from socat"));

    ASSERT_TRUE(PumpUntil([&] { return from != nullptr; }));
    EXPECT_EQ(info, Variant("datagram from socat"));
    EXPECT_EQ(from->IPAddress(), "127.0.0.1");
    EXPECT_NE(from->Port(), 0);
    // socat writes what comes back to its socket: the address in the event is really the peer.
    skt->SendTo(Variant("reply"), from);
    EXPECT_EQ(peer.ReadOutput(5, std::chrono::seconds(10)), "reply");
}

TEST_F(RealPeerTest, SocatClientMessagesArriveFramedAtAServerSocket) {
    server = mgr->CreateServerSocket(Loopback());
    server->MsgBeginMark("<B>");
    server->MsgEndMark("<E>");
    ASSERT_TRUE(peer.Start({socat, "-u", "-", "TCP:127.0.0.1:" + PortText(server->LocalAddr()->Port())}, support::Pipes()));
    ASSERT_TRUE(peer.WriteInput("<B>one<E><B>two<E>noise<B>thr"));
    ASSERT_TRUE(PumpFor("Data:two"));
    ASSERT_TRUE(peer.WriteInput("ee<E>"));
    peer.CloseInput();  // socat sends what it has, then closes the connection

    ASSERT_TRUE(PumpFor("SocketClosed"));
    EXPECT_EQ(Of(accepted), (Events{"Data:one", "Data:two", "Data:three", "SocketClosed"}));
    EXPECT_EQ(acceptedFrom->IPAddress(), "127.0.0.1");
}

TEST_F(RealPeerTest, SocatEchoServerSendsTheClientsMessagesBackFramed) {
    client = ConnectToEchoPeer();
    ASSERT_TRUE(client) << "socat did not accept a connection";
    client->MsgBeginMark("<B>");
    client->MsgEndMark("<E>");
    client->Send(Variant("ping"));
    client->Send(Variant("second message"));
    ASSERT_TRUE(PumpFor("Data:second message", client));
    Events seen = Of(client);
    std::erase(seen, "ConnectComplete");  // none when Connect completed at once
    EXPECT_EQ(seen, (Events{"Data:ping", "Data:second message"}));
}

}  // namespace
