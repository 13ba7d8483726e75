// Notifications of real loopback connections: what each event gives, notifications that carry
// an error or name a handle the manager does not hold, and receivers that throw, destroy the
// notified socket or let go of the whole manager. The receivers that end things, and one
// scenario with every kind of notification, run by both routes (callback object and events);
// the rest by events.
#include "events/SocketMgrTestUtil.hpp"

#include "platform/SockIntf.hpp"

namespace tav::test {
namespace {

namespace sk = sockintf;

INSTANTIATE_TEST_SUITE_P(Routes, SocketMgrRoutes, ::testing::Values(Route::Callback, Route::Events), RouteName);

// Every kind of notification of a connection, in one order, whichever the route. An urgent
// byte is offered with IsOOB true, and so is any read notification while it waits.
TEST_P(SocketMgrRoutes, BothRoutesDeliverTheSameNotificationsInTheSameOrder) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    client->Send(Variant("abc"));
    ASSERT_TRUE(PumpUntil([&] { return rec->Of("DataReceived", server).size() == 1; }));
    int32_t n = 0, err = 0;
    server->Recv(n, err);
    client->SendOOB(Variant(ByteArray{'!'}));
    ASSERT_TRUE(PumpUntil([&] { return rec->Of("DataReceived", server).size() == 2; }));
    PostNotification(server->Handle(), FD_READ);
    ASSERT_TRUE(PumpUntil([&] { return rec->Of("DataReceived", server).size() == 3; }));
    server->RecvOOB(n, err);
    const int32_t found = mgr->WSAAsyncGetHostByName("localhost");
    const int32_t unknown = mgr->WSAAsyncGetHostByName("no-such-host.invalid");
    ASSERT_TRUE(PumpUntil([&] { return rec->Of("HostResolved").size() + rec->Of("AsyncError").size() == 2; }));
    EXPECT_TRUE(rec->host && !rec->host->Name().empty());
    PostNotification(client->Handle(), FD_WRITE, sk::WSAENOBUFS);
    Settle();
    EXPECT_EQ(rec->Trace(client), "SocketError:10055");
    std::erase_if(rec->entries, [&](const Call& c) { return c.socket == client; });
    mgr->DestroySocket(Variant(client));
    client.reset();  // the last reference: the handle closes
    ASSERT_TRUE(PumpUntil([&] { return rec->Notified(server, FD_CLOSE); }));
    EXPECT_EQ(rec->Trace(server), "DataReceived DataReceived:OOB DataReceived:OOB SocketNotification:32");
    // The look-ups end in either order.
    const std::string resolved = "HostResolved:" + std::to_string(found), failed = "AsyncError:" + std::to_string(unknown);
    const std::string lookups = rec->Trace(nullptr);
    EXPECT_TRUE(lookups == resolved + " " + failed || lookups == failed + " " + resolved) << lookups;
}

TEST_F(SocketMgrTest, CloseOffersUnreadDataWhileTheReceiverReadsAndOnceWhenItReadsNothing) {
    // Reading two bytes per offer: 5, 3, 1, then nothing is left. Reading nothing: one offer.
    for (const int perOffer : {2, 0}) {
        std::shared_ptr<TAVSocket> server;
        CloseClientWithUnreadData(server, [&](const Call& c) {
            char buf[2];
            if (c.name == "DataReceived" && perOffer > 0) sk::intrecv(server->Handle(), buf, perOffer, 0);
        });
        ASSERT_TRUE(PumpUntil([&] { return rec->Notified(server, FD_CLOSE); }));
        EXPECT_EQ(rec->Trace(server), perOffer ? "DataReceived DataReceived DataReceived SocketNotification:32"
                                               : "DataReceived SocketNotification:32");
        EXPECT_EQ(server->HowMuchDataIsAvailable(), perOffer ? 0 : 5);
        EXPECT_EQ(rec->Of("DataReceived", server)[0].state, Skt_Disconnecting);
        const Call closed = rec->Of("SocketNotification", server)[0];
        EXPECT_EQ(closed.state, Skt_Disconnecting);
        EXPECT_EQ(closed.kind, GracefulDisconnect);
        EXPECT_EQ(server->State(), Skt_Disconnected);
    }
}

// An error comes first as SocketError; only a close goes on, to close abortively. The state
// each socket had is kept otherwise, and receivers that throw change nothing.
TEST_F(SocketMgrTest, NotificationsWithAnErrorOrAForeignHandleReportItFirstAndOnlyACloseGoesOn) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    const TAV_SocketState serverState = server->State();
    rec->onEntry = [](const Call&) { throw std::runtime_error("receiver failed"); };
    PostNotification(server->Handle(), FD_WRITE, sk::WSAENOBUFS);
    PostNotification(listener->Handle(), FD_ACCEPT, sk::WSAENETDOWN);
    PostNotification(client->Handle(), FD_CONNECT, sk::WSAECONNREFUSED);
    PostNotification(server->Handle(), FD_CLOSE, sk::WSAECONNRESET);
    // A handle the manager does not hold: only an error reaches the receiver, without a socket.
    const int32_t foreign = server->Handle() + 1000;
    PostNotification(foreign, FD_READ);
    PostNotification(foreign, FD_CLOSE);
    PostNotification(foreign, FD_CLOSE, sk::WSAECONNABORTED);
    PostNotification(client->Handle(), 64);  // not an event code: nothing
    Settle();
    ASSERT_EQ(rec->Trace(server), "SocketError:10055 SocketError:10054 SocketNotification:32");
    EXPECT_EQ(rec->Trace(listener), "SocketError:10050");
    EXPECT_EQ(rec->Trace(client), "SocketError:10061");
    EXPECT_EQ(rec->Trace(nullptr), "SocketError:10053");
    EXPECT_TRUE(rec->Of("DataSent").empty());
    EXPECT_EQ(rec->Of("SocketError", server)[1].state, serverState);  // as the write error left it
    EXPECT_EQ(listener->State(), Skt_Listening);
    EXPECT_EQ(client->State(), Skt_Ready);
    const Call closed = rec->Of("SocketNotification", server)[0];
    EXPECT_EQ(closed.state, Skt_Disconnecting);
    EXPECT_EQ(closed.kind, AbortiveDisconnect);
    EXPECT_EQ(server->State(), Skt_Disconnected);
}

TEST_P(SocketMgrRoutes, ReceiverDestroyingTheSocketDuringCloseEndsTheOffersButIsToldOfTheClose) {
    std::shared_ptr<TAVSocket> server;
    CloseClientWithUnreadData(server, [&](const Call& c) {
        if (c.name != "DataReceived" || c.state != Skt_Disconnecting) return;
        mgr->DestroySocket(Variant(c.socket));
        server.reset();  // only the dispatch (and the record) hold it now
    });
    ASSERT_TRUE(PumpUntil([&] { return !server; }));
    Settle();
    // One offer, then the close, once; the socket ends disconnected.
    const std::shared_ptr<TAVSocket> gone = rec->Of("DataReceived").back().socket;
    EXPECT_EQ(rec->Trace(gone), "DataReceived SocketNotification:32");
    EXPECT_EQ(gone->State(), Skt_Disconnected);
    EXPECT_EQ(mgr->SocketCount(), 1);  // the listener
}

TEST_P(SocketMgrRoutes, ReceiverLettingGoOfTheManagerEndsItAfterTheDispatch) {
    std::weak_ptr<TAVSocketMgr> watch = mgr;
    const int startups = sk::WSAStartupCount();
    std::shared_ptr<TAVSocket> server;
    CloseClientWithUnreadData(server, [&](const Call& c) {
        if (c.name == "DataReceived" && c.state == Skt_Disconnecting) mgr.reset();
    });
    ASSERT_TRUE(PumpUntil([&] { return watch.expired(); }));
    EXPECT_TRUE(rec->Of("SocketNotification").empty());
    EXPECT_EQ(server->State(), Skt_Disconnected);
    EXPECT_EQ(sk::WSAStartupCount(), startups - 1);
}

}  // namespace
}  // namespace tav::test
