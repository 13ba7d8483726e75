// IPv6 end points: the text forms an address object takes and gives, what its IPv4-only
// members read for an IPv6 address, address records of either family, and the socket layer's
// handling of IPv6 records and sockets on ::1.
#include "core/SockAddrAccess.hpp"
#include "core/SocketSupport.hpp"
#include "platform/SockIntf.hpp"

#include <tavsock/TAVSockAddr.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>

using namespace tav;
namespace ss = tav::SocketSupport;
namespace sk = tav::sockintf;

namespace {

TEST(Ipv6Address, TextIsReadInEveryFormAndWrittenInTheShortForm) {
    const std::string lo = [] {
        char name[IF_NAMESIZE] = {};
        return std::string(::if_indextoname(1, name) ? name : "1");
    }();
    struct Case {
        std::string in;
        int16_t family;
        std::string out;
    };
    const Case cases[] = {
        {"127.0.0.1", 2, "127.0.0.1"},  // IPv4 first, exactly as always
        {"::1", 23, "::1"},
        {"[::1]", 23, "::1"},
        {"2001:DB8:0:0:0:0:0:1", 23, "2001:db8::1"},
        {"2001:db8:0:0:1:0:0:1", 23, "2001:db8::1:0:0:1"},  // the first longest run of zeros goes
        {"::ffff:192.0.2.1", 23, "::ffff:192.0.2.1"},
        {"fe80::1%1", 23, "fe80::1%" + lo},
        {"[fe80::1%" + lo + "]", 23, "fe80::1%" + lo},
        // Not an address of either family: the all-ones IPv4 address, as before.
        {"[::1]:80", 2, "255.255.255.255"},
        {"fe80::1%no-such-if", 2, "255.255.255.255"},
        {std::string("::1\0x", 5), 2, "255.255.255.255"},
        {"1::2::3", 2, "255.255.255.255"},
        {"[::1", 2, "255.255.255.255"},
    };
    auto a = TAVSockAddr::Create();
    EXPECT_EQ(a->Family(), 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        a->IPAddress(c.in);
        EXPECT_EQ(a->Family(), c.family);
        EXPECT_EQ(a->IPAddress(), c.out);
        // The 32-bit address of an IPv6 end point is all ones: never a plausible IPv4 address.
        if (c.family == 23) EXPECT_EQ(SockAddrAccess::GetNetAddress(*a), -1);
    }
    a->IPAddress("10.1.2.3");  // back to IPv4
    EXPECT_EQ(a->Family(), 2);
    EXPECT_EQ(a->IPAddress(), "10.1.2.3");
}

TEST(Ipv6Address, RecordsOfEitherFamilyRoundTripAndIpv6ReadsAllOnesThroughTheIpv4Record) {
    auto a = TAVSockAddr::Create();
    a->IPAddress("2001:db8::7");
    a->Port(static_cast<int16_t>(40000));
    const sk::SOCKADDR_INET_W rec = ss::RecordFromSockAddr(*a);
    EXPECT_EQ(rec.si_family, 23);
    EXPECT_EQ(rec.Ipv6.sin6_port, htons(40000));
    EXPECT_EQ(rec.Ipv6.sin6_addr[15], 7);
    EXPECT_EQ(ss::AddrRecordFromSockAddr(*a).sin_addr, 0xFFFFFFFFu);

    auto b = TAVSockAddr::Create();
    ss::SockAddrFromRecord(rec, *b);
    EXPECT_EQ(b->IPAddress(), "2001:db8::7");
    EXPECT_EQ(b->Port(), -25536);
    // An IPv4 record makes the object IPv4 again.
    SockAddrAccess::SetNetAddress(*b, 0x0100007F);
    EXPECT_EQ(b->Family(), 2);
    EXPECT_EQ(b->IPAddress(), "127.0.0.1");
}

class Ipv6Sockets : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(sk::intWSAStartup(0x0101, &data_), 0); }
    void TearDown() override { sk::intWSACleanup(); }
    static sk::SOCKADDR_INET_W Loopback6(uint16_t netPort = 0) {
        sk::SOCKADDR_INET_W r;
        r.Ipv6.sin6_family = sk::AF_INET6_W;
        r.Ipv6.sin6_port = netPort;
        r.Ipv6.sin6_addr[15] = 1;
        return r;
    }
    sk::WSADATA data_;
};

TEST_F(Ipv6Sockets, RecordsNeedTheirRoomAndOptionsFollowTheFamily) {
    const sk::SOCKET s = sk::intsocket(sk::AF_INET6_W, sk::SOCK_DGRAM_W, 0);
    ASSERT_NE(s, sk::INVALID_SOCKET);
    // Dual stack unless asked (until bound to one IPv6 address, which the system makes IPv6
    // only): V6ONLY reads 0, and an IPv4 socket has no such option.
    int32_t v = -1;
    int vlen = sizeof v;
    ASSERT_EQ(sk::intgetsockopt(s, sk::IPPROTO_IPV6_W, sk::IPV6_V6ONLY_W, reinterpret_cast<char*>(&v), &vlen), 0);
    EXPECT_EQ(v, 0);
    sk::SOCKADDR_INET_W rec = Loopback6();
    EXPECT_EQ(sk::intbind(s, &rec.Ipv4, 16), -1);  // an IPv6 record in 16 bytes
    EXPECT_EQ(sk::intWSAGetLastError(), sk::WSAEFAULT);
    ASSERT_EQ(sk::intbind(s, &rec.Ipv4, sizeof rec), 0);
    int len = 16;
    EXPECT_EQ(sk::intgetsockname(s, &rec.Ipv4, &len), -1);  // no room for the IPv6 answer
    EXPECT_EQ(sk::intWSAGetLastError(), sk::WSAEFAULT);
    len = sizeof rec;
    ASSERT_EQ(sk::intgetsockname(s, &rec.Ipv4, &len), 0);
    EXPECT_EQ(len, 28);
    EXPECT_NE(rec.Ipv6.sin6_port, 0);

    const sk::SOCKET v4 = sk::intsocket(sk::AF_INET_W, sk::SOCK_DGRAM_W, 0);
    EXPECT_EQ(sk::intgetsockopt(v4, sk::IPPROTO_IPV6_W, sk::IPV6_V6ONLY_W, reinterpret_cast<char*>(&v), &vlen), -1);
    EXPECT_EQ(sk::intWSAGetLastError(), sk::WSAENOPROTOOPT);
    // A datagram socket keeps its family.
    rec = Loopback6();
    EXPECT_EQ(sk::intbind(v4, &rec.Ipv4, sizeof rec), -1);
    EXPECT_EQ(sk::intWSAGetLastError(), sk::WSAEAFNOSUPPORT);
    sk::intclosesocket(v4);
    sk::intclosesocket(s);
}

TEST_F(Ipv6Sockets, FreshStreamSocketTakesIpv6UnderItsHandleWithItsOptions) {
    const sk::SOCKET s = sk::intsocket(sk::AF_INET_W, sk::SOCK_STREAM_W, 0);
    const int32_t on = 1;
    ASSERT_EQ(sk::intsetsockopt(s, sk::SOL_SOCKET_W, sk::SO_REUSEADDR_W, reinterpret_cast<const char*>(&on), 4), 0);
    const int32_t size = 8192;
    ASSERT_EQ(sk::intsetsockopt(s, sk::SOL_SOCKET_W, sk::SO_RCVBUF_W, reinterpret_cast<const char*>(&size), 4), 0);
    sk::SOCKADDR_INET_W rec = Loopback6();
    ASSERT_EQ(sk::intbind(s, &rec.Ipv4, sizeof rec), 0);
    ASSERT_EQ(sk::intlisten(s, 1), 0);
    int32_t v = 0;
    int vlen = sizeof v;
    ASSERT_EQ(sk::intgetsockopt(s, sk::SOL_SOCKET_W, sk::SO_REUSEADDR_W, reinterpret_cast<char*>(&v), &vlen), 0);
    EXPECT_NE(v, 0);
    ASSERT_EQ(sk::intgetsockopt(s, sk::SOL_SOCKET_W, sk::SO_RCVBUF_W, reinterpret_cast<char*>(&v), &vlen), 0);
    EXPECT_EQ(v, 8192);
    // A client made for IPv4 connects to it over IPv6, and the peer is an IPv6 record.
    const sk::SOCKET c = sk::intsocket(sk::AF_INET_W, sk::SOCK_STREAM_W, 0);
    int len = sizeof rec;
    ASSERT_EQ(sk::intgetsockname(s, &rec.Ipv4, &len), 0);
    ASSERT_EQ(sk::intconnect(c, &rec.Ipv4, sizeof rec), 0);  // blocking: made at once
    sk::SOCKADDR_INET_W peer;
    len = sizeof peer;
    const sk::SOCKET a = sk::intaccept(s, &peer.Ipv4, &len);
    ASSERT_NE(a, sk::INVALID_SOCKET);
    EXPECT_EQ(len, 28);
    EXPECT_EQ(peer.Ipv6.sin6_addr[15], 1);
    for (sk::SOCKET x : {a, c, s}) sk::intclosesocket(x);
}

}  // namespace
