// Receivers that destroy the notified socket or let go of the whole manager.
#include "events/SocketMgrTestUtil.hpp"

#include "platform/SockIntf.hpp"

namespace tav::test {
namespace {

using SocketMgrLifetimeTest = SocketMgrTest;
INSTANTIATE_TEST_SUITE_P(Routes, SocketMgrLifetimeTest, ::testing::Values(Route::Callback, Route::Events), RouteName);

TEST_P(SocketMgrLifetimeTest, ReceiverDestroyingTheSocketDuringCloseEndsTheDeliveries) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    client->Send(Variant("unread"));
    ASSERT_TRUE(Pump([&] { return !rec->Of("DataReceived", server).empty(); }));
    rec->onCall = [&](const Call& c) {
        if (c.name != "DataReceived" || c.state != Skt_Disconnecting) return;
        mgr->DestroySocket(Variant(c.socket));
        server.reset();  // only the dispatch (and the record) hold it now
    };
    mgr->DestroySocket(Variant(client));
    client.reset();
    ASSERT_TRUE(Pump([&] { return !server; }));
    Settle();
    // No close notification after that, but the socket still ends disconnected.
    EXPECT_TRUE(rec->Of("SocketNotification").empty());
    EXPECT_EQ(rec->Of("DataReceived").back().socket->State(), Skt_Disconnected);
    EXPECT_EQ(mgr->SocketCount(), 1);  // the listener
}

TEST_P(SocketMgrLifetimeTest, ReceiverLettingGoOfTheManagerEndsItAfterTheDispatch) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    client->Send(Variant("unread"));
    ASSERT_TRUE(Pump([&] { return !rec->Of("DataReceived", server).empty(); }));
    std::weak_ptr<TAVSocketMgr> watch = mgr;
    const int startups = sockintf::WSAStartupCount();
    rec->onCall = [&](const Call& c) {
        if (c.name == "DataReceived" && c.state == Skt_Disconnecting) mgr.reset();
    };
    mgr->DestroySocket(Variant(client));
    client.reset();
    ASSERT_TRUE(Pump([&] { return watch.expired(); }));
    EXPECT_TRUE(rec->Of("SocketNotification").empty());
    EXPECT_EQ(server->State(), Skt_Disconnected);
    EXPECT_EQ(sockintf::WSAStartupCount(), startups - 1);
}

}  // namespace
}  // namespace tav::test
