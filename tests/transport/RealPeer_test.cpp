// The transport managers against a peer nobody here wrote: socat, as a UDP sender, as a TCP
// client of a manager's server socket and as an echo server for a manager's client socket.
#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>
#include <tavsock/TavUDPSocketMgr.hpp>

#include "PeerProcess.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace tav;
using tav::peertest::PeerProcess;
using SocketPtr = std::shared_ptr<TAVSocket>;

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

// ---- TCP -------------------------------------------------------------------------------------

/// A port nobody listens on right now: bound once with port 0, read back, let go. Another
/// process may take it before the peer does; the caller retries with a new one then.
int16_t FreeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    ::close(fd);
    return ok ? static_cast<int16_t>(ntohs(a.sin_port)) : 0;
}

class RealPeerTcpTest : public RealPeerTest {
protected:
    void SetUp() override {
        RealPeerTest::SetUp();
        if (IsSkipped()) return;
        mgr = TavTCPSocketMgr::Create();
        mgr->AcceptComplete.Subscribe([this](const SocketPtr&, const SocketPtr& skt, const std::shared_ptr<TAVSockAddr>& from) {
            accepted = skt;
            acceptedFrom = from;
        });
        mgr->ConnectComplete.Subscribe([this](const SocketPtr& skt) { connected.push_back(skt); });
        mgr->DataReceived.Subscribe([this](const SocketPtr&, Variant& info) { messages.push_back(info.ToString()); });
        mgr->SocketClosed.Subscribe([this](const SocketPtr&) { ++closed; });
        mgr->SocketError.Subscribe([this](const SocketPtr& skt, int32_t) { failed.push_back(skt); });
    }
    void TearDown() override {
        RealPeerTest::TearDown();
        mgr.reset();
        RunPendingMessages();
    }

    static bool Has(const std::vector<SocketPtr>& list, const SocketPtr& skt) {
        return std::find(list.begin(), list.end(), skt) != list.end();
    }

    /// Starts socat as an echo server on a free port (its PIPE address sends back what it
    /// reads, and forks no helper that could outlive it) and connects a client socket of the
    /// manager to it. socat needs a moment before it listens: a refused attempt is retried
    /// (a bounded number of times, running the queue in between); a peer that could not take
    /// its port is started again on another.
    SocketPtr ConnectToEchoPeer() {
        int16_t port = 0;
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (!peer.Running()) {
                port = FreeTcpPort();
                if (!peer.Start({socat, "TCP-LISTEN:" + PortText(port) + ",bind=127.0.0.1,reuseaddr", "PIPE"}))
                    return nullptr;
            }
            SocketPtr skt = mgr->CreateClientSocket(Loopback());
            // Connect runs the queue, so the connection may be complete when it returns.
            if (skt->Connect(Loopback(port)) == 0 || Has(connected, skt)) return skt;
            if (skt->State() == Skt_ConnectionPending &&
                Pump([&] { return Has(connected, skt) || Has(failed, skt); }) && Has(connected, skt))
                return skt;
            mgr->DestroySocket(skt);
            RunMessagesFor(std::chrono::milliseconds(10));
        }
        return nullptr;
    }

    std::shared_ptr<TavTCPSocketMgr> mgr;
    SocketPtr accepted;
    std::shared_ptr<TAVSockAddr> acceptedFrom;
    std::vector<SocketPtr> connected, failed;
    std::vector<std::string> messages;
    int closed = 0;
};

TEST_F(RealPeerTcpTest, SocatClientMessagesArriveFramedAtAServerSocket) {
    auto server = mgr->CreateServerSocket(Loopback());
    server->MsgBeginMark("<B>");
    server->MsgEndMark("<E>");
    ASSERT_TRUE(peer.Start({socat, "-u", "-", "TCP:127.0.0.1:" + PortText(server->LocalAddr()->Port())}));
    ASSERT_TRUE(peer.WriteInput("<B>one<E><B>two<E>noise<B>thr"));
    ASSERT_TRUE(Pump([&] { return messages.size() >= 2; }));
    ASSERT_TRUE(peer.WriteInput("ee<E>"));
    peer.CloseInput();  // socat sends what it has, then closes the connection

    ASSERT_TRUE(Pump([&] { return closed > 0; }));
    EXPECT_EQ(messages, (std::vector<std::string>{"one", "two", "three"}));
    ASSERT_TRUE(accepted);
    EXPECT_EQ(acceptedFrom->IPAddress(), "127.0.0.1");
    EXPECT_EQ(closed, 1);
}

TEST_F(RealPeerTcpTest, SocatEchoServerSendsTheClientsMessagesBackFramed) {
    SocketPtr client = ConnectToEchoPeer();
    ASSERT_TRUE(client) << "socat did not accept a connection";
    client->MsgBeginMark("<B>");
    client->MsgEndMark("<E>");
    client->Send(Variant("ping"));
    client->Send(Variant("second message"));
    ASSERT_TRUE(Pump([&] { return messages.size() >= 2; }));
    EXPECT_EQ(messages, (std::vector<std::string>{"ping", "second message"}));
}

}  // namespace
