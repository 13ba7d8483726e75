// Calls that answer from what the layer remembers of its own sockets (their type, blocking
// mode, whether they were ever bound, connected or listened) must give what the kernel would
// have said, whatever was done to the socket since it was opened.
#include "SockTestUtil.hpp"
#include "support/Loopback.hpp"

#include <fcntl.h>


using namespace tav::sockintf;
using namespace tav::sockintf::test;

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
