// Asynchronous-select notifications on real loopback sockets, delivered through the queue.
#include "SockTestUtil.hpp"
#include "support/Loopback.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

using namespace tav::sockintf;
using namespace tav::sockintf::test;

namespace {

constexpr uint32_t kMsg = kSelectMsg;

// A notification is a message with the socket as wParam, the event in the low word of lParam
// and the error in the high word.
class AsyncSelect : public WindowTest {
protected:
    /// Position of the first `event` for `s` in the order of delivery, -1 when none.
    int IndexOf(SOCKET s, int32_t event) const {
        for (size_t i = 0; i < got_.size(); ++i)
            if (got_[i].w == s && got_[i].Low == event) return static_cast<int>(i);
        return -1;
    }
    /// The error of the latest `event` for `s`, -1 when none came.
    int ErrorOf(SOCKET s, int32_t event) const {
        for (auto it = got_.rbegin(); it != got_.rend(); ++it)
            if (it->w == s && it->Low == event) return it->High;
        return -1;
    }
    /// Sends until the socket would block; returns the bytes taken.
    static long Fill(SOCKET s) {
        static char chunk[64 * 1024];
        long total = 0;
        for (int i = 0, r = 0; i < 100000 && (r = intsend(s, chunk, sizeof chunk, 0)) >= 0; ++i) total += r;
        return total;
    }
};

}  // namespace

// FD_READ left in the watch after it is posted: a receive in the same pass must bring it
// back without a change of the watch, on whichever thread it is made, and a host that does
// not receive must cost one wake-up, not a busy loop.
TEST_F(AsyncSelect, UnansweredReadCostsOneWakeUpAndAnyReceiveBringsItBack) {
    auto [c, srv] = Pair();
    ASSERT_EQ(Select(c), 0);
    ASSERT_EQ(intsend(srv, "abcdef", 6, 0), 6);
    ASSERT_TRUE(WaitCount(c, FD_READ_W));
    EXPECT_EQ(Count(c, FD_WRITE_W), 1);  // registered while connected: once, at once
    // Another thread receives before the queue polls again.
    std::thread([c] {
        char b;
        EXPECT_EQ(intrecv(c, &b, 1, 0), 1);
    }).join();
    ASSERT_TRUE(WaitCount(c, FD_READ_W, 2));  // five bytes still waiting

    int handled = 0;  // nobody receives now
    for (int i = 0; i < 5; ++i) handled += tav::RunPendingMessages();
    EXPECT_LE(handled, 1);
    EXPECT_EQ(Count(c, FD_READ_W), 2);

    char buf[8];
    ASSERT_EQ(intrecv(c, buf, 2, 0), 2);  // a partial receive on the owning thread
    ASSERT_TRUE(WaitCount(c, FD_READ_W, 3));
    ASSERT_EQ(intrecv(c, buf, 1, 0), 1);  // and again before the next poll
    ASSERT_TRUE(WaitCount(c, FD_READ_W, 4));
    ASSERT_EQ(intrecv(c, buf, sizeof buf, 0), 2);  // all of it
    EXPECT_EQ(Settle(), 0);
    EXPECT_EQ(Count(c, FD_READ_W), 4);
    EXPECT_WSA_FAIL(intrecv(c, buf, sizeof buf, 0), WSAEWOULDBLOCK);  // registering made it non-blocking
    ASSERT_EQ(intsend(srv, "g", 1, 0), 1);
    ASSERT_TRUE(WaitCount(c, FD_READ_W, 5));
    EXPECT_EQ(Count(c, FD_WRITE_W), 1);
    EXPECT_EQ(Count(c, FD_CLOSE_W), 0);

    // Datagrams follow the same rules.
    SOCKADDR_IN ua, ub;
    const SOCKET u = Bound(SOCK_DGRAM_W, ua);
    const SOCKET v = Bound(SOCK_DGRAM_W, ub);
    ASSERT_EQ(Select(u, FD_READ_W), 0);
    ASSERT_EQ(intsendto(v, "1", 1, 0, &ua, sizeof ua), 1);
    ASSERT_EQ(intsendto(v, "2", 1, 0, &ua, sizeof ua), 1);
    ASSERT_TRUE(WaitCount(u, FD_READ_W));
    handled = 0;
    for (int i = 0; i < 5; ++i) handled += tav::RunPendingMessages();
    EXPECT_LE(handled, 1);
    ASSERT_EQ(intrecvfrom(u, buf, sizeof buf, 0, nullptr, nullptr), 1);
    ASSERT_TRUE(WaitCount(u, FD_READ_W, 2));  // the second datagram
    ASSERT_EQ(intrecvfrom(u, buf, sizeof buf, 0, nullptr, nullptr), 1);
    EXPECT_EQ(Settle(), 0);
    EXPECT_EQ(Count(u, FD_READ_W), 2);
}

TEST_F(AsyncSelect, WriteComesBackAfterWouldBlockOnceThePeerDrainsAndOutOfBandAfterAnOutOfBandReceive) {
    auto [c, srv] = Pair();
    ASSERT_EQ(Select(c, FD_WRITE_W), 0);
    ASSERT_TRUE(WaitCount(c, FD_WRITE_W));
    long sent = Fill(c);
    ASSERT_EQ(intWSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(Settle(), 0);
    EXPECT_EQ(Count(c, FD_WRITE_W), 1);  // no room yet

    static char sink[64 * 1024];
    for (int r = 1; sent > 0 && r > 0; sent -= r) ASSERT_GT(r = intrecv(srv, sink, sizeof sink, 0), 0);
    ASSERT_TRUE(WaitCount(c, FD_WRITE_W, 2));
    EXPECT_EQ(Settle(), 0);
    EXPECT_EQ(Count(c, FD_WRITE_W), 2);  // once per would-block

    // Out-of-band is re-enabled by an out-of-band receive.
    ASSERT_EQ(Select(c, FD_OOB_W), 0);
    ASSERT_EQ(intsend(srv, "a", 1, MSG_OOB_W), 1);
    ASSERT_TRUE(WaitCount(c, FD_OOB_W));
    ASSERT_EQ(intsend(srv, "b", 1, MSG_OOB_W), 1);
    EXPECT_EQ(Settle(), 0);
    EXPECT_EQ(Count(c, FD_OOB_W), 1);
    char b = 0;
    ASSERT_EQ(intrecv(c, &b, 1, MSG_OOB_W), 1);
    ASSERT_EQ(intsend(srv, "c", 1, MSG_OOB_W), 1);
    ASSERT_TRUE(WaitCount(c, FD_OOB_W, 2));
}

TEST_F(AsyncSelect, AcceptIsReenabledByAcceptAndTheNewSocketInheritsTheRegistration) {
    SOCKADDR_IN addr;
    const SOCKET l = Bound(SOCK_STREAM_W, addr);
    ASSERT_EQ(Select(l), 0);  // registered before listening, as the socket manager does
    ASSERT_EQ(intlisten(l, 8), 0);
    const SOCKET c1 = NewSocket(), c2 = NewSocket();
    ASSERT_EQ(intconnect(c1, &addr, sizeof addr), 0);
    ASSERT_EQ(intconnect(c2, &addr, sizeof addr), 0);
    ASSERT_TRUE(WaitCount(l, FD_ACCEPT_W));
    EXPECT_EQ(Settle(), 0);
    EXPECT_EQ(Count(l, FD_ACCEPT_W), 1);  // two waiting, one notification until accept

    const SOCKET a1 = Own(intaccept(l, nullptr, nullptr));
    ASSERT_TRUE(WaitCount(l, FD_ACCEPT_W, 2));
    ASSERT_TRUE(WaitCount(a1, FD_WRITE_W));  // the inherited registration
    ASSERT_EQ(intsend(c1, "x", 1, 0), 1);
    ASSERT_TRUE(WaitCount(a1, FD_READ_W));
    Own(intaccept(l, nullptr, nullptr));
    EXPECT_EQ(Settle(), 0);
    EXPECT_EQ(Count(l, FD_ACCEPT_W), 2);
}

TEST_F(AsyncSelect, ConnectReportsItsOutcomeOnce) {
    SOCKADDR_IN addr, closed;
    Listener(addr);
    const SOCKET ok = NewSocket();
    ASSERT_EQ(Select(ok), 0);
    EXPECT_WSA_FAIL(intconnect(ok, &addr, sizeof addr), WSAEWOULDBLOCK);
    ASSERT_TRUE(WaitCount(ok, FD_WRITE_W));
    ASSERT_EQ(Count(ok, FD_CONNECT_W), 1);
    EXPECT_EQ(ErrorOf(ok, FD_CONNECT_W), 0);
    EXPECT_LT(IndexOf(ok, FD_CONNECT_W), IndexOf(ok, FD_WRITE_W));

    ASSERT_EQ(Close(Listener(closed)), 0);  // a port just closed refuses connections
    const SOCKET refused = NewSocket();
    ASSERT_EQ(Select(refused), 0);
    EXPECT_WSA_FAIL(intconnect(refused, &closed, sizeof closed), WSAEWOULDBLOCK);
    ASSERT_TRUE(WaitCount(refused, FD_CONNECT_W));
    EXPECT_EQ(ErrorOf(refused, FD_CONNECT_W), WSAECONNREFUSED);
    EXPECT_EQ(Settle(), 0);
    EXPECT_EQ(Count(refused, FD_WRITE_W) + Count(refused, FD_CLOSE_W) + Count(refused, FD_READ_W), 0);
    EXPECT_EQ(Count(ok, FD_CONNECT_W), 1);
}

// What is left after the peer's end is counted once, when FD_READ is posted, and counted
// afresh after any receive: one on another thread tells this one only through its queue, and
// the count must not wait for that.
TEST_F(AsyncSelect, GracefulCloseWithUnreadDataReportsReadThenCloseAndThenGoesQuiet) {
    auto [c, srv] = Pair();
    ASSERT_EQ(intsend(srv, "wxyz", 4, 0), 4);
    ASSERT_EQ(Close(srv), 0);
    ASSERT_EQ(Select(c), 0);  // data and the close are seen in one pass
    ASSERT_TRUE(WaitCount(c, FD_CLOSE_W));
    EXPECT_EQ(ErrorOf(c, FD_CLOSE_W), 0);
    ASSERT_EQ(Count(c, FD_READ_W), 1);
    EXPECT_LT(IndexOf(c, FD_READ_W), IndexOf(c, FD_CLOSE_W));
    EXPECT_EQ(Waiting(c), 4u);

    char buf[8];
    ASSERT_EQ(intrecv(c, buf, 1, 0), 1);
    EXPECT_EQ(Waiting(c), 3u);
    ASSERT_TRUE(WaitCount(c, FD_READ_W, 2));  // unread data is still reported after the close
    OnFreshThread([c] {
        char byte;
        EXPECT_EQ(intrecv(c, &byte, 1, 0), 1);
    });
    EXPECT_EQ(Waiting(c), 2u);
    ASSERT_TRUE(WaitCount(c, FD_READ_W, 3));
    ASSERT_EQ(intrecv(c, buf, sizeof buf, 0), 2);
    EXPECT_EQ(Waiting(c), 0u);
    EXPECT_EQ(Settle(), 0);
    EXPECT_EQ(intrecv(c, buf, sizeof buf, 0), 0);  // end of stream, re-enabling FD_READ
    EXPECT_EQ(intrecv(c, buf, sizeof buf, 0), 0);
    EXPECT_EQ(Settle(), 0);  // no wake-ups and no messages for an empty, ended stream
    EXPECT_EQ(Count(c, FD_READ_W), 3);
    EXPECT_EQ(Count(c, FD_CLOSE_W), 1);
}

// A broken connection's FD_CLOSE says how it broke, 10054 for a reset and 10053 for one the
// stack gave up, even when a receive that found nothing took the error from the socket first
// (a read notification handled late does that).
TEST_F(AsyncSelect, BrokenConnectionGivesCloseWithItsNumberWhateverReadTheErrorFirst) {
    const struct {
        bool reset;  // else the stack aborts the connection
        bool receiveFirst;
        int close;
    } cases[] = {{true, false, WSAECONNRESET},
                 {true, true, WSAECONNRESET},
                 {false, false, WSAECONNABORTED},
                 {false, true, WSAECONNABORTED}};
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << "reset " << k.reset << ", receive first " << k.receiveFirst);
        auto [c, srv] = Pair();
        ASSERT_EQ(Select(c), 0);
        ASSERT_TRUE(WaitCount(c, FD_WRITE_W));
        if (k.reset) {
            const uint16_t linger[2] = {1, 0};  // on, 0 seconds: close sends a reset
            ASSERT_EQ(intsetsockopt(srv, SOL_SOCKET_W, SO_LINGER_W, reinterpret_cast<const char*>(linger), 4), 0);
            ASSERT_EQ(Close(srv), 0);
        } else {
            // The kernel's own abort of a connection (as after a time-out): ECONNABORTED.
            SOCKADDR_IN local;
            int len = sizeof local;
            ASSERT_EQ(intgetsockname(c, &local, &len), 0);
            const std::string kill = "ss -K -t src 127.0.0.1:" + std::to_string(ntohs(local.sin_port)) + " >/dev/null";
            ASSERT_EQ(std::system(kill.c_str()), 0);
        }
        char buf[8];
        if (k.receiveFirst) {
            EXPECT_EQ(intrecv(c, buf, sizeof buf, 0), SOCKET_ERROR);
        }
        ASSERT_TRUE(WaitCount(c, FD_CLOSE_W));
        EXPECT_EQ(ErrorOf(c, FD_CLOSE_W), k.close);
        intrecv(c, buf, sizeof buf, 0);
        intrecv(c, buf, sizeof buf, 0);
        EXPECT_EQ(Settle(), 0);
        EXPECT_EQ(Count(c, FD_CLOSE_W), 1);
        EXPECT_EQ(Count(c, FD_READ_W), 0);
        got_.clear();
    }
}

TEST_F(AsyncSelect, RegistrationIsReplacedStoppedByMaskZeroAndDroppedByClose) {
    auto [c, srv] = Pair();
    ASSERT_EQ(Select(c, FD_READ_W, kMsg + 1), 0);
    ASSERT_EQ(Select(c, FD_READ_W), 0);  // replaces the first registration
    uint32_t blocking = 0;
    EXPECT_WSA_FAIL(intioctlsocket(c, FIONBIO_W, &blocking), WSAEINVAL);
    ASSERT_EQ(intsend(srv, "1", 1, 0), 1);
    ASSERT_TRUE(WaitCount(c, FD_READ_W));
    EXPECT_TRUE(std::all_of(got_.begin(), got_.end(), [](const Message& m) { return m.msg == kMsg; }));

    ASSERT_EQ(Select(c, 0), 0);
    EXPECT_EQ(intioctlsocket(c, FIONBIO_W, &blocking), 0);  // allowed once unregistered
    char buf[4];
    ASSERT_EQ(intrecv(c, buf, sizeof buf, 0), 1);
    ASSERT_EQ(intsend(srv, "2", 1, 0), 1);
    EXPECT_EQ(Settle(), 0);
    EXPECT_EQ(Count(c, FD_READ_W), 1);

    ASSERT_EQ(Select(c, FD_READ_W), 0);  // data already waiting is reported at once
    ASSERT_TRUE(WaitCount(c, FD_READ_W, 2));
    ASSERT_EQ(Close(c), 0);
    const SOCKET again = NewSocket();  // likely the same number
    EXPECT_EQ(intioctlsocket(again, FIONBIO_W, &blocking), 0);
    EXPECT_EQ(Settle(), 0);
    EXPECT_EQ(Count(again, FD_READ_W), again == c ? 2 : 0);
}

TEST_F(AsyncSelect, RegistrationNeedsAWindowOfTheCallingThreadASocketAndKnownEvents) {
    SOCKADDR_IN addr;
    const SOCKET s = Bound(SOCK_DGRAM_W, addr);
    tav::platform::HWND foreign = 0;
    OnFreshThread([&foreign] { foreign = tav::platform::CreateWindowHandle({}); });
    EXPECT_WSA_FAIL(intWSAAsyncSelect(s, foreign, kMsg, FD_READ_W), WSAEINVAL);
    EXPECT_WSA_FAIL(Select(s, 0x40), WSAEINVAL);
    const tav::support::Fd file(::open("/dev/null", O_RDONLY));
    EXPECT_WSA_FAIL(Select(file.Get()), WSAENOTSOCK);

    // A thread that ends withdraws its registrations: the socket may block again and be
    // registered here.
    OnFreshThread([s] { EXPECT_EQ(intWSAAsyncSelect(s, tav::platform::CreateWindowHandle({}), kMsg, FD_READ_W), 0); });
    uint32_t blocking = 0;
    EXPECT_EQ(intioctlsocket(s, FIONBIO_W, &blocking), 0);
    ASSERT_EQ(Select(s), 0);
    ASSERT_TRUE(WaitCount(s, FD_WRITE_W));  // a datagram socket can send at once
    ASSERT_EQ(intsendto(s, "d", 1, 0, &addr, sizeof addr), 1);
    ASSERT_TRUE(WaitCount(s, FD_READ_W));
}
