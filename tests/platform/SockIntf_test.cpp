// Start-up rules, error numbers on real sockets, data calls, re-enabling hooks; intselect: ready
// members only, any number and value of handles; and calls that answer from what the layer
// remembers of its own sockets (their type, blocking mode, whether they were ever bound,
// connected or listened), which must give what the kernel would have said, whatever was done
// to the socket since it was opened.
#include "platform/AsyncSelectHooks.hpp"
#include "SockTestUtil.hpp"
#include "support/Loopback.hpp"

#include <fcntl.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <tuple>

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
    // What it fills in is read through OSSockLibInfo.
    ASSERT_EQ(intWSAStartup(0x0101, &data), 0);
    EXPECT_EQ(intWSACleanup(), 0);
    EXPECT_EQ(intclosesocket(intsocket(AF_INET_W, SOCK_STREAM_W, 0)), 0);  // still started once
    EXPECT_EQ(intWSACleanup(), 0);
    EXPECT_WSA_FAIL(intsocket(AF_INET_W, SOCK_DGRAM_W, 0), WSANOTINITIALISED);
}

class SockCalls : public StackTest {};

// (A connect under way gives 10035, never 10036: pinned on the socket object.)
TEST_F(SockCalls, NonBlockingAcceptGivesItsModeAndThePeerAndATooLongDatagramFailsWith10040) {
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

    // A datagram too long for the buffer fills it and fails with 10040.
    SOCKADDR_IN addrA, addrB, from;
    const SOCKET da = Bound(SOCK_DGRAM_W, addrA);
    const SOCKET db = Bound(SOCK_DGRAM_W, addrB);
    ASSERT_EQ(intsendto(da, "0123456789", 10, 0, &addrB, sizeof addrB), 10);
    ASSERT_EQ(intsendto(da, "xy", 2, 0, &addrB, sizeof addrB), 2);
    int fromLen = sizeof from;
    EXPECT_WSA_FAIL(intrecvfrom(db, buf, sizeof buf, 0, &from, &fromLen), WSAEMSGSIZE);
    EXPECT_EQ(std::memcmp(buf, "0123", 4), 0);
    EXPECT_EQ(from.sin_port, addrA.sin_port);
    EXPECT_EQ(intrecvfrom(db, buf, sizeof buf, 0, &from, &fromLen), 2);  // the rest was dropped
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

TEST_F(SockCalls, ReenablingPointsReachTheInstalledHooksAndZeroLengthAndStreamReadsAnswerAsIntrecvDoes) {
    HooksInstalled installed;
    SOCKADDR_IN addr;
    const SOCKET l = Listener(addr);
    SOCKET c = NonBlocking(NewSocket());
    EXPECT_EQ(Seen(), FD_ACCEPT_W);  // the listener takes connections now
    intconnect(c, &addr, sizeof addr);  // under way or made at once: FD_CONNECT either way
    EXPECT_EQ(Seen(), FD_CONNECT_W);
    ASSERT_TRUE(WaitFor(c, kWrite));
    SOCKET a = Own(intaccept(l, nullptr, nullptr));
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

    // A zero-length read probes without blocking or consuming; the stream read is intrecv
    // through a lighter call: the same answers at every step, and the same re-enabling point.
    std::tie(c, a) = Pair();
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

class SockSelect : public StackTest {};

TEST_F(SockSelect, EachSetKeepsOnlyItsReadyMembersInOrderAmongManyAndHandlesAbove1024) {
    rlimit rl{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_cur < 1100 && rl.rlim_max >= 1100) {
        rl.rlim_cur = 1100;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    SOCKADDR_IN target;
    const SOCKET high = fcntl(Bound(SOCK_DGRAM_W, target), F_DUPFD_CLOEXEC, 1050);
    if (high < 0) GTEST_SKIP() << "descriptor limit below 1050";
    Own(high);

    // Every socket is in the read and the write set; all are writable, only those that got
    // a datagram are readable (loopback delivers at once).
    std::vector<SOCKET> socks(200);
    std::vector<SOCKADDR_IN> addrs(200);
    for (size_t i = 0; i < socks.size(); ++i) socks[i] = Bound(SOCK_DGRAM_W, addrs[i]);
    const SOCKET sender = NewSocket(SOCK_DGRAM_W);
    ASSERT_EQ(intsendto(sender, "x", 1, 0, &target, sizeof target), 1);  // lands on `high`
    for (size_t i = 0; i < socks.size(); i += 7) ASSERT_EQ(intsendto(sender, "y", 1, 0, &addrs[i], 16), 1);
    ASSERT_TRUE(WaitFor(high, kRead));

    FD_SET_W readable, writable, except;
    std::vector<SOCKET> ready;
    for (size_t i = 0; i < socks.size(); ++i) {
        readable.Set(socks[i]);
        writable.Set(socks[i]);
        if (i % 7 == 0) ready.push_back(socks[i]);
    }
    readable.Set(high);
    ready.push_back(high);
    except.Set(high);
    const TIMEVAL_W wait{5, 0};
    ASSERT_EQ(intselect(0, &readable, &writable, &except, &wait), 0);
    EXPECT_EQ(readable.fd_array, ready);
    EXPECT_EQ(writable.fd_count(), socks.size());
    EXPECT_EQ(except.fd_count(), 0u);
    // Empty sets are refused, as on Windows.
    EXPECT_WSA_FAIL(intselect(0, &except, nullptr, nullptr, nullptr), WSAEINVAL);
}

namespace {

bool IsNonBlocking(SOCKET s) {
    const int flags = ::fcntl(s, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

SOCKADDR_IN AnyAddress() {
    SOCKADDR_IN any{};
    any.sin_family = AF_INET_W;
    return any;
}

uint16_t PortOf(SOCKET s) {
    SOCKADDR_IN name;
    int len = sizeof name;
    if (intgetsockname(s, &name, &len) != 0) return 0;
    return intntohs(name.sin_port);
}

class RememberedState : public WindowTest {
protected:
    /// The peer port an accepted connection of `listener` reports.
    uint16_t AcceptedFrom(SOCKET listener) {
        SOCKADDR_IN peer;
        int len = sizeof peer;
        Own(intaccept(listener, &peer, &len));
        return intntohs(peer.sin_port);
    }
};

}  // namespace

TEST_F(RememberedState, BindLeftToTheConnectLooksLikeAnyOtherBind) {
    SOCKADDR_IN to;
    const SOCKET listener = Listener(to);
    const SOCKADDR_IN any = AnyAddress();

    // Read before the connect, the port is taken then and kept by the connection.
    const SOCKET early = Own(NonBlockingSocket(AF_INET_W, SOCK_STREAM_W, 0));
    EXPECT_TRUE(IsNonBlocking(early));
    ASSERT_EQ(BindForConnect(early, &any, sizeof any), 0);
    const uint16_t before = PortOf(early);
    EXPECT_NE(before, 0);
    EXPECT_WSA_FAIL(intconnect(early, &to, sizeof to), WSAEWOULDBLOCK);
    EXPECT_EQ(AcceptedFrom(listener), before);
    EXPECT_EQ(PortOf(early), before);

    // Not read before: the connect chooses the port.
    const SOCKET late = Own(NonBlockingSocket(AF_INET_W, SOCK_STREAM_W, 0));
    ASSERT_EQ(BindForConnect(late, &any, sizeof any), 0);
    EXPECT_WSA_FAIL(intconnect(late, &to, sizeof to), WSAEWOULDBLOCK);
    const uint16_t chosen = AcceptedFrom(listener);
    EXPECT_NE(chosen, 0);
    EXPECT_EQ(PortOf(late), chosen);

    // Binding again, or listening, finds the socket as the first bind left it.
    const SOCKET rebound = NewSocket();
    ASSERT_EQ(BindForConnect(rebound, &any, sizeof any), 0);
    SOCKADDR_IN loopback = AnyAddress();
    loopback.sin_addr = inthtonl(0x7F000001);
    EXPECT_EQ(intbind(rebound, &loopback, sizeof loopback), 0);
    SOCKADDR_IN name;
    int len = sizeof name;
    ASSERT_EQ(intgetsockname(rebound, &name, &len), 0);
    EXPECT_EQ(name.sin_addr, inthtonl(0x7F000001));
    const SOCKET unlistened = NewSocket();
    ASSERT_EQ(BindForConnect(unlistened, &any, sizeof any), 0);
    EXPECT_WSA_FAIL(intlisten(unlistened, 1), WSAEINVAL);

    // What is remembered goes with the handle: a new socket under the same number is unbound.
    const SOCKET closed = NewSocket();
    ASSERT_EQ(BindForConnect(closed, &any, sizeof any), 0);
    ASSERT_EQ(Close(closed), 0);
    const SOCKET reopened = NewSocket();  // most likely the same number
    len = sizeof name;
    EXPECT_WSA_FAIL(intgetsockname(reopened, &name, &len), WSAEINVAL);
}

TEST_F(RememberedState, RegistrationFollowsWhatWasDoneToTheSocketSinceItOpened) {
    // Made blocking again before it is registered: the registration makes it non-blocking.
    const SOCKET reblocked = Own(NonBlockingSocket(AF_INET_W, SOCK_STREAM_W, 0));
    uint32_t blocking = 0;
    ASSERT_EQ(intioctlsocket(reblocked, FIONBIO_W, &blocking), 0);
    ASSERT_FALSE(IsNonBlocking(reblocked));
    ASSERT_EQ(Select(reblocked), 0);
    EXPECT_TRUE(IsNonBlocking(reblocked));
    EXPECT_WSA_FAIL(intioctlsocket(reblocked, FIONBIO_W, &blocking), WSAEINVAL);

    // Connected, or listening, before it is registered: it is treated as such.
    SOCKADDR_IN to;
    const SOCKET listener = Listener(to);
    const SOCKET connected = NewSocket();
    ASSERT_EQ(intconnect(connected, &to, sizeof to), 0);
    ASSERT_EQ(Select(connected), 0);
    EXPECT_TRUE(WaitCount(connected, FD_WRITE_W));
    ASSERT_EQ(Select(listener), 0);
    const SOCKET second = NewSocket();
    ASSERT_EQ(intconnect(second, &to, sizeof to), 0);
    EXPECT_TRUE(WaitCount(listener, FD_ACCEPT_W));

    // An accepted socket registered again by its owner: what it received is told once, as is
    // its room to send. (The first connection in the queue is the one of `connected`.)
    const SOCKET accepted = Own(intaccept(listener, nullptr, nullptr));
    ASSERT_NE(accepted, INVALID_SOCKET);
    ASSERT_EQ(Select(accepted), 0);
    ASSERT_EQ(intsend(connected, "x", 1, 0), 1);
    ASSERT_TRUE(WaitCount(accepted, FD_READ_W));
    ASSERT_TRUE(WaitCount(accepted, FD_WRITE_W));
    EXPECT_EQ(Settle(), 0);
    EXPECT_EQ(Count(accepted, FD_READ_W), 1);
    EXPECT_EQ(Count(accepted, FD_WRITE_W), 1);

    // Cancelling asks nothing of a socket the layer knows, but still refuses what is none.
    EXPECT_EQ(Select(accepted, 0), 0);
    EXPECT_EQ(Select(NewSocket(SOCK_DGRAM_W), 0), 0);
    const tav::support::Fd file(::open("/dev/null", O_RDONLY));
    EXPECT_WSA_FAIL(Select(file.Get(), 0), WSAENOTSOCK);
}
