// The transport managers against a peer nobody here wrote: socat, as a UDP sender, as a TCP
// client of a manager's server socket and as an echo server for a manager's client socket.
#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavUDPSocketMgr.hpp>

#include "PeerProcess.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace tav;
using tav::peertest::PeerProcess;

constexpr auto kWait = std::chrono::seconds(10);

std::shared_ptr<TAVSockAddr> Loopback(int16_t port = 0) {
    auto a = TAVSockAddr::Create();
    a->IPAddress("127.0.0.1");
    a->Port(port);
    return a;
}

std::string PortText(int16_t port) { return std::to_string(static_cast<uint16_t>(port)); }

class RealPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        socat = PeerProcess::Find("socat");
        if (socat.empty()) GTEST_SKIP() << "socat is not installed";
    }
    // The peer goes first: it must not outlive the test, whatever failed.
    void TearDown() override { peer.Stop(); }

    static bool Pump(const std::function<bool()>& done) { return RunMessagesUntil(done, kWait); }

    std::string socat;
    PeerProcess peer;
};

TEST_F(RealPeerTest, SocatDatagramArrivesWithItsSenderAndTheReplyReachesIt) {
    auto mgr = TavUDPSocketMgr::Create();
    auto skt = mgr->CreateServerSocket(Loopback());
    std::shared_ptr<TAVSockAddr> from;
    Variant info;
    mgr->DataReceived.Subscribe([&](const std::shared_ptr<TAVSocket>&, const std::shared_ptr<TAVSockAddr>& a, Variant& i) {
        from = a;
        info = i;
    });
    ASSERT_TRUE(peer.Start({socat, "-", "UDP-SENDTO:127.0.0.1:" + PortText(skt->LocalAddr()->Port())}));
    ASSERT_TRUE(peer.WriteInput("datagram from socat"));

    ASSERT_TRUE(Pump([&] { return from != nullptr; }));
    EXPECT_EQ(info, Variant("datagram from socat"));
    EXPECT_EQ(from->IPAddress(), "127.0.0.1");
    EXPECT_NE(from->Port(), 0);
    // socat writes what comes back to its socket: the address in the event is really the peer.
    skt->SendTo(Variant("reply"), from);
    EXPECT_EQ(peer.ReadOutput(5, kWait), "reply");
}

}  // namespace
