// The transport managers against a peer nobody here wrote: socat, as a UDP sender and as a TCP
// client of a manager's server socket.
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

}  // namespace
