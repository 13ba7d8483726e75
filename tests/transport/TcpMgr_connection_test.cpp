// The TCP manager over real loopback connections: creation, connect and accept, framed text,
// close and errors; and one scenario run by both notification routes.
#include "TransportTestUtil.hpp"

#include <tavsock/CreateObject.hpp>

#include "events/SocketMgrAccess.hpp"
#include "events/TAVAsyncSocket.hpp"
#include "platform/RaiseEvent.hpp"

#include <cstdio>

using namespace tav;
using namespace tavtest;

namespace {

using Events = std::vector<std::string>;

// Connect notifications count only for clients, accept ones only for servers, and an accept
// notification with nothing to accept raises nothing. A port given by the host is bound at
// once: a second socket cannot have it.
TEST_F(TcpMgrTest, ConnectAndAcceptNotificationsCountOnlyWhereTheyBelong) {
    Connect();
    EXPECT_FALSE(client->IsServerSocket());
    const auto& service = SocketMgrAccess::AsyncService(*mgr->Sockets());
    RaiseEvent(service->SocketMessage, server->Handle(), FD_CONNECT);
    RaiseEvent(service->SocketMessage, client->Handle(), FD_ACCEPT);
    RaiseEvent(service->SocketMessage, server->Handle(), FD_ACCEPT);
    EXPECT_EQ(Of(client), Events{"ConnectComplete"});
    EXPECT_EQ(Of(server), Events{"AcceptComplete"});
    EXPECT_EQ(server->State(), Skt_Listening);
    EXPECT_EQ(Diagnostics::Current().FailureCount(), 0);
    EXPECT_NE(test::Raised([&] { mgr->CreateClientSocket(Loopback(client->LocalAddr()->Port())); }), 0);
}

// The cutting rules are the framing engine's; here only that text is held per socket across
// reads, with the marks the accepted socket inherited, and that the storage of a delivered
// message, reused for the next one, shows nothing a handler left in the text it was handed.
TEST_F(TcpMgrTest, FramedTextIsHeldAcrossReadsAndCutWithTheSocketsMarks) {
    Connect("BEG", "END");
    mgr->DataReceived.Subscribe([](const std::shared_ptr<TAVSocket>&, Variant& info) {
        info = Variant(std::string(300, 'z') + info.AsString());
    });
    SendRaw("zzBEGab");
    ASSERT_TRUE(PumpUntil([&] { return Held(accepted) == "zzBEGab"; }));
    SendRaw("cENDBEGtwoENDBEGpart");
    ASSERT_TRUE(PumpFor("Data:two", accepted));
    EXPECT_EQ(Held(accepted), "BEGpart");
    SendRaw("ENDBEGzEND");
    ASSERT_TRUE(PumpFor("Data:z", accepted));
    EXPECT_EQ(Of(accepted), (Events{"Data:abc", "Data:two", "Data:part", "Data:z"}));
}

// One read on Linux can bring far more than the hold-buffer limit; a stream of small framed
// messages must still arrive whole, in order, with nothing dropped but the one message over
// the socket's limit.
TEST_F(TcpMgrTest, ManySmallMessagesInOneLargeReadAreNotDroppedByTheHoldLimit) {
    Connect("BEG", "END");
    accepted->MaxRecvHoldBufferSize(8192);
    int messages = 0;
    bool inOrder = true;
    mgr->DataReceived.Subscribe([&](const std::shared_ptr<TAVSocket>&, Variant& info) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "%06d", messages++);
        inOrder = inOrder && info.ToString().compare(0, 6, expected) == 0;
    });
    const int total = 3000;  // about 300 KB, sent before the server reads anything
    std::string bulk = "BEG" + std::string(20000, 'y') + "END";
    for (int i = 0; i < total; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "%06d", i);
        bulk += "BEG" + std::string(id) + std::string(90, 'x') + "END";
    }
    client->lngRetrySendStart(0);
    client->lngRetrySendStep(0);
    SendRaw(bulk);
    ASSERT_TRUE(PumpUntil([&] { return messages == total; }));
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(Held(accepted), "");
}

// Logged with the manager's tag on the way.
TEST_F(TcpMgrTest, DataStillUnreadAtCloseComesBeforeSocketClosed) {
    test::DebugLogFolder log(2);
    mgr->Tag(Variant("M"));
    Connect("", "END");
    TAV_SocketState stateAtClose = Skt_NotInitialized;
    heard.onEntry = [&](const Heard& h) {
        if (h.event == "SocketClosed") stateAtClose = h.socket->State();
    };
    SendRaw("oneENDtwoENDthr");
    mgr->DestroySocket(client);
    client.reset();  // the last reference: the handle closes
    ASSERT_TRUE(PumpFor("SocketClosed", accepted));
    EXPECT_EQ(Of(accepted), (Events{"Data:one", "Data:two", "SocketClosed"}));
    EXPECT_EQ(stateAtClose, Skt_Disconnecting);
    EXPECT_EQ(accepted->State(), Skt_Disconnected);
    EXPECT_EQ(accepted->DisconnectKind(), GracefulDisconnect);
    EXPECT_EQ(Held(accepted), "thr");

    std::string all;
    for (const std::string& l : test::DebugLogFolder::Messages("M<")) all += l + "\n";
    for (const std::string& line : std::vector<std::string>{
             "M<TAVTcpSocketMgr - Done CreateServerSocket mWaitTime>", "M<TAVTcpSocketMgr - start CreateClientSocket\n",
             "M<TAVTcpSocketMgr - ITAVSockNotify_SocketNotification   FD_ACCEPT message sckhandle>" +
                 std::to_string(server->Handle()) + "\n",
             "M<TAVTcpSocketMgr - ITAVSockNotify_SocketNotification   FD_CONNECT message - setting skt_ready for socket",
             "M<TAVTcpSocketMgr - ITAVSockNotify_DataReceived start  Skt.HowMuchDataIsAvailable>15\n",
             "M<TAVTcpSocketMgr - ITAVSockNotify_DataReceived read len>15  and start tmrprocessincoming mWaitTime>",
             "M<DestroySocket - Skt.Handle>",
             "M<TAVTcpSocketMgr - ITAVSockNotify_SocketNotification   FD_CLOSE message - sckhandle>" +
                 std::to_string(accepted->Handle()) + "\n"})
        EXPECT_NE(all.find(line), std::string::npos) << line;
}

TEST_F(TcpMgrTest, FailedCreationTakesTheSocketOutAndTagAndDefaultsReachThroughTheInnerManager) {
    auto taken = mgr->CreateServerSocket(Loopback());
    EXPECT_EQ(test::Raised([&] { mgr->CreateServerSocket(Loopback(taken->LocalAddr()->Port()), "k"); }),
              static_cast<int32_t>(0x80040200u + 10048));
    EXPECT_EQ(mgr->Sockets()->SocketCount(), 1);
    EXPECT_FALSE(mgr->Sockets()->IsValidKey("k"));

    mgr->Tag(Variant("T1"));
    EXPECT_EQ(mgr->Sockets()->Tag(), Variant("T1"));
    EXPECT_EQ(mgr->ExtraData(), mgr->ExtraData());
    auto made = std::dynamic_pointer_cast<TavTCPSocketMgr>(CreateObject("TAVSock.TavTCPSocketMgr"));
    ASSERT_NE(made, nullptr);
    EXPECT_FALSE(made->InternalEarlyBound());
    EXPECT_FALSE(TcpSocketMgrAccess::Timer(*made).Enabled());
    EXPECT_EQ(TcpSocketMgrAccess::Timer(*made).Interval(), 1000);
}

// Every event the inner manager forwards, in one order, whichever the route.
TEST_P(TcpMgrRoutes, BothRoutesRaiseTheSameEventsInTheSameOrder) {
    Connect("", "END");
    EXPECT_EQ(mgr->InternalEarlyBound(), GetParam());
    const int32_t lookup = mgr->WSAAsyncGetHostByAddress("127.0.0.1");
    ASSERT_TRUE(PumpFor("HostResolved:" + std::to_string(lookup)));
    SendRaw("oneEND");
    ASSERT_TRUE(PumpFor("Data:one", accepted));
    client->SendOOB(Variant(ByteArray{'!'}));
    ASSERT_TRUE(PumpFor("OOB:!", accepted));
    client->SocketOption(0x0080, 1);  // linger on, no time: closing resets the connection
    mgr->DestroySocket(client);
    client.reset();
    ASSERT_TRUE(PumpFor("SocketClosed", accepted));
    Events seen = Of(accepted);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2].rfind("SocketError:100", 0), 0u) << seen[2];  // 10053 or 10054
    seen[2] = "SocketError";
    EXPECT_EQ(seen, (Events{"Data:one", "OOB:!", "SocketError", "SocketClosed"}));
    EXPECT_EQ(Of(server), Events{"AcceptComplete"});
    EXPECT_EQ(accepted->DisconnectKind(), AbortiveDisconnect);
    EXPECT_GT(dataSent, 0);
}

INSTANTIATE_TEST_SUITE_P(BothRoutes, TcpMgrRoutes, ::testing::Bool(), RouteName);

}  // namespace
