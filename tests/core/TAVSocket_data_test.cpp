#include "SocketObjectTestUtil.hpp"

#include "core/PendingBuffer.hpp"
#include "core/SocketSupport.hpp"

#include <utility>

using namespace tav;
using namespace tav::test;

namespace {

using SocketSend = SocketObjectTest;

ByteArray Pattern(size_t n, uint8_t seed) {
    ByteArray b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed + i / 251);
    return b;
}

TEST(PendingBuffer, KeepsOrderAcrossPartialConsumesAndAppends) {
    PendingBuffer b;
    const ByteArray data = Pattern(1000, 1);
    b.Append(data.data(), 600);
    b.Consume(500);  // dead prefix larger than the rest: the next append compacts
    b.Append(data.data() + 600, 400);
    b.Consume(10);
    ASSERT_EQ(b.Length(), 490);
    EXPECT_TRUE(std::equal(b.Data(), b.Data() + 490, data.begin() + 510));
    b.Consume(1000);
    EXPECT_TRUE(b.IsEmpty());
}

TEST_F(SocketSend, TextIsFramedBytesAreSentAsTheyAreAndPartialSendsKeepTheRestPendingInOrder) {
    std::shared_ptr<TAVSocket> client, server;
    Pair(client, server);
    client->MsgBeginMark("[");
    client->MsgEndMark("]");
    client->Send(Variant("abc"));
    EXPECT_EQ(client->BytesSent(), 5);
    int32_t n, err;
    ASSERT_TRUE(WaitFor(*server, kRead));
    EXPECT_EQ(server->Recv(n, err), Variant("[abc]"));

    // Bytes carry no marks; the data-mode mismatch is only reported.
    client->Send(Variant(ByteArray{1, 2, 3}));
    EXPECT_EQ(client->BytesSent(), 3);
    ASSERT_TRUE(WaitFor(*server, kRead));
    EXPECT_EQ(server->Recv(n, err), Variant(std::string("\1\2\3")));
    ASSERT_EQ(Failures(), 1);
    EXPECT_EQ(LastFailure().text, "Me.DataMode = DataMode_Binary");

    // Nothing to send, and a buffer of another type: no error, nothing sent.
    client->MsgBeginMark("");
    client->MsgEndMark("");
    client->Send(Variant(""));
    client->Send(Variant(int32_t{5}));
    EXPECT_EQ(LastFailure().text, "Invalid data type in message Buffer");
    EXPECT_EQ(client->BytesSent(), 3);
    EXPECT_FALSE(server->IsReadable());

    EXPECT_EQ(Raised([&] { client->SendOOB(Variant("x")); }), sockintf::WSAEFAULT);

    // Partial sends keep the rest pending, in order.
    client->DataMode(DataMode_Binary);
    client->lngRetrySendTimes(0);  // the first full buffer ends the flush
    const ByteArray first = Pattern(8 << 20, 3), second = Pattern(300000, 9);

    EXPECT_EQ(Raised([&] { client->Send(Variant(first)); }), sockintf::WSAEWOULDBLOCK);
    EXPECT_EQ(client->BytesSent(), -1);
    // More data queues behind the rest; a datagram-style send is refused while data waits.
    EXPECT_EQ(Raised([&] { client->Send(Variant(second)); }), sockintf::WSAEWOULDBLOCK);
    EXPECT_EQ(Raised([&] { client->SendTo(Variant(ByteArray{0xEE}), nullptr); }), sockintf::WSAEWOULDBLOCK);
    const int32_t pended = client->PendedSendLength();
    EXPECT_GT(pended, static_cast<int32_t>(second.size()));
    EXPECT_LT(pended, static_cast<int32_t>(first.size() + second.size()));

    // Under a bound, a message that would pass it is refused whole; one that fits queues.
    const ByteArray third = Pattern(5, 5);
    client->MaxPendedSendLength(pended + 5);
    EXPECT_EQ(Raised([&] { client->Send(Variant(Pattern(6, 6))); }), sockintf::WSAENOBUFS);
    EXPECT_EQ(Raised([&] { client->SendOOB(Variant(Pattern(6, 6))); }), sockintf::WSAENOBUFS);
    EXPECT_EQ(client->PendedSendLength(), pended);
    EXPECT_EQ(Raised([&] { client->Send(Variant(third)); }), sockintf::WSAEWOULDBLOCK);
    EXPECT_EQ(client->PendedSendLength(), pended + 5);
    client->MaxPendedSendLength(0);

    // Drain the peer and flush as the socket manager does on write notifications.
    ByteArray got;
    const size_t total = first.size() + second.size() + third.size();
    ByteArray chunk(65536);
    while (got.size() < total && WaitFor(*server, kRead)) {
        const int n = sockintf::intrecv(server->Handle(), reinterpret_cast<char*>(chunk.data()), 65536, 0);
        ASSERT_GT(n, 0);
        got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        if (client->IsWriteable()) SocketAccess::GenericSend(*client);
    }
    ByteArray expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    ASSERT_EQ(got.size(), total);
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(SocketAccess::GenericSend(*client), 0);  // nothing left
    EXPECT_EQ(client->PendedSendLength(), 0);

    // A message longer than the bound is never sent, not even on an idle socket.
    client->MaxPendedSendLength(4);
    EXPECT_EQ(Raised([&] { client->Send(Variant(Pattern(5, 7))); }), sockintf::WSAENOBUFS);
    client->Send(Variant(ByteArray{'o', 'k'}));
    ASSERT_TRUE(WaitFor(*server, kRead));
    EXPECT_EQ(sockintf::intrecv(server->Handle(), reinterpret_cast<char*>(chunk.data()), 65536, 0), 2);
}

TEST_F(SocketSend, RetriesRunOutWith10035WhileMessagesRunAndDataStaysPending) {
    DebugLogFolder log(4);
    std::shared_ptr<TAVSocket> client, server;
    Pair(client, server);
    client->lngRetrySendTimes(3);
    client->lngRetrySendStart(0);
    client->lngRetrySendStep(0);
    bool ran = false;
    platform::MessageQueue::ForThisThread().PostTask([&] { ran = true; });

    const std::string text(8 << 20, 'x');  // more than a peer that does not read can buffer
    EXPECT_EQ(Raised([&] { client->Send(Variant(text)); }), sockintf::WSAEWOULDBLOCK);
    EXPECT_TRUE(ran) << "the retry wait did not run the message queue";

    const auto starts = DebugLogFolder::Messages("<Send start"), retries = DebugLogFolder::Messages("<GenericSend 4b");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0], "<Send start Send buffer1-100:" + std::string(100, 'x') + "<right100>" + std::string(100, 'x'));
    ASSERT_EQ(retries.size(), 3u);
    EXPECT_EQ(DebugLogFolder::Messages("<GenericSend 4c").size() + DebugLogFolder::Messages("<GenericSend 4d").size(), 2u);
    size_t at = 0;
    for (const char* label : {"ERROR/RETRY on send intWSAGetLastError>10035", "<mPendedSendLength>", "<res>-1",
                              "<retrycount>3", "<sngCurTimer>", "<rsstrt>0", "<rsstep>0", "<curstep>0", "<rst>",
                              "<lngLastRetryTime>1"}) {
        at = retries.back().find(label, at);
        EXPECT_NE(at, std::string::npos) << label << " in " << retries.back();
    }

    // An aborted peer ends the connection: the next flush fails and drops what was pending.
    server->SocketOption(sockintf::SO_LINGER_W, 1);  // linger on, time 0: close resets
    server.reset();
    ASSERT_TRUE(WaitFor(*client, kRead));
    EXPECT_EQ(SocketAccess::GenericSend(*client), -1);
    EXPECT_EQ(client->LastError(), sockintf::WSAECONNRESET);
    EXPECT_EQ(SocketAccess::GenericSend(*client), 0);
}

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
