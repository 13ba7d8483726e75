// intselect: ready members only, any number and value of handles.
#include "SockTestUtil.hpp"

#include <fcntl.h>
#include <sys/resource.h>

using namespace tav::sockintf;
using namespace tav::sockintf::test;

class SockSelect : public StackTest {};

TEST_F(SockSelect, EachSetKeepsOnlyItsReadyMembers) {
    auto [c1, a1] = Pair();
    auto [c2, a2] = Pair();
    ASSERT_EQ(intsend(c1, "x", 1, 0), 1);
    ASSERT_TRUE(WaitFor(a1, kRead));

    FD_SET_W readable, writable, except;
    for (SOCKET s : {a1, a2, c1}) readable.Set(s);
    for (SOCKET s : {a1, c2}) writable.Set(s);
    except.Set(a2);
    const TIMEVAL_W poll{0, 0};
    ASSERT_EQ(intselect(0, &readable, &writable, &except, &poll), 0);
    EXPECT_EQ(readable.fd_array, std::vector<SOCKET>{a1});
    EXPECT_EQ(writable.fd_array, (std::vector<SOCKET>{a1, c2}));
    EXPECT_EQ(except.fd_count(), 0u);

    // A time-out succeeds and empties the set; empty sets are refused, as on Windows.
    FD_SET_W idle;
    idle.Set(a2);
    const TIMEVAL_W shortWait{0, 1000};
    ASSERT_EQ(intselect(0, &idle, nullptr, nullptr, &shortWait), 0);
    EXPECT_EQ(idle.fd_count(), 0u);
    EXPECT_WSA_FAIL(intselect(0, &idle, nullptr, nullptr, nullptr), WSAEINVAL);
}

TEST_F(SockSelect, HandlesAbove1024AndManySocketsInSeveralSets) {
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

    FD_SET_W readable, writable;
    for (SOCKET s : socks) readable.Set(s), writable.Set(s);
    readable.Set(high);
    const TIMEVAL_W wait{5, 0};
    ASSERT_EQ(intselect(0, &readable, &writable, nullptr, &wait), 0);
    EXPECT_TRUE(readable.IsSet(high));
    EXPECT_EQ(writable.fd_count(), socks.size());
    for (size_t i = 0; i < socks.size(); ++i) EXPECT_EQ(readable.IsSet(socks[i]), i % 7 == 0) << i;
}
