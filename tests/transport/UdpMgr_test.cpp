// TavUDPSocketMgr over loopback, IPv4 and IPv6: one DataReceived per read notification with the
// sender's address, by either delivery route; socket creation and its failures; lifetime. And
// the transport managers against a peer nobody here wrote: socat, as a UDP sender and as a
// TCP client of a manager's server socket.
#include "TransportTestUtil.hpp"

#include <tavsock/CreateObject.hpp>
#include <tavsock/TavUDPSocketMgr.hpp>

#include "base/SockErrors.hpp"
#include "events/SocketMgrAccess.hpp"
#include "support/Process.hpp"

namespace {

using namespace tav;
using namespace tavtest;

struct Received {
    std::shared_ptr<TAVSocket> socket;
    std::shared_ptr<TAVSockAddr> address;
    Variant info;
};

/// The inner manager's own DataReceived event is counted too, to show which route the
/// notifications took. The route is the events, unless a test runs by both (UdpMgrRoutes).
class UdpMgrTest : public ::testing::Test {
protected:
    virtual bool EarlyBound() const { return false; }
    void SetUp() override {
        mgr = TavUDPSocketMgr::Create();
        mgr->DataReceived.Subscribe(
            [this](const std::shared_ptr<TAVSocket>& s, const std::shared_ptr<TAVSockAddr>& a, Variant& info) {
                heard.Add({s, a, info});
            });
        mgr->Sockets()->DataReceived.Subscribe([this](const std::shared_ptr<TAVSocket>&, bool) { ++innerEvents; });
        mgr->InternalEarlyBound(EarlyBound());
    }
    void TearDown() override {
        mgr.reset();
        RunPendingMessages();
    }

    bool PumpFor(size_t events) {
        return PumpUntil([&] { return got.size() >= events; });
    }

    std::shared_ptr<TavUDPSocketMgr> mgr;
    support::Recorder<Received> heard;
    std::vector<Received>& got = heard.entries;
    int innerEvents = 0;
};

class UdpMgrRoutes : public UdpMgrTest, public ::testing::WithParamInterface<bool> {
protected:
    bool EarlyBound() const override { return GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(Routes, UdpMgrRoutes, ::testing::Bool(), RouteName);

// The one test per route: both deliver the same datagrams, each with its sender. A read
// notification with nothing to read comes first: it still raises one event, and only one.
TEST_P(UdpMgrRoutes, DatagramsFromTwoSendersCarryTheirOwnSenderAddresses) {
    EXPECT_EQ(mgr->InternalEarlyBound(), GetParam());
    auto receiver = mgr->CreateServerSocket(Loopback());
    const int32_t hWnd = SocketMgrAccess::AsyncService(*mgr->Sockets())->WindowHandle();
    ASSERT_TRUE(platform::PostMessageTo(hWnd, TAVAsyncSocket::kSocketMessage,
                                        static_cast<uintptr_t>(receiver->Handle()), FD_READ));
    ASSERT_TRUE(PumpFor(1));
    auto first = mgr->CreateClientSocket(Loopback());
    auto second = mgr->CreateClientSocket(Loopback());
    const auto to = Loopback(receiver->LocalAddr()->Port());
    first->DataMode(DataMode_Binary);
    first->SendTo(Variant(ByteArray{'a', 0x00, 0xE9, 0xFF, 'z'}), to);
    second->SendTo(Variant("two"), to);

    ASSERT_TRUE(PumpFor(3));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].info, Variant("")) << "the read found nothing";
    EXPECT_EQ(got[0].address->IPAddress(), "0.0.0.0");
    EXPECT_EQ(got[0].address->Port(), 0);
    for (const Received& r : got) EXPECT_EQ(r.socket, receiver);
    EXPECT_EQ(got[1].info, Variant(std::string("a\0\xE9\xFFz", 5))) << "text mode keeps every byte";
    EXPECT_EQ(got[2].info, Variant("two"));
    EXPECT_NE(got[1].address, got[2].address) << "each event gets a fresh address object";
    EXPECT_EQ(got[1].address->IPAddress(), "127.0.0.1");
    EXPECT_EQ(got[1].address->Port(), first->LocalAddr()->Port());
    EXPECT_EQ(got[2].address->Port(), second->LocalAddr()->Port());
    // Exactly one route: early bound, the inner manager raises none of its own events.
    EXPECT_EQ(innerEvents, GetParam() ? 0 : 3);
}

TEST_P(UdpMgrRoutes, HandlerFaultIsAbsorbedAndDestroyingTheManagerInsideDataReceivedIsSafe) {
    auto receiver = mgr->CreateServerSocket(Loopback());
    auto sender = mgr->CreateClientSocket(Loopback());
    const auto to = Loopback(receiver->LocalAddr()->Port());
    heard.onEntry = [](const Received&) { throw std::runtime_error("host fault"); };
    sender->SendTo(Variant("first"), to);
    ASSERT_TRUE(PumpFor(1));

    std::weak_ptr<TavUDPSocketMgr> weak = mgr;
    std::weak_ptr<TAVSocketMgr> inner = mgr->Sockets();
    heard.onEntry = [&](const Received& r) {
        mgr->DestroySocket(r.socket);
        mgr.reset();  // the last reference
    };
    sender->SendTo(Variant("second"), to);
    sender->SendTo(Variant("third"), to);
    ASSERT_TRUE(PumpFor(2));
    EXPECT_TRUE(weak.expired());
    ASSERT_TRUE(PumpUntil([&] { return inner.expired(); }));
    RunMessagesFor(std::chrono::milliseconds(50));
    EXPECT_EQ(got.size(), 2u) << "nothing is raised for a manager that is gone";
    EXPECT_EQ(got[1].info, Variant("second"));
}

// A dual-stack socket reaches both families; each sender comes in its own family. An IPv4
// socket cannot reach an IPv6 address: the error number is the one Windows gives.
TEST_F(UdpMgrTest, Ipv6DatagramsCarryTheSenderInItsOwnFamily) {
    auto v6 = mgr->CreateServerSocket(At("::1"));
    auto v4 = mgr->CreateServerSocket(Loopback());
    auto dual = mgr->CreateClientSocket(At("::"));
    dual->SendTo(Variant(std::string("six")), At("::1", v6->LocalAddr()->Port()));
    ASSERT_TRUE(PumpFor(1));
    dual->SendTo(Variant(std::string("four")), Loopback(v4->LocalAddr()->Port()));
    ASSERT_TRUE(PumpFor(2));
    EXPECT_EQ(got[0].info, Variant("six"));
    EXPECT_EQ(got[0].address->IPAddress(), "::1");
    EXPECT_EQ(got[0].address->Family(), 23);
    EXPECT_EQ(got[1].info, Variant("four"));
    EXPECT_EQ(got[1].address->IPAddress(), "127.0.0.1");
    EXPECT_EQ(got[1].address->Family(), 2);
    EXPECT_EQ(test::Raised([&] { v4->SendTo(Variant(std::string("x")), At("::1", v6->LocalAddr()->Port())); }), 10047);
}

TEST(UdpMgrSockets, ServerSocketsDoNotListenFailedCreationLeavesNoSocketAndTagStaysHere) {
    auto mgr = std::dynamic_pointer_cast<TavUDPSocketMgr>(CreateObject("TAVSock.TavUDPSocketMgr"));
    ASSERT_TRUE(mgr);
    auto server = mgr->CreateServerSocket(Loopback(), "srv");
    auto client = mgr->CreateClientSocket(Loopback());
    EXPECT_TRUE(server->IsServerSocket());
    EXPECT_FALSE(client->IsServerSocket());
    EXPECT_EQ(server->Kind(), TAVSockKind_Datagram);
    EXPECT_EQ(server->State(), Skt_Bound) << "datagram sockets do not listen";
    EXPECT_EQ(mgr->Sockets()->Item(Variant("SRV")), server);

    // A port in use, by either kind of socket, and no address at all.
    const int16_t port = server->LocalAddr()->Port();
    EXPECT_EQ(test::Raised([&] { mgr->CreateServerSocket(Loopback(port), "dup"); }), SockErrorNumber(10048));
    EXPECT_EQ(test::Raised([&] { mgr->CreateClientSocket(Loopback(port), "dup"); }), SockErrorNumber(10048));
    EXPECT_EQ(test::Raised([&] { mgr->CreateClientSocket(nullptr, "dup"); }), 91);
    EXPECT_EQ(mgr->Sockets()->SocketCount(), 2);
    EXPECT_FALSE(mgr->Sockets()->IsValidKey("dup"));

    mgr->DestroySocket(server);
    mgr->DestroySocket(server);  // no longer held
    mgr->DestroySocket(nullptr);
    EXPECT_EQ(mgr->Sockets()->SocketCount(), 1);
    EXPECT_EQ(mgr->Sockets()->Item(Variant(int32_t{1})), client);

    mgr->InternalEarlyBound(true);
    mgr->Tag(Variant("mine"));
    EXPECT_EQ(mgr->Tag(), Variant("mine"));
    EXPECT_TRUE(mgr->Sockets()->Tag().IsEmpty());
    EXPECT_EQ(mgr->ExtraData(), mgr->ExtraData());

    // Nothing keeps the manager alive. The inner manager outlives its owner when a host holds
    // it, and then raises its own events again.
    std::weak_ptr<TavUDPSocketMgr> weak = mgr;
    std::shared_ptr<TAVSocketMgr> inner = mgr->Sockets();
    mgr.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(inner->CallbackObject(), nullptr);
}

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

TEST_F(RealPeerTest, SocatDatagramArrivesWithItsSenderTheReplyReachesItAndItsTcpMessagesArriveFramed) {
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

    // As a TCP client, its messages arrive framed at a server socket.
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
