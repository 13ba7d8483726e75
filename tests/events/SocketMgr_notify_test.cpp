// Notifications of real loopback connections, by either route (callback object or events).
#include "events/SocketMgrTestUtil.hpp"

#include "platform/SockIntf.hpp"

namespace tav::test {
namespace {

namespace sk = sockintf;

INSTANTIATE_TEST_SUITE_P(Routes, SocketMgrTest, ::testing::Values(Route::Callback, Route::Events), RouteName);

TEST_P(SocketMgrTest, AcceptAndConnectMoveStatesAndAcceptRegistersTheNewSocketUnderItsHandle) {
    listener = Listener();
    auto client = mgr->CreateSocket(TAVSockKind_Stream, "client");
    ASSERT_TRUE(client);
    EXPECT_EQ(client->Connect(listener->LocalAddr()), -1);
    ASSERT_TRUE(Pump([&] {
        return rec->Has("SocketNotification", listener, FD_ACCEPT) && rec->Has("SocketNotification", client, FD_CONNECT);
    }));
    EXPECT_EQ(rec->Of("SocketNotification", listener)[0].state, Skt_ConnectionPending);
    const Call connected = rec->Of("SocketNotification", client)[0];
    EXPECT_EQ(connected.state, Skt_Ready);
    EXPECT_EQ(connected.kind, NotDisconnected);

    std::shared_ptr<TAVSockAddr> peer;
    auto server = listener->Accept(mgr, peer);
    ASSERT_TRUE(server);
    const std::string key = std::to_string(server->Handle());
    EXPECT_EQ(mgr->SocketCount(), 3);
    EXPECT_TRUE(mgr->IsValidKey(key));
    EXPECT_EQ(mgr->Item(Variant(key)), server);
    EXPECT_EQ(mgr->Item(Variant("CLIENT")), client);
    EXPECT_EQ(SocketMgrAccess::SocketFromHandle(*mgr, server->Handle()), server);
    // Registered for notifications: data from the client reaches it.
    client->Send(Variant("ping"));
    EXPECT_TRUE(Pump([&] { return !rec->Of("DataReceived", server).empty(); }));
    EXPECT_EQ(otherRoute, 0);
}

TEST_P(SocketMgrTest, ReadAndOutOfBandNotificationsOfferTheDataWithIsOOB) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    client->Send(Variant(ByteArray{'a', 'b', 'c'}));
    ASSERT_TRUE(Pump([&] { return !rec->Of("DataReceived", server).empty(); }));
    EXPECT_FALSE(rec->Of("DataReceived", server)[0].isOOB);

    // Read what waits, then send one urgent byte: it is offered with IsOOB true.
    int32_t n = 0, err = 0;
    server->Recv(n, err);
    EXPECT_EQ(n, 3);
    rec->calls.clear();
    client->SendOOB(Variant(ByteArray{'!'}));
    ASSERT_TRUE(Pump([&] {
        for (const Call& c : rec->Of("DataReceived", server))
            if (c.isOOB) return true;
        return false;
    }));
    // A read notification while the urgent byte waits says so too.
    rec->calls.clear();
    PostNotification(server->Handle(), FD_READ);
    Settle();
    ASSERT_EQ(rec->Of("DataReceived", server).size(), 1u);
    EXPECT_TRUE(rec->Of("DataReceived", server)[0].isOOB);
    EXPECT_EQ(otherRoute, 0);
}

TEST_P(SocketMgrTest, WriteNotificationDeliversDataSentThenFlushesWhatIsPending) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    // With no retries the first full send buffer ends the send; the rest stays pending.
    client->lngRetrySendTimes(0);
    client->DataMode(DataMode_Binary);
    const ByteArray data(8 << 20, 'x');
    try {
        client->Send(Variant(data));
    } catch (const SockError& e) {
        EXPECT_EQ(e.Number(), sk::WSAEWOULDBLOCK);
    }
    // The server reads as data arrives; write notifications let the client flush the rest.
    size_t received = 0;
    server->DataMode(DataMode_Binary);
    rec->onCall = [&](const Call& c) {
        if (c.name != "DataReceived" || c.socket != server) return;
        int32_t n = 0, err = 0;
        server->Recv(n, err);
        received += static_cast<size_t>(n);
    };
    ASSERT_TRUE(Pump([&] { return received == data.size(); })) << received;
    EXPECT_FALSE(rec->Of("DataSent", client).empty());
    EXPECT_EQ(otherRoute, 0);
}

TEST_P(SocketMgrTest, PeerCloseGivesDisconnectingInsideAndDisconnectedAfter) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    EXPECT_TRUE(mgr->DestroySocket(Variant(client)).IsEmpty());
    client.reset();  // the last reference closes the handle
    ASSERT_TRUE(Pump([&] { return rec->Has("SocketNotification", server, FD_CLOSE); }));
    EXPECT_EQ(rec->Trace(server), "SocketNotification:32");
    const Call closed = rec->Of("SocketNotification", server)[0];
    EXPECT_EQ(closed.state, Skt_Disconnecting);
    EXPECT_EQ(closed.kind, GracefulDisconnect);
    EXPECT_EQ(server->State(), Skt_Disconnected);
    EXPECT_EQ(otherRoute, 0);
}

TEST_P(SocketMgrTest, CloseOffersUnreadDataOnceToAReceiverThatReadsNothing) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    client->Send(Variant("hello"));
    ASSERT_TRUE(Pump([&] { return !rec->Of("DataReceived", server).empty(); }));
    mgr->DestroySocket(Variant(client));
    client.reset();
    ASSERT_TRUE(Pump([&] { return rec->Has("SocketNotification", server, FD_CLOSE); }));
    // The read notification's offer, then exactly one offer inside the close, then the close.
    EXPECT_EQ(rec->Trace(server), "DataReceived DataReceived SocketNotification:32");
    EXPECT_EQ(rec->Of("DataReceived", server)[1].state, Skt_Disconnecting);
    EXPECT_EQ(server->HowMuchDataIsAvailable(), 5);
    EXPECT_EQ(server->State(), Skt_Disconnected);
}

TEST_P(SocketMgrTest, CloseKeepsOfferingWhileTheReceiverReadsAndStopsWhenAllIsRead) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    client->Send(Variant("hello"));
    ASSERT_TRUE(Pump([&] { return !rec->Of("DataReceived", server).empty(); }));
    // From now on each offer takes two bytes: 5, 3, 1, then nothing is left.
    rec->onCall = [&](const Call& c) {
        if (c.name != "DataReceived") return;
        char buf[2];
        sk::intrecv(server->Handle(), buf, 2, 0);
    };
    rec->calls.clear();
    mgr->DestroySocket(Variant(client));
    client.reset();
    ASSERT_TRUE(Pump([&] { return rec->Has("SocketNotification", server, FD_CLOSE); }));
    int insideClose = 0;
    for (const Call& c : rec->Of("DataReceived", server)) insideClose += c.state == Skt_Disconnecting;
    EXPECT_EQ(insideClose, 3);
    EXPECT_EQ(server->HowMuchDataIsAvailable(), 0);
}

TEST_P(SocketMgrTest, LookupsEndInHostResolvedOrAsyncErrorByTheSameRoute) {
    const int32_t handle = mgr->WSAAsyncGetHostByName("localhost");
    ASSERT_NE(handle, 0);
    ASSERT_TRUE(Pump([&] { return !rec->Of("HostResolved").empty(); }));
    EXPECT_EQ(rec->lastAsyncHandle, handle);
    ASSERT_TRUE(rec->host);
    EXPECT_FALSE(rec->host->Name().empty());

    // A cancelled look-up delivers nothing; a completion nobody waits for is an AsyncError.
    const int32_t cancelled = mgr->WSAAsyncGetHostByAddress("127.0.0.1");
    ASSERT_NE(cancelled, 0);
    mgr->CancelAsyncRequest(cancelled);
    const int32_t hWnd = SocketMgrAccess::AsyncService(*mgr)->WindowHandle();
    ASSERT_TRUE(platform::PostMessageTo(hWnd, TAVAsyncSocket::kLookupMessage, 4242, 0));
    ASSERT_TRUE(Pump([&] { return !rec->Of("AsyncError").empty(); }));
    EXPECT_EQ(rec->lastAsyncHandle, 4242);
    EXPECT_EQ(rec->Of("AsyncError")[0].value, 0);
    EXPECT_EQ(rec->Of("HostResolved").size(), 1u);
    EXPECT_EQ(otherRoute, 0);
}

}  // namespace
}  // namespace tav::test
