// Socket options and ioctl commands in Windows numbering.
#include "SockTestUtil.hpp"

#include <cstring>

using namespace tav::sockintf;
using namespace tav::sockintf::test;

namespace {

class SockOptions : public StackTest {
protected:
    static uint32_t Get(SOCKET s, int opt, int level = SOL_SOCKET_W) {
        uint32_t v = 0xDEADBEEF;
        int len = 4;
        EXPECT_EQ(intgetsockopt(s, level, opt, reinterpret_cast<char*>(&v), &len), 0) << opt;
        return v;
    }
    static int Set(SOCKET s, int opt, uint32_t v, int level = SOL_SOCKET_W) {
        return intsetsockopt(s, level, opt, reinterpret_cast<const char*>(&v), 4);
    }
    static uint32_t Linger(uint16_t onoff, uint16_t seconds) {  // the Windows record
        const uint16_t rec[2] = {onoff, seconds};
        uint32_t v;
        std::memcpy(&v, rec, 4);
        return v;
    }
};

}  // namespace

TEST_F(SockOptions, ValuesRoundTripInWindowsTerms) {
    SOCKADDR_IN addr;
    const SOCKET l = Listener(addr);
    const SOCKET udp = NewSocket(SOCK_DGRAM_W);
    const SOCKET tcp = NewSocket();
    ASSERT_EQ(Set(tcp, SO_LINGER_W, Linger(1, 7)), 0);
    EXPECT_EQ(Get(tcp, SO_LINGER_W), Linger(1, 7));
    ASSERT_EQ(Set(tcp, SO_DONTLINGER_W, 1), 0);
    EXPECT_EQ(Get(tcp, SO_LINGER_W) & 0xFFFF, 0u);
    ASSERT_EQ(Set(tcp, SO_DONTLINGER_W, 0), 0);  // back on with the earlier time
    EXPECT_EQ(Get(tcp, SO_LINGER_W), Linger(1, 7));

    EXPECT_EQ(Get(l, SO_ACCEPTCONN_W), 1u);
    EXPECT_EQ(Get(tcp, SO_ACCEPTCONN_W), 0u);
    EXPECT_EQ(Get(tcp, SO_TYPE_W), 1u);
    EXPECT_EQ(Get(udp, SO_TYPE_W), 2u);
    EXPECT_EQ(Get(udp, SO_MAX_MSG_SIZE_W), 65507u);
    EXPECT_EQ(Get(tcp, SO_MAX_MSG_SIZE_W), 0x7FFFFFFFu);
    ASSERT_EQ(Set(tcp, SO_RCVTIMEO_W, 1500), 0);
    EXPECT_EQ(Get(tcp, SO_RCVTIMEO_W), 1500u);
    ASSERT_EQ(Set(tcp, SO_RCVBUF_W, 65536), 0);
    EXPECT_EQ(Get(tcp, SO_RCVBUF_W), 65536u);
    ASSERT_EQ(Set(tcp, TCP_NODELAY_W, 1, IPPROTO_TCP_W), 0);
    EXPECT_EQ(Get(tcp, TCP_NODELAY_W, IPPROTO_TCP_W), 1u);

    uint32_t v = 0;
    int shortLen = 2;
    EXPECT_WSA_FAIL(intgetsockopt(tcp, SOL_SOCKET_W, SO_TYPE_W, reinterpret_cast<char*>(&v), &shortLen), WSAEFAULT);
    EXPECT_WSA_FAIL(Set(tcp, 0x4321, 1), WSAENOPROTOOPT);
    EXPECT_WSA_FAIL(Set(tcp, SO_TYPE_W, 2), WSAENOPROTOOPT);  // read-only
    EXPECT_WSA_FAIL(intioctlsocket(tcp, 0x1234, &v), WSAEINVAL);
}

TEST_F(SockOptions, FionreadCountsBytesAndAtMarkSeesUrgentData) {
    auto [c, a] = Pair();
    uint32_t v = 99;
    ASSERT_EQ(intioctlsocket(a, FIONREAD_W, &v), 0);
    EXPECT_EQ(v, 0u);
    ASSERT_EQ(intioctlsocket(a, SIOCATMARK_W, &v), 0);
    EXPECT_EQ(v, 1u);  // no out-of-band data

    ASSERT_EQ(intsend(c, "0123456789", 10, 0), 10);
    ASSERT_EQ(intsend(c, "!", 1, MSG_OOB_W), 1);
    ASSERT_TRUE(WaitFor(a, kExcept));  // the urgent byte has arrived
    ASSERT_EQ(intioctlsocket(a, SIOCATMARK_W, &v), 0);
    EXPECT_EQ(v, 0u);  // the Windows answer: out-of-band data waits
    ASSERT_EQ(intioctlsocket(a, FIONREAD_W, &v), 0);
    EXPECT_EQ(v, 10u);

    char b = 0;
    ASSERT_EQ(intrecv(a, &b, 1, MSG_OOB_W), 1);
    EXPECT_EQ(b, '!');
    ASSERT_EQ(intioctlsocket(a, SIOCATMARK_W, &v), 0);
    EXPECT_EQ(v, 1u);
    EXPECT_FALSE(WaitFor(a, kExcept, 0));
}

// Data that follows an urgent byte counts as waiting, before and after the byte is read, so
// that whatever sizes its reads by the count reaches it.
TEST_F(SockOptions, FionreadCountsTheDataPastTheUrgentMark) {
    auto [c, a] = Pair();
    char buf[64];
    uint32_t v = 99;
    // An urgent byte with nothing ahead of it and nothing after: no normal data.
    ASSERT_EQ(intsend(c, "!", 1, MSG_OOB_W), 1);
    ASSERT_TRUE(WaitFor(a, kExcept));
    ASSERT_EQ(intioctlsocket(a, FIONREAD_W, &v), 0);
    EXPECT_EQ(v, 0u);
    ASSERT_EQ(intsend(c, "after", 5, 0), 5);
    ASSERT_TRUE(WaitFor(a, kRead));  // loopback: the data is there once the poll says so
    ASSERT_EQ(intioctlsocket(a, FIONREAD_W, &v), 0);
    EXPECT_EQ(v, 5u);
    ASSERT_EQ(intrecv(a, buf, 1, MSG_OOB_W), 1);
    ASSERT_EQ(intioctlsocket(a, FIONREAD_W, &v), 0);
    EXPECT_EQ(v, 5u);
    ASSERT_EQ(intrecv(a, buf, static_cast<int>(v), 0), 5);
    EXPECT_EQ(std::string(buf, 5), "after");

    // Normal data ahead of the mark is counted up to it; once it is read, what follows.
    ASSERT_EQ(intsend(c, "normal", 6, 0), 6);
    ASSERT_EQ(intsend(c, "?", 1, MSG_OOB_W), 1);
    ASSERT_EQ(intsend(c, "more", 4, 0), 4);
    ASSERT_TRUE(WaitFor(a, kExcept));
    ASSERT_EQ(intrecv(a, buf, 1, MSG_OOB_W), 1);
    ASSERT_EQ(intioctlsocket(a, FIONREAD_W, &v), 0);
    EXPECT_EQ(v, 6u);
    ASSERT_EQ(intrecv(a, buf, sizeof buf, 0), 6);
    ASSERT_EQ(intioctlsocket(a, FIONREAD_W, &v), 0);
    EXPECT_EQ(v, 4u);
    ASSERT_EQ(intrecv(a, buf, sizeof buf, 0), 4);
    ASSERT_EQ(intioctlsocket(a, FIONREAD_W, &v), 0);
    EXPECT_EQ(v, 0u);
    ASSERT_EQ(Close(c), 0);  // the end of the stream is not data
    ASSERT_TRUE(WaitFor(a, kRead));
    ASSERT_EQ(intioctlsocket(a, FIONREAD_W, &v), 0);
    EXPECT_EQ(v, 0u);
}
