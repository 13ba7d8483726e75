// The socket object's life: defaults, connect and accept, calls out of turn, refusals; and the
// thread's message pump that Connect runs, as a host sets and restores it.
#include "SocketObjectTestUtil.hpp"

#include <tavsock/MessageLoop.hpp>

#include <stdexcept>
#include <tuple>

using namespace tav;
using namespace tav::test;

namespace {

using SocketLifecycle = SocketObjectTest;

TEST_F(SocketLifecycle, NewSocketHasDefaultsReportsItsMissingHandleAndAnUnknownKind) {
    auto s = SocketAccess::Create();
    EXPECT_EQ(s->Handle(), -1);
    EXPECT_EQ(s->State(), Skt_NotInitialized);
    EXPECT_EQ(std::make_tuple(int32_t{s->DisconnectKind()}, s->Kind(), s->DataMode(), s->BytesSent()),
              std::make_tuple(0, 0, 0, 0));
    // A 1 MiB hold limit; send retries wait 1 ms, then 50 ms more each time, 30 times at most.
    EXPECT_EQ(std::make_tuple(s->MaxRecvHoldBufferSize(), s->lngRetrySendStart(), s->lngRetrySendStep(), s->lngRetrySendTimes()),
              std::make_tuple(1048576, 1, 50, 30));
    EXPECT_FALSE(s->IsServerSocket() || s->IsConnectionAcceptor());

    // Without a handle these two answer 0 quietly; the at-mark query reports the handle.
    EXPECT_EQ(std::make_pair(s->HowMuchDataIsAvailable(), s->MaxUDPDatagramSize()), std::make_pair(0, 0));
    EXPECT_EQ(Failures(), 0);
    EXPECT_FALSE(s->IsOOBAvailable());
    ASSERT_EQ(Failures(), 1);
    const auto& failure = LastFailure();
    EXPECT_EQ(failure.source, "TAVSock.TAVSocket");
    EXPECT_EQ(failure.text, "mHandle <> TAVSock_InvalidSocketHandle");

    // Out-of-range settings are reported and stored all the same.
    s->MaxRecvHoldBufferSize(8191);
    s->DataMode(5);
    EXPECT_EQ(std::make_pair(s->MaxRecvHoldBufferSize(), s->DataMode()), std::make_pair(8191, 5));
    ASSERT_EQ(Failures(), 3);
    EXPECT_EQ(LastFailure().source, "TAVSock.TAVSocket.Let DataMode");
    EXPECT_TRUE(s->IsValidMaxRecvHoldBufferSize(8192) && s->IsValidMaxRecvHoldBufferSize(16777216));
    EXPECT_FALSE(s->IsValidMaxRecvHoldBufferSize(16777217));

    // An unknown kind fails the handle's creation, reported where the protocol is chosen and
    // again by the call.
    EXPECT_EQ(SocketAccess::CreateSocket(*s, 3), -1);
    EXPECT_EQ(s->State(), Skt_Error);
    EXPECT_EQ(s->Kind(), 0);
    const auto& failures = Diagnostics::Current().LastFailures();
    ASSERT_EQ(failures.size(), 5u);
    EXPECT_EQ(failures[3].text.rfind("Invalid socket Kind specified", 0), 0u);
    EXPECT_EQ(failures[3].source, "TAVSock.TAVSocket.CreateSocket@Protocol=TAVSockProtocol_IP");
    EXPECT_EQ(failures[4].text, failures[3].text);
    EXPECT_EQ(failures[4].source, "TAVSock.TAVSocket.CreateSocket");
}

TEST_F(SocketLifecycle, ConnectIsPendingThenWritableAndAcceptCopiesTheListenerSettings) {
    auto listener = Listener();
    listener->MsgBeginMark("<");
    listener->MsgEndMark(">");
    listener->DataMode(DataMode_Binary);
    std::shared_ptr<TAVSockAddr> name;
    EXPECT_EQ(listener->Accept(nullptr, name), nullptr);  // nothing waits yet
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(listener->State(), Skt_Listening);
    EXPECT_EQ(listener->SocketOption(sockintf::SO_ACCEPTCONN_W), 1);
    EXPECT_NO_THROW(listener->ShowSocketInfo());
    EXPECT_EQ(Raised([&] { listener->SocketOption(0x7777); }), sockintf::WSAENOPROTOOPT);  // a bare error

    auto client = Make(TAVSockKind_Stream);
    EXPECT_EQ(client->RemoteAddr(), nullptr);  // not connected
    EXPECT_EQ(client->Connect(listener->LocalAddr()), -1);
    EXPECT_EQ(client->LastError(), sockintf::WSAEWOULDBLOCK);
    EXPECT_EQ(client->State(), Skt_ConnectionPending);
    ASSERT_TRUE(WaitFor(*client, kWrite));
    EXPECT_TRUE(client->IsWriteable());

    ASSERT_TRUE(WaitFor(*listener, kRead));
    auto accepted = listener->Accept(nullptr, name);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(listener->State(), Skt_Listening);
    EXPECT_TRUE(accepted->IsConnectionAcceptor());
    EXPECT_EQ(std::make_tuple(accepted->MsgBeginMark(), accepted->MsgEndMark(), accepted->DataMode(), accepted->Kind()),
              std::make_tuple("<", ">", int32_t{DataMode_Binary}, 0));
    EXPECT_EQ(accepted->State(), Skt_NotInitialized);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->IPAddress(), "127.0.0.1");
    EXPECT_EQ(name->Port(), client->LocalAddr()->Port());
    EXPECT_EQ(accepted->RemoteAddr()->Port(), client->LocalAddr()->Port());

    // The handle closes with the object: the peer reads the end of the stream.
    const int32_t handle = accepted->Handle();
    accepted.reset();
    uint32_t waiting = 0;
    EXPECT_EQ(sockintf::intioctlsocket(handle, sockintf::FIONREAD_W, &waiting), -1);
    EXPECT_TRUE(WaitFor(*client, kRead));
    EXPECT_EQ(client->HowMuchDataIsAvailable(), 0);
}

TEST_F(SocketLifecycle, CallsOutOfTurnAndRefusedConnectsFailAndKeepWhatTheyShould) {
    // Listen without Bind fails and the state stays.
    auto unbound = Make(TAVSockKind_Stream);
    EXPECT_EQ(unbound->Listen(5), -1);
    EXPECT_EQ(unbound->LastError(), sockintf::WSAEINVAL);
    EXPECT_EQ(unbound->State(), Skt_Initialized);

    // Send without a connection raises 10057 and keeps the data for a later flush.
    EXPECT_EQ(Raised([&] { unbound->Send(Variant(std::string("kept"))); }), sockintf::WSAENOTCONN);
    EXPECT_EQ(SocketAccess::GenericSend(*unbound), -1);
    EXPECT_EQ(unbound->LastError(), sockintf::WSAENOTCONN);

    // A second Bind to the listener's address, and a second Connect on a connection that is
    // made, fail.
    auto listener = Listener();
    auto second = Make(TAVSockKind_Stream);
    EXPECT_EQ(second->Bind(listener->LocalAddr()), -1);
    EXPECT_EQ(second->LastError(), sockintf::WSAEADDRINUSE);
    EXPECT_EQ(second->State(), Skt_Error);
    EXPECT_EQ(Raised([&] { second->Bind(nullptr); }), 91);
    auto client = Make(TAVSockKind_Stream);
    EXPECT_EQ(client->Connect(listener->LocalAddr()), -1);
    ASSERT_TRUE(WaitFor(*client, kWrite));
    EXPECT_EQ(client->Connect(listener->LocalAddr()), -1);
    EXPECT_EQ(client->LastError(), sockintf::WSAEISCONN);
    EXPECT_EQ(client->State(), Skt_Error);

    // A refused connect shows later, or at once when the handle blocks. A bound socket that
    // does not listen keeps its port closed for the whole test.
    auto closed = Bound(TAVSockKind_Stream);
    auto refused = Make(TAVSockKind_Stream);
    EXPECT_EQ(refused->Connect(closed->LocalAddr()), -1);
    EXPECT_EQ(refused->State(), Skt_ConnectionPending);
    ASSERT_TRUE(WaitFor(*refused, kExcept));
    EXPECT_FALSE(WaitFor(*refused, kWrite, 0));  // a failed connect never shows as writable
    EXPECT_TRUE(refused->IsExceptionTriggered());
    EXPECT_EQ(refused->SocketOption(sockintf::SO_ERROR_W), sockintf::WSAECONNREFUSED);

    // A handle left in blocking mode (as when switching it failed) is refused in the call.
    auto blocking = SocketAccess::Create();
    SocketAccess::SetHandle(*blocking, sockintf::intsocket(2, 1, 6));
    EXPECT_EQ(blocking->Connect(closed->LocalAddr()), -1);
    EXPECT_EQ(blocking->LastError(), sockintf::WSAECONNREFUSED);
    EXPECT_EQ(blocking->State(), Skt_Disconnected);
}

using std::chrono::milliseconds;

class MessagePump : public SocketObjectTest {
protected:
    void TearDown() override {
        SetMessagePump({});
        SocketObjectTest::TearDown();
    }
};

// The default pump waits at most the time given for a quiet queue.
TEST_F(MessagePump, TheDefaultWaitsConnectRunsTheHostPumpWithoutWaitingAThrowingOneRunsNothingAndTheDefaultComesBack) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LetMessagesRun(milliseconds(20)), 0);
    EXPECT_EQ(LetMessagesRun(milliseconds(-5)), 0);  // a negative wait is no wait
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(20));

    std::vector<milliseconds> waits;
    bool fail = false;
    EXPECT_FALSE(SetMessagePump([&](milliseconds wait) -> int {
        waits.push_back(wait);
        if (fail) throw std::runtime_error("host loop failed");
        return RunPendingMessages();  // a host loop still runs the library's queue
    }));
    auto listener = Listener();
    auto client = Make(TAVSockKind_Stream);
    client->Connect(Loopback(listener->LocalAddr()->Port()));
    EXPECT_EQ(waits, (std::vector<milliseconds>{milliseconds(0), milliseconds(0)}));  // before and after the connect call

    // A pump that throws counts as nothing run, and the call goes on.
    fail = true;
    EXPECT_EQ(LetMessagesRun(milliseconds(5)), 0);
    auto other = Make(TAVSockKind_Stream);
    EXPECT_EQ(other->Connect(Loopback(listener->LocalAddr()->Port())), -1);
    EXPECT_EQ(other->State(), Skt_ConnectionPending);
    EXPECT_EQ(waits.size(), 5u);

    // Restoring the default hands back the host's pump; later waits no longer reach it.
    EXPECT_TRUE(SetMessagePump({}));
    Make(TAVSockKind_Stream)->Connect(Loopback(listener->LocalAddr()->Port()));
    EXPECT_EQ(waits.size(), 5u);
}

}  // namespace
