// Notifications that carry an error, and notifications for handles the manager does not hold.
#include "events/SocketMgrTestUtil.hpp"

#include "platform/SockIntf.hpp"

namespace tav::test {
namespace {

namespace sk = sockintf;

using SocketMgrErrorTest = SocketMgrTest;
INSTANTIATE_TEST_SUITE_P(Routes, SocketMgrErrorTest, ::testing::Values(Route::Callback, Route::Events), RouteName);

TEST_P(SocketMgrErrorTest, CloseWithErrorReportsItFirstThenClosesAbortivelyWhateverReceiversThrow) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    rec->onCall = [](const Call&) { throw std::runtime_error("receiver failed"); };
    PostNotification(server->Handle(), FD_CLOSE, sk::WSAECONNRESET);
    ASSERT_TRUE(Pump([&] { return rec->Notified(server, FD_CLOSE); }));
    EXPECT_EQ(rec->Trace(server), "SocketError:10054 SocketNotification:32");
    const Call closed = rec->Of("SocketNotification", server)[0];
    EXPECT_EQ(closed.state, Skt_Disconnecting);
    EXPECT_EQ(closed.kind, AbortiveDisconnect);
    EXPECT_EQ(server->State(), Skt_Disconnected);
}

TEST_P(SocketMgrErrorTest, WriteAcceptAndConnectWithErrorReportOnlyTheErrorAndKeepTheState) {
    std::shared_ptr<TAVSocket> client, server;
    Connect(client, server);
    const TAV_SocketState serverState = server->State();
    PostNotification(server->Handle(), FD_WRITE, sk::WSAENOBUFS);
    PostNotification(listener->Handle(), FD_ACCEPT, sk::WSAENETDOWN);
    PostNotification(client->Handle(), FD_CONNECT, sk::WSAECONNREFUSED);
    Settle();
    EXPECT_EQ(rec->Trace(server), "SocketError:10055");
    EXPECT_EQ(rec->Trace(listener), "SocketError:10050");
    EXPECT_EQ(rec->Trace(client), "SocketError:10061");
    EXPECT_TRUE(rec->Of("DataSent").empty());
    EXPECT_EQ(server->State(), serverState);
    EXPECT_EQ(listener->State(), Skt_Listening);
    EXPECT_EQ(client->State(), Skt_Ready);
}

TEST_P(SocketMgrErrorTest, AHandleNotHeldGivesSocketErrorWithoutSocketOrNothing) {
    auto held = mgr->CreateSocket(TAVSockKind_Datagram);
    ASSERT_TRUE(held);
    ASSERT_TRUE(Pump([&] { return !rec->Of("DataSent", held).empty(); }));  // datagram sockets can send at once
    rec->calls.clear();
    const int32_t foreign = held->Handle() + 1000;
    PostNotification(foreign, FD_READ);
    PostNotification(foreign, FD_CLOSE);
    PostNotification(foreign, FD_CLOSE, sk::WSAECONNABORTED);
    PostNotification(held->Handle(), 64);  // not an event code
    Settle();
    ASSERT_EQ(rec->calls.size(), 1u);
    EXPECT_EQ(rec->calls[0].name, "SocketError");
    EXPECT_EQ(rec->calls[0].value, sk::WSAECONNABORTED);
    EXPECT_FALSE(rec->calls[0].socket);
}

}  // namespace
}  // namespace tav::test
