// The TCP manager over IPv6 loopback: a dual-stack listener, IPv6-only sockets, refused
// connections, and background look-ups that come back with IPv6 addresses.
#include "TransportTestUtil.hpp"

namespace {

using namespace tav;
using namespace tavtest;

using Ipv6TcpTest = TcpMgrTest;

TEST_F(Ipv6TcpTest, DualStackListenerServesAnIpv4AndAnIpv6ClientAlike) {
    server = mgr->CreateServerSocket(At("::"), "", 4);
    server->MsgBeginMark("<B>");
    server->MsgEndMark("<E>");
    const int16_t port = server->LocalAddr()->Port();
    EXPECT_EQ(server->LocalAddr()->Family(), 23);
    EXPECT_EQ(server->LocalAddr()->IPAddress(), "::");

    // The IPv6 client is made for IPv4 (0.0.0.0) and takes IPv6 when it connects; the IPv4
    // client stays as every IPv4 client always was.
    struct Case {
        const char* local;
        const char* to;
        int16_t family;
        const char* seenAs;
    };
    for (const Case& c : {Case{"0.0.0.0", "::1", 23, "::1"}, Case{"0.0.0.0", "127.0.0.1", 2, "127.0.0.1"},
                          Case{"::1", "::1", 23, "::1"}}) {
        SCOPED_TRACE(std::string(c.local) + " -> " + c.to);
        accepted.reset();
        heard.entries.clear();  // freed sockets' addresses come back: start each case afresh
        std::shared_ptr<TAVSocket> cl = mgr->CreateClientSocket(At(c.local));
        const int32_t handle = cl->Handle();
        cl->DataMode(DataMode_Binary);
        cl->Connect(At(c.to, port));
        ASSERT_TRUE(PumpUntil([&] { return accepted && Count("ConnectComplete", cl) == 1; }));
        EXPECT_EQ(cl->Handle(), handle);
        EXPECT_EQ(cl->RemoteAddr()->Family(), c.family);
        EXPECT_EQ(cl->RemoteAddr()->IPAddress(), c.to);
        EXPECT_EQ(cl->LocalAddr()->IPAddress(), c.seenAs);
        EXPECT_EQ(acceptedFrom->Family(), c.family);
        EXPECT_EQ(acceptedFrom->IPAddress(), c.seenAs);
        EXPECT_EQ(acceptedFrom->Port(), cl->LocalAddr()->Port());

        // Framing and the echo path are the same for both families.
        cl->Send(Variant(ByteArray{'<', 'B', '>', 'h', 'i', '<', 'E', '>'}));
        ASSERT_TRUE(PumpFor("Data:hi", accepted));
        accepted->Send(Variant(std::string("back")));
        ASSERT_TRUE(PumpFor("Bytes:<B>back<E>", cl));
        mgr->DestroySocket(cl);
        cl.reset();  // the last reference: the connection closes
        ASSERT_TRUE(PumpFor("SocketClosed", accepted));
        mgr->DestroySocket(accepted);
    }
}

TEST_F(Ipv6TcpTest, Ipv6OnlyListenerLeavesTheIpv4PortFreeAndRefusalsReadAsForIpv4) {
    // Dual stack would hold the IPv4 port too; IPv6 only leaves it to an IPv4 listener. Another
    // process may hold the IPv4 port of the same number: then try another.
    std::shared_ptr<TAVSocket> v4;
    int16_t port = 0;
    for (int attempt = 0; attempt < 20 && !v4; ++attempt) {
        if (server) mgr->DestroySocket(server);
        mgr->IPv6Only(true);
        server = mgr->CreateServerSocket(At("::"));
        port = server->LocalAddr()->Port();
        mgr->IPv6Only(false);
        if (test::Raised([&] { v4 = mgr->CreateServerSocket(Loopback(port)); }) != 0) v4.reset();
    }
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->LocalAddr()->Port(), port);
    EXPECT_EQ(test::Raised([&] { mgr->CreateServerSocket(At("::", port)); }), static_cast<int32_t>(0x80040200 + 10048));

    // Nothing listens on ::1 at the IPv4 listener's port now that the IPv6 one is gone.
    mgr->DestroySocket(server);
    server.reset();
    client = mgr->CreateClientSocket(At("::"));
    // Refused at once or by notification, as for IPv4, with the same number.
    if (client->Connect(At("::1", port)) != 0 && client->State() == Skt_Disconnected) {
        EXPECT_EQ(client->LastError(), 10061);
    } else {
        ASSERT_TRUE(PumpUntil([&] { return !Of(client).empty(); }));
        EXPECT_EQ(Of(client)[0], "SocketError:10061");
    }
}

TEST_F(Ipv6TcpTest, BackgroundLookUpsCarryIpv6Addresses) {
    std::shared_ptr<TAVHostInfo> host;
    mgr->HostResolved.Subscribe([&](int32_t, const std::shared_ptr<TAVHostInfo>& h) { host = h; });
    const int32_t handle = mgr->WSAAsyncGetHostByName("[::1]");
    ASSERT_NE(handle, 0);
    ASSERT_TRUE(PumpFor("HostResolved:" + std::to_string(handle)));
    ASSERT_TRUE(host);
    EXPECT_EQ(host->AddressCount(), 0);
    ASSERT_EQ(host->IPAddressCount(), 1);
    EXPECT_EQ(host->IPAddress(1), "::1");

    // By IPv6 address the look-up is made (no name is listed for ::1 here, so it may end in
    // a resolver error, but never in the refusal of the family, 10047).
    const int32_t byAddr = mgr->WSAAsyncGetHostByAddress("::1");
    ASSERT_NE(byAddr, 0);
    const std::string id = std::to_string(byAddr);
    ASSERT_TRUE(PumpUntil([&] {
        return Count("HostResolved:" + id) + Count("AsyncError:" + id + ":11001") + Count("AsyncError:" + id + ":11004") > 0;
    }));
}

}  // namespace
