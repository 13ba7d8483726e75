// The thread's message pump: what Connect calls to let messages run, how a host pump is set
// and restored, and that a failing host pump does not break the call that waits.
#include "SocketObjectTestUtil.hpp"

#include <tavsock/MessageLoop.hpp>

#include <stdexcept>

namespace tav::test {
namespace {

using std::chrono::milliseconds;

class MessagePump : public SocketObjectTest {
protected:
    void TearDown() override {
        SetMessagePump({});
        SocketObjectTest::TearDown();
    }
};

TEST_F(MessagePump, ConnectRunsTheHostPumpWithoutWaitingAThrowingOneRunsNothingAndTheDefaultComesBack) {
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
    ASSERT_EQ(waits.size(), 2u);  // before and after the connect call
    EXPECT_EQ(waits[0], milliseconds(0));
    EXPECT_EQ(waits[1], milliseconds(0));

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

TEST_F(MessagePump, DefaultPumpWaitsAtMostTheTimeGivenForAQuietQueue) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LetMessagesRun(milliseconds(20)), 0);
    EXPECT_EQ(LetMessagesRun(milliseconds(-5)), 0);  // a negative wait is no wait
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(20));
}

}  // namespace
}  // namespace tav::test
