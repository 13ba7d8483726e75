// The TCP manager over real loopback connections: creation, connect and accept, data in both
// modes, framing, urgent data, close and errors; each by both notification routes.
#include "TcpMgrTestUtil.hpp"

#include <tavsock/CreateObject.hpp>
#include <tavsock/SockError.hpp>

#include "events/SocketMgrAccess.hpp"
#include "events/TAVAsyncSocket.hpp"
#include "transport/WaitTime.hpp"

using namespace tav;
using namespace tavtest;

namespace {

using Events = std::vector<std::string>;

TEST_P(TcpMgrTest, ClientConnectsAndServerAcceptsWithOneEventEach) {
    Connect();
    EXPECT_EQ(mgr->InternalEarlyBound(), GetParam() == Route::EarlyBound);
    EXPECT_FALSE(client->IsServerSocket());
    EXPECT_TRUE(server->IsServerSocket());
    EXPECT_EQ(server->State(), Skt_Listening);
    EXPECT_EQ(client->State(), Skt_Ready);
    EXPECT_EQ(Of(client), Events{"ConnectComplete"});
    EXPECT_EQ(Of(server), Events{"AcceptComplete"});
    // The new socket is held under its handle, and its name is the client's end.
    EXPECT_EQ(mgr->Sockets()->SocketCount(), 3);
    EXPECT_EQ(mgr->Sockets()->Item(Variant(std::to_string(accepted->Handle()))), accepted);
    EXPECT_EQ(acceptedFrom->IPAddress(), "127.0.0.1");
    EXPECT_EQ(acceptedFrom->Port(), client->LocalAddr()->Port());
    ASSERT_TRUE(Pump([&] { return dataSent > 0; }));  // the connected socket can take data
    EXPECT_EQ(Diagnostics::Current().FailureCount(), 0);
}

TEST_P(TcpMgrTest, BackgroundLookUpsAreForwarded) {
    const int32_t handle = mgr->WSAAsyncGetHostByAddress("127.0.0.1");
    ASSERT_NE(handle, 0);
    EXPECT_TRUE(PumpFor("HostResolved:" + std::to_string(handle)));
}

TEST_P(TcpMgrTest, BinaryReadsArriveAsBytesInBothDirectionsAndNothingIsHeld) {
    Connect("BEG", "END", DataMode_Binary);
    SendRaw("BEGhelloEND");
    ASSERT_TRUE(Pump([&] { return Received(accepted) == "BEGhelloEND"; }));
    accepted->Send(Variant(ByteArray{'o', 'k', 0, 1}));
    ASSERT_TRUE(Pump([&] { return Received(client).size() == 4; }));
    EXPECT_EQ(Received(client), std::string("ok\0\1", 4));
    EXPECT_EQ(TcpSocketMgrAccess::HoldBuffer(*mgr)->Count(), 0);
}

TEST_P(TcpMgrTest, FramedTextIsCutAcrossReadsWhateverTheLetterCase) {
    Connect("BEG", "END");
    SendRaw("zzBEGab");
    ASSERT_TRUE(Pump([&] { return Held(accepted) == "zzBEGab"; }));
    SendRaw("cEn");  // the end mark split between two reads
    ASSERT_TRUE(Pump([&] { return Held(accepted) == "zzBEGabcEn"; }));
    EXPECT_EQ(Received(accepted), "");
    SendRaw("dxbegONEendBeGtwoENDBEGpart");
    ASSERT_TRUE(PumpFor("Data:two", accepted));
    EXPECT_EQ(Of(accepted), (Events{"Data:abc", "Data:ONE", "Data:two"}));
    EXPECT_EQ(Held(accepted), "BEGpart");
    // Text sent by the socket object carries the same marks and comes out whole.
    client->DataMode(DataMode_String);
    client->MsgBeginMark("BEG");
    client->MsgEndMark("END");
    client->Send(Variant("third"));
    ASSERT_TRUE(PumpFor("Data:partBEGthird", accepted));
}

TEST_P(TcpMgrTest, UrgentDataGoesToOOBDataReceivedAndTheRestStillArrives) {
    Connect("", "", DataMode_Binary);
    // Reads come from the notifications or, failing that, the timer, whichever is first.
    TcpSocketMgrAccess::Timer(*mgr).Interval(20);
    SendRaw("normal");
    client->SendOOB(Variant(ByteArray{'!'}));
    ASSERT_TRUE(PumpFor("OOB:!", accepted));
    TcpSocketMgrAccess::WaitTime(*mgr, waittime::Now());
    ASSERT_TRUE(Pump([&] { return Received(accepted) == "normal"; }));
}

TEST_P(TcpMgrTest, DataStillUnreadAtCloseComesBeforeSocketClosed) {
    Connect("", "END");
    TAV_SocketState stateAtClose = Skt_NotInitialized;
    onEvent = [&](const std::string& e, const std::shared_ptr<TAVSocket>& s) {
        if (e == "SocketClosed") stateAtClose = s->State();
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
}

TEST_P(TcpMgrTest, AbortiveCloseRaisesSocketErrorWithTheSocketFirstThenSocketClosed) {
    Connect();
    client->SocketOption(0x0080, 1);  // linger on, no time: closing resets the connection
    mgr->DestroySocket(client);
    client.reset();
    ASSERT_TRUE(PumpFor("SocketClosed", accepted));
    const Events seen = Of(accepted);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].rfind("SocketError:100", 0), 0u) << seen[0];  // 10053 or 10054
    EXPECT_EQ(seen[1], "SocketClosed");
    EXPECT_EQ(accepted->DisconnectKind(), AbortiveDisconnect);
}

TEST_P(TcpMgrTest, FailedCreationTakesTheSocketOutAndRaisesTheSocketError) {
    auto taken = mgr->CreateServerSocket(Loopback());
    const int32_t before = mgr->Sockets()->SocketCount();
    try {
        mgr->CreateServerSocket(Loopback(taken->LocalAddr()->Port()), "k");
        FAIL() << "no error";
    } catch (const SockError& e) {
        EXPECT_EQ(e.Number(), static_cast<int32_t>(0x80040200u + 10048));
    }
    EXPECT_EQ(mgr->Sockets()->SocketCount(), before);
    EXPECT_FALSE(mgr->Sockets()->IsValidKey("k"));
    // A key in use fails in the collection, before any socket call.
    mgr->CreateClientSocket(Loopback(), "dup");
    EXPECT_THROW(mgr->CreateClientSocket(Loopback(), "DUP"), SockError);
    EXPECT_EQ(mgr->Sockets()->SocketCount(), before + 1);
}

TEST_P(TcpMgrTest, ConnectCountsOnlyForClientsAndAcceptOnlyForServers) {
    Connect();
    // Notifications as the window would deliver them.
    const auto& service = SocketMgrAccess::AsyncService(*mgr->Sockets());
    service->SocketMessage(server->Handle(), FD_CONNECT);
    service->SocketMessage(client->Handle(), FD_ACCEPT);
    EXPECT_EQ(Of(server), Events{"AcceptComplete"});
    EXPECT_EQ(Of(client), Events{"ConnectComplete"});
    // An accept notification with nothing to accept raises nothing either.
    service->SocketMessage(server->Handle(), FD_ACCEPT);
    EXPECT_EQ(Of(server), Events{"AcceptComplete"});
    EXPECT_EQ(server->State(), Skt_Listening);
}

TEST_P(TcpMgrTest, TagGoesToTheInnerManagerAndTheManagerIsCreatableByName) {
    mgr->Tag(Variant("T1"));
    EXPECT_EQ(mgr->Sockets()->Tag(), Variant("T1"));
    EXPECT_EQ(mgr->ExtraData(), mgr->ExtraData());
    auto made = std::dynamic_pointer_cast<TavTCPSocketMgr>(CreateObject("TAVSock.TavTCPSocketMgr"));
    ASSERT_NE(made, nullptr);
    EXPECT_FALSE(made->InternalEarlyBound());
    EXPECT_FALSE(TcpSocketMgrAccess::Timer(*made).Enabled());
    EXPECT_EQ(TcpSocketMgrAccess::Timer(*made).Interval(), 1000);
}

INSTANTIATE_TEST_SUITE_P(BothRoutes, TcpMgrTest, ::testing::Values(Route::Events, Route::EarlyBound), RouteName);

}  // namespace

namespace {

// One read on Linux can bring far more than the hold-buffer limit; a stream of small framed
// messages must still arrive whole, in order, with nothing dropped.
TEST_P(TcpMgrTest, ManySmallMessagesInOneLargeReadAreNotDroppedByTheHoldLimit) {
    Connect("BEG", "END");
    accepted->MaxRecvHoldBufferSize(8192);
    int messages = 0;
    bool inOrder = true;
    mgr->DataReceived.Subscribe([&](const std::shared_ptr<TAVSocket>&, Variant& info) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "%06d", messages);
        if (info.ToString().compare(0, 6, expected) != 0) inOrder = false;
        ++messages;
    });
    const int total = 3000;  // about 300 KB, sent before the server reads anything
    std::string bulk;
    for (int i = 0; i < total; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "%06d", i);
        bulk += "BEG" + std::string(id) + std::string(90, 'x') + "END";
    }
    client->lngRetrySendStart(0);
    client->lngRetrySendStep(0);
    SendRaw(bulk);
    ASSERT_TRUE(Pump([&] { return messages == total; }));
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(Held(accepted), "");
}

}  // namespace
