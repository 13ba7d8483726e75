#include "SocketObjectTestUtil.hpp"

#include "core/SocketSupport.hpp"

#include <utility>

using namespace tav;
using namespace tav::test;

namespace {

using SocketRecv = SocketObjectTest;

TEST_F(SocketRecv, RecvReturnsTextOrBytesAProbeByteWhenNothingWaitsAndUrgentBytesAlone) {
    std::shared_ptr<TAVSocket> client, server;
    Pair(client, server);
    EXPECT_FALSE(server->IsReadable());
    EXPECT_TRUE(server->IsWriteable());
    EXPECT_FALSE(server->IsExceptionTriggered());

    int32_t n = -5, err = -5;
    EXPECT_EQ(server->Recv(n, err), Variant(std::string(1, '\0')));
    EXPECT_EQ(std::make_pair(n, err), std::make_pair(0, 0));
    server->DataMode(DataMode_Binary);
    EXPECT_EQ(server->Recv(n, err), Variant(ByteArray{0}));

    client->Send(Variant("0123456789"));
    ASSERT_TRUE(WaitFor(*server, kRead));
    EXPECT_TRUE(server->IsReadable());
    ASSERT_EQ(server->HowMuchDataIsAvailable(), 10);
    EXPECT_EQ(server->Recv(n, err), Variant(ByteArray{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    EXPECT_EQ(n, 10);

    // An urgent byte is signalled apart from the data and read alone.
    EXPECT_FALSE(server->IsOOBAvailable());
    client->DataMode(DataMode_Binary);
    client->SendOOB(Variant(ByteArray{'!'}));
    EXPECT_EQ(client->BytesSent(), 1);
    ASSERT_TRUE(WaitFor(*server, kExcept));
    EXPECT_TRUE(server->IsExceptionTriggered());
    EXPECT_TRUE(server->IsOOBAvailable());
    EXPECT_EQ(server->RecvOOB(n, err), Variant(ByteArray{'!'}));
    EXPECT_EQ(std::make_pair(n, err), std::make_pair(1, 0));
    EXPECT_FALSE(server->IsOOBAvailable());
    EXPECT_EQ(Failures(), 0);

    server->DataMode(7);
    EXPECT_TRUE(server->Recv(n, err).IsEmpty());
    ASSERT_EQ(Failures(), 2);  // the setting and the read
    EXPECT_EQ(LastFailure().text, "Invalid DataMode set for socket");
    EXPECT_EQ(LastFailure().source, "TAVSock.TAVSocket.Recv");
}

TEST_F(SocketRecv, RecvFromFillsTheSenderAndEmptyReadsGiveEmptyData) {
    auto sender = Make(TAVSockKind_Datagram);
    EXPECT_EQ(std::make_pair(sender->State(), sender->Kind()), std::make_pair(Skt_Initialized, TAVSockKind_Datagram));
    EXPECT_EQ(sender->MaxUDPDatagramSize(), sockintf::MAX_UDP_DATAGRAM);
    EXPECT_EQ(sender->Listen(), -1);  // a datagram socket cannot listen, and its state stays
    EXPECT_EQ(sender->State(), Skt_Initialized);
    ASSERT_EQ(sender->Bind(Loopback()), 0);
    auto receiver = Bound(TAVSockKind_Datagram);
    int32_t n = -5, err = -5;
    // A datagram socket reads at its largest datagram; with nothing there the read fails.
    EXPECT_EQ(receiver->Recv(n, err), Variant(""));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(err, sockintf::WSAEWOULDBLOCK);

    sender->SendTo(Variant("ping"), receiver->LocalAddr());
    EXPECT_EQ(sender->BytesSent(), 4);
    ASSERT_TRUE(WaitFor(*receiver, kRead));
    auto peer = TAVSockAddr::Create();
    EXPECT_EQ(receiver->RecvFrom(n, err, peer), Variant("ping"));
    EXPECT_EQ(n, 4);
    EXPECT_EQ(peer->IPAddress(), "127.0.0.1");
    EXPECT_EQ(peer->Port(), sender->LocalAddr()->Port());

    const auto to = SocketSupport::AddrRecordFromSockAddr(*receiver->LocalAddr());
    ASSERT_EQ(sockintf::intsendto(sender->Handle(), "", 0, 0, &to, sizeof to), 0);
    ASSERT_TRUE(WaitFor(*receiver, kRead));
    receiver->DataMode(DataMode_Binary);
    EXPECT_EQ(receiver->RecvFrom(n, err, nullptr), Variant(ByteArray{}));
    EXPECT_EQ(std::make_pair(n, err), std::make_pair(0, 0));
    EXPECT_EQ(Failures(), 0);
}

}  // namespace
