// Start-up rules, error numbers on real sockets, data calls and re-enabling hooks.
#include "platform/AsyncSelectHooks.hpp"
#include "SockTestUtil.hpp"

#include <atomic>
#include <cstring>

using namespace tav::sockintf;
using namespace tav::sockintf::test;

TEST(SockStartup, CallsFailWith10093BeforeStartupAndAfterLastCleanup) {
    ASSERT_EQ(WSAStartupCount(), 0);
    EXPECT_WSA_FAIL(intsocket(AF_INET_W, SOCK_STREAM_W, 0), WSANOTINITIALISED);
    EXPECT_EQ(intgethostbyname("localhost"), nullptr);
    EXPECT_WSA_FAIL(intWSACleanup(), WSANOTINITIALISED);
    EXPECT_EQ(inthtons(0x1234), 0x3412);  // conversions need no start-up

    WSADATA data;
    EXPECT_EQ(intWSAStartup(0x0001, &data), WSAVERNOTSUPPORTED);  // 1.0 is not counted
    ASSERT_EQ(intWSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    EXPECT_EQ(data.iMaxUdpDg, 65507);
    EXPECT_GT(data.iMaxSockets, 0);
    ASSERT_EQ(intWSAStartup(0x0101, &data), 0);
    EXPECT_EQ(intWSACleanup(), 0);
    EXPECT_EQ(intclosesocket(intsocket(AF_INET_W, SOCK_STREAM_W, 0)), 0);  // still started once
    EXPECT_EQ(intWSACleanup(), 0);
    EXPECT_WSA_FAIL(intsocket(AF_INET_W, SOCK_DGRAM_W, 0), WSANOTINITIALISED);
}

class SockCalls : public StackTest {};

// (A connect under way gives 10035, never 10036: pinned on the socket object.)
TEST_F(SockCalls, AcceptOnANonBlockingListenerGivesTheNonBlockingModeAndThePeer) {
    SOCKADDR_IN addr, peer;
    const SOCKET l = NonBlocking(Listener(addr));
    int peerLen = sizeof peer;
    EXPECT_WSA_FAIL(intaccept(l, &peer, &peerLen), WSAEWOULDBLOCK);  // nothing pending yet
    ASSERT_EQ(intconnect(NewSocket(), &addr, sizeof addr), 0);
    ASSERT_TRUE(WaitFor(l, kRead));
    const SOCKET a = Own(intaccept(l, &peer, &peerLen));
    EXPECT_EQ(peerLen, 16);
    EXPECT_EQ(peer.sin_addr, inthtonl(0x7F000001));
    char buf[4];
    EXPECT_WSA_FAIL(intrecv(a, buf, sizeof buf, 0), WSAEWOULDBLOCK);  // returns at once
}

TEST_F(SockCalls, SendToClosedPeerFailsWithoutSignal) {
    auto [c, a] = Pair();
    ASSERT_EQ(Close(a), 0);
    // The first sends may go out before the peer's reset comes back; the process must
    // survive the failing one (no SIGPIPE).
    const char data[1024] = {};
    int r = 0;
    for (int i = 0; i < 100 && r >= 0; ++i) r = intsend(c, data, sizeof data, 0);
    EXPECT_WSA_FAIL(r, WSAECONNRESET);
}

TEST_F(SockCalls, DatagramTooLongFillsBufferAndFailsWith10040) {
    SOCKADDR_IN addrA, addrB, from;
    const SOCKET a = Bound(SOCK_DGRAM_W, addrA);
    const SOCKET b = Bound(SOCK_DGRAM_W, addrB);
    ASSERT_EQ(intsendto(a, "0123456789", 10, 0, &addrB, sizeof addrB), 10);
    ASSERT_EQ(intsendto(a, "xy", 2, 0, &addrB, sizeof addrB), 2);
    char buf[4] = {};
    int fromLen = sizeof from;
    EXPECT_WSA_FAIL(intrecvfrom(b, buf, sizeof buf, 0, &from, &fromLen), WSAEMSGSIZE);
    EXPECT_EQ(std::memcmp(buf, "0123", 4), 0);
    EXPECT_EQ(from.sin_port, addrA.sin_port);
    EXPECT_EQ(intrecvfrom(b, buf, sizeof buf, 0, &from, &fromLen), 2);  // the rest was dropped
}

namespace {

std::atomic<int32_t> gSeen{0};  // events the hooks were called with since the last Seen()

void RecordReenable(SOCKET, int32_t event) noexcept {
    gSeen |= event;
    intWSASetLastError(1);  // must not leak into the caller's result
}
void RecordAccepted(SOCKET, SOCKET) noexcept { gSeen |= FD_ACCEPT_W; }
void RecordClosing(SOCKET) noexcept { gSeen |= FD_CLOSE_W; }
constexpr AsyncSelectHooks kRecordingHooks{RecordReenable, RecordAccepted, RecordClosing};

int32_t Seen() { return gSeen.exchange(0); }

struct HooksInstalled {
    HooksInstalled() { InstallAsyncSelectHooks(&kRecordingHooks); }
    ~HooksInstalled() { InstallAsyncSelectHooks(nullptr); }
};

}  // namespace

TEST_F(SockCalls, ReenablingPointsReachTheInstalledHooks) {
    HooksInstalled installed;
    SOCKADDR_IN addr;
    const SOCKET l = Listener(addr);
    const SOCKET c = NonBlocking(NewSocket());
    EXPECT_EQ(Seen(), FD_ACCEPT_W);  // the listener takes connections now
    intconnect(c, &addr, sizeof addr);  // under way or made at once: FD_CONNECT either way
    EXPECT_EQ(Seen(), FD_CONNECT_W);
    ASSERT_TRUE(WaitFor(c, kWrite));
    const SOCKET a = Own(intaccept(l, nullptr, nullptr));
    EXPECT_EQ(Seen(), FD_ACCEPT_W);

    static char buf[64 * 1024];
    intWSASetLastError(0);
    EXPECT_EQ(intrecv(c, buf, 0, 0), 0);
    EXPECT_EQ(intWSAGetLastError(), 0);
    EXPECT_EQ(Seen(), FD_READ_W);
    intrecv(c, buf, 1, MSG_OOB_W);
    EXPECT_EQ(Seen(), FD_OOB_W);
    int r = 0;  // fill the peer's window until a send would block: that arms FD_WRITE
    for (int i = 0; i < 10000 && r >= 0; ++i) r = intsend(c, buf, sizeof buf, 0);
    EXPECT_WSA_FAIL(r, WSAEWOULDBLOCK);
    EXPECT_EQ(Seen(), FD_WRITE_W);
    EXPECT_EQ(Close(a), 0);
    EXPECT_EQ(Seen(), FD_CLOSE_W);
}

// A zero-length read probes without blocking or consuming; the stream read is intrecv through
// a lighter call: the same answers at every step, and the same re-enabling point.
TEST_F(SockCalls, ZeroLengthAndStreamReadsAnswerAsIntrecvDoes) {
    HooksInstalled installed;
    auto [c, a] = Pair();
    char buf[16] = {};
    intWSASetLastError(0);
    EXPECT_EQ(intrecv(a, buf, 0, 0), 0);  // blocking socket, nothing waiting
    EXPECT_EQ(intWSAGetLastError(), 0);
    ASSERT_EQ(intsend(c, "hello", 5, 0), 5);
    ASSERT_TRUE(WaitFor(a, kRead));
    EXPECT_EQ(intrecv(a, buf, 0, 0), 0);
    (void)Seen();
    EXPECT_EQ(intrecvstream(a, buf, 2, 0), 2);
    EXPECT_EQ(Seen(), FD_READ_W);
    EXPECT_EQ(intrecv(a, buf, sizeof buf, 0), 3);  // nothing was used up by the probe
    EXPECT_EQ(std::string(buf, 3), "llo");
    EXPECT_WSA_FAIL(intrecvstream(NonBlocking(a), buf, sizeof buf, 0), WSAEWOULDBLOCK);
    EXPECT_WSA_FAIL(intrecv(a, buf, 1, MSG_OOB_W), WSAEWOULDBLOCK);  // no urgent byte
    ASSERT_EQ(Close(c), 0);
    ASSERT_TRUE(WaitFor(a, kRead));
    EXPECT_EQ(intrecvstream(a, buf, sizeof buf, 0), 0);  // end of stream
    EXPECT_EQ(intrecv(a, buf, sizeof buf, 0), 0);
}

// Calls made out of turn answer as Windows Sockets does; hosts branch on these numbers. (A
// second connect, and a bind to a port in use, are pinned on the socket object.)
TEST_F(SockCalls, CallsOutOfTurnGiveTheWindowsResults) {
    // A listener that was never bound is refused rather than opened on every interface.
    const SOCKET unbound = NewSocket();
    EXPECT_WSA_FAIL(intlisten(unbound, 5), WSAEINVAL);
    SOCKADDR_IN name;
    int len = sizeof name;
    EXPECT_WSA_FAIL(intgetsockname(unbound, &name, &len), WSAEINVAL);  // still no address

    // Sending without a connection is "not connected", not a reset.
    const char byte = 'x';
    EXPECT_WSA_FAIL(intsend(unbound, &byte, 1, 0), WSAENOTCONN);
    SOCKADDR_IN addr;
    const SOCKET listener = Listener(addr);
    EXPECT_WSA_FAIL(intsend(listener, &byte, 1, 0), WSAENOTCONN);
}
