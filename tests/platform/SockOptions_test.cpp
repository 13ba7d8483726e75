// Socket options and ioctl commands in Windows numbering.
#include "SockTestUtil.hpp"

#include <cstring>
#include <tuple>

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

    for (const auto& [s, opt, value] : {std::tuple{l, SO_ACCEPTCONN_W, 1u}, {tcp, SO_ACCEPTCONN_W, 0u}, {tcp, SO_TYPE_W, 1u},
                                        {udp, SO_TYPE_W, 2u}, {udp, SO_MAX_MSG_SIZE_W, 65507u}, {tcp, SO_MAX_MSG_SIZE_W, 0x7FFFFFFFu}})
        EXPECT_EQ(Get(s, opt), value) << opt << " of socket " << s;
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

// Data that follows an urgent byte counts as waiting, before and after the byte is read, so
// that whatever sizes its reads by the count reaches it; SIOCATMARK gives the Windows answer,
// 0 while an urgent byte waits to be read.
TEST_F(SockOptions, FionreadAndAtMarkAroundUrgentBytes) {
    // Each step: what the peer sends (data, an urgent byte, more data), or what is read (the
    // urgent byte, or as much as FIONREAD says), then the counts.
    struct Step {
        const char *data, *urgent, *more;
        const char* read;  // "!" or "?": the urgent byte it gives; other text: a normal read
        uint32_t waiting, atMark;
    };
    const Step steps[] = {
        {"", "", "", "", 0, 1},
        {"0123456789", "!", "", "", 10, 0},
        {"", "", "", "!", 10, 1},
        {"", "", "", "0123456789", 0, 1},
        {"", "!", "", "", 0, 0},  // an urgent byte with nothing ahead of it and nothing after
        {"", "", "after", "", 5, 0},
        {"", "", "", "!", 5, 1},
        {"", "", "", "after", 0, 1},
        {"normal", "?", "more", "?", 6, 1},  // counted up to the mark; once read, what follows
        {"", "", "", "normal", 4, 1},
        {"", "", "", "more", 0, 1},
    };
    auto [c, a] = Pair();
    char buf[64];
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.data) + step.urgent + step.more + " / " + step.read);
        for (const char* part : {step.data, step.urgent, step.more}) {
            const int n = static_cast<int>(std::strlen(part));
            if (n > 0) {
                ASSERT_EQ(intsend(c, part, n, part == step.urgent ? MSG_OOB_W : 0), n);
            }
        }
        // Loopback: what was sent is there once the poll says so.
        if (*step.urgent) {
            ASSERT_TRUE(WaitFor(a, kExcept));
        } else if (*step.more) {
            ASSERT_TRUE(WaitFor(a, kRead));
        }
        const std::string read = step.read;
        if (read == "!" || read == "?") {
            ASSERT_EQ(intrecv(a, buf, 1, MSG_OOB_W), 1);
            EXPECT_EQ(buf[0], read[0]);
            EXPECT_FALSE(WaitFor(a, kExcept, 0));
        } else if (!read.empty()) {
            ASSERT_EQ(intrecv(a, buf, static_cast<int>(Waiting(a)), 0), static_cast<int>(read.size()));
            EXPECT_EQ(std::string(buf, read.size()), read);
        }
        EXPECT_EQ(Waiting(a), step.waiting);
        uint32_t atMark = 99;
        ASSERT_EQ(intioctlsocket(a, SIOCATMARK_W, &atMark), 0);
        EXPECT_EQ(atMark, step.atMark);
    }
    ASSERT_EQ(Close(c), 0);  // the end of the stream is not data
    ASSERT_TRUE(WaitFor(a, kRead));
    EXPECT_EQ(Waiting(a), 0u);
}
