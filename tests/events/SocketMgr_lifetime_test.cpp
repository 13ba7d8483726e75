// Receivers that destroy sockets or the manager, DestroySocket's forms, the handle lookup and
// the end of a manager that still holds sockets.
#include "events/SocketMgrTestUtil.hpp"

#include <tavsock/CreateObject.hpp>

#include "platform/SockIntf.hpp"

namespace tav::test {
namespace {

namespace sk = sockintf;

using SocketMgrLifetimeTest = SocketMgrTest;
INSTANTIATE_TEST_SUITE_P(Routes, SocketMgrLifetimeTest, ::testing::Values(Route::Callback, Route::Events), RouteName);

TEST_P(SocketMgrLifetimeTest, ReceiverDestroyingTheSocketDuringCloseEndsTheDeliveries) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    client->Send(Variant("unread"));
    ASSERT_TRUE(Pump([&] { return !rec->Of("DataReceived", server).empty(); }));
    rec->onCall = [&](const Call& c) {
        if (c.name == "DataReceived" && c.state == Skt_Disconnecting) {
            mgr->DestroySocket(Variant(c.socket));
            server.reset();  // only the dispatch (and the record) hold it now
        }
    };
    mgr->DestroySocket(Variant(client));
    client.reset();
    ASSERT_TRUE(Pump([&] { return !server; }));
    Settle();
    // The socket was offered its data once more, then nothing: no close notification; it
    // still ends disconnected.
    EXPECT_TRUE(rec->Of("SocketNotification").empty());
    EXPECT_EQ(rec->Of("DataReceived").back().socket->State(), Skt_Disconnected);
    EXPECT_EQ(mgr->SocketCount(), 1);  // the listener
}

TEST_P(SocketMgrLifetimeTest, ReceiverDestroyingTheSocketOnWriteSkipsTheFlush) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    rec->onCall = [&](const Call& c) {
        if (c.name == "DataSent" && c.socket == server) {
            mgr->DestroySocket(Variant(server));
            server.reset();
        }
    };
    PostNotification(server->Handle(), FD_WRITE);
    ASSERT_TRUE(Pump([&] { return !server; }));
    Settle();
    EXPECT_EQ(mgr->SocketCount(), 2);
}

TEST_P(SocketMgrLifetimeTest, ReceiverLettingGoOfTheManagerEndsItAfterTheDispatch) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    client->Send(Variant("unread"));
    ASSERT_TRUE(Pump([&] { return !rec->Of("DataReceived", server).empty(); }));
    std::weak_ptr<TAVSocketMgr> watch = mgr;
    const int startups = sk::WSAStartupCount();
    rec->onCall = [&](const Call& c) {
        if (c.name == "DataReceived" && c.state == Skt_Disconnecting) mgr.reset();
    };
    // Closing the client's end starts the server's close, which runs into the receiver.
    mgr->DestroySocket(Variant(client));
    client.reset();
    ASSERT_TRUE(Pump([&] { return watch.expired(); }));
    EXPECT_TRUE(rec->Of("SocketNotification").empty());
    EXPECT_EQ(server->State(), Skt_Disconnected);
    EXPECT_EQ(sk::WSAStartupCount(), startups - 1);
}

}  // namespace
}  // namespace tav::test
