// Conversions of the socket support layer, address objects in both families (the text forms
// they take and give, what the IPv4-only members read for an IPv6 address), the socket
// layer's handling of IPv6 records and sockets on ::1, and the names of error numbers.
#include "core/SockAddrAccess.hpp"
#include "core/SocketSupport.hpp"
#include "names/SocketUtilAccess.hpp"
#include "platform/SockTestUtil.hpp"

#include <tavsock/CreateObject.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/TAVSockAddr.hpp>
#include <tavsock/WinsockErrors.hpp>

#include <gtest/gtest.h>

#include <net/if.h>

#include <array>
#include <cstring>

using namespace tav;
namespace ss = tav::SocketSupport;
namespace sk = tav::sockintf;

namespace {

template <class T>
std::array<uint8_t, sizeof(T)> Bytes(T v) {
    std::array<uint8_t, sizeof(T)> b;
    std::memcpy(b.data(), &v, sizeof(T));
    return b;
}

TEST(SocketSupport, AddressesByteOrderWordsTextAndBytesConvertAsTheModelDoes) {
    EXPECT_EQ(Bytes(ss::NetAddrFromDottedStr("127.0.0.1")), (std::array<uint8_t, 4>{127, 0, 0, 1}));
    EXPECT_EQ(ss::NetAddrFromDottedStr("not an address"), -1);
    EXPECT_FALSE(ss::IsWellFormedDottedStr("255.255.255.255"));  // same value as the failure
    EXPECT_EQ(Bytes(ss::HostToNetLong(0x01020304)), (std::array<uint8_t, 4>{1, 2, 3, 4}));

    EXPECT_EQ(ss::HighWord((10061 << 16) | 16), 10061);
    EXPECT_EQ(ss::LowWord((10061 << 16) | 16), 16);
    EXPECT_EQ(ss::HighWord(-1), 0);  // -1 / 65536 truncates to 0
    EXPECT_EQ(ss::LowWord(-1), -1);
    EXPECT_EQ(ss::HighWord(-65536), -1);
    EXPECT_EQ(ss::HighWord(static_cast<int32_t>(0x8000FFFFu)), static_cast<int16_t>(0x8001));  // not a shift

    // Text and bytes convert one to one; a NUL ends text.
    EXPECT_EQ(ss::ByteArrayFromString("abc"), (ByteArray{97, 98, 99}));
    std::string high("\xE9\xFF\x00z", 4);
    EXPECT_EQ(ss::StringFromByteArray(ss::ByteArrayFromString(high)), high);
    EXPECT_EQ(ss::TextBeforeNul(std::string("host\0\0", 6)), "host");
    EXPECT_EQ(ss::TextBeforeNul(std::string("\0abc", 4)), "");
    EXPECT_EQ(ss::TextBeforeNul("no terminator"), "");

    // The utility object's conversion takes bytes, text or nothing.
    auto util = SocketUtilAccess::Create();
    EXPECT_EQ(util->StringFromByteArray(Variant(util->ByteArrayFromString("abc"))), "abc");
    EXPECT_EQ(util->StringFromByteArray(Variant()), "");
    EXPECT_THROW(util->StringFromByteArray(Variant(5)), SockError);
}

TEST(TAVSockAddr, KeepsNetworkOrderInsideAndConvertsAtTheSurface) {
    auto a = std::dynamic_pointer_cast<TAVSockAddr>(CreateObject("tavsock.tavsockaddr"));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->IPAddress(), "0.0.0.0");
    EXPECT_EQ(a->Port(), 0);
    a->Port(-1);
    EXPECT_EQ(Bytes(SockAddrAccess::GetNetPort(*a)), (std::array<uint8_t, 2>{0xFF, 0xFF}));
    a->Port(static_cast<int16_t>(40000));  // above 32767: reads back negative
    EXPECT_EQ(a->Port(), -25536);

    a->IPAddress("192.168.1.20");
    auto rec = ss::AddrRecordFromSockAddr(*a);
    EXPECT_EQ(rec.sin_family, 2);
    EXPECT_EQ(Bytes(rec.sin_port), (std::array<uint8_t, 2>{0x9C, 0x40}));
    auto b = TAVSockAddr::Create();
    ss::SockAddrFromAddrRecord(rec, *b);
    EXPECT_EQ(b->IPAddress(), "192.168.1.20");
    EXPECT_EQ(b->Port(), -25536);
}

TEST(WinsockErrors, EveryNumberTheLayerReportsHasAName) {
    for (int err = 1; err < 134; ++err) {
        const int wsa = tav::sockintf::WsaErrorFromErrno(err);
        EXPECT_FALSE(tav::WinsockErrorName(wsa).empty()) << "errno " << err << " -> " << wsa;
    }
    EXPECT_EQ(tav::WinsockErrorText(10048), "WSAEADDRINUSE: address already in use");
    EXPECT_EQ(tav::WinsockErrorText(11001), "WSAHOST_NOT_FOUND: host not found");
    EXPECT_EQ(tav::WinsockErrorText(0), "no error");
    EXPECT_EQ(tav::WinsockErrorText(10000), "unknown error");
    EXPECT_EQ(tav::WinsockErrorName(static_cast<int32_t>(0x80040201u)), "");

    EXPECT_EQ(tav::WinsockErrorName(tav::wsa::WSAETIMEDOUT), "WSAETIMEDOUT");
}

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
        if (c.family == 23) {
            EXPECT_EQ(SockAddrAccess::GetNetAddress(*a), -1);
        }
    }
    a->IPAddress("2001:db8::7");
    EXPECT_EQ(ss::AddrRecordFromSockAddr(*a).sin_addr, 0xFFFFFFFFu);  // the IPv4 record's view
    a->IPAddress("10.1.2.3");  // back to IPv4
    EXPECT_EQ(a->Family(), 2);
    EXPECT_EQ(a->IPAddress(), "10.1.2.3");
}

TEST(Ipv6Sockets, RecordsNeedTheirRoomAndFreshStreamSocketsTakeIpv6WithTheirOptions) {
    sk::WSADATA data;
    ASSERT_EQ(sk::intWSAStartup(0x0101, &data), 0);
    sk::SOCKADDR_INET_W rec;
    const auto loopback6 = [&] {
        rec = sk::SOCKADDR_INET_W();
        rec.Ipv6.sin6_family = sk::AF_INET6_W;
        rec.Ipv6.sin6_addr[15] = 1;
    };
    int32_t v = -1;
    int vlen = sizeof v;
    auto option = [&](sk::SOCKET s, int level, int name) {
        return sk::intgetsockopt(s, level, name, reinterpret_cast<char*>(&v), &vlen) == 0 ? v : -sk::intWSAGetLastError();
    };

    // Dual stack unless asked (until bound to one IPv6 address, which the system makes IPv6
    // only); an IPv4 socket has no such option.
    const sk::SOCKET d6 = sk::intsocket(sk::AF_INET6_W, sk::SOCK_DGRAM_W, 0);
    const sk::SOCKET d4 = sk::intsocket(sk::AF_INET_W, sk::SOCK_DGRAM_W, 0);
    EXPECT_EQ(option(d6, sk::IPPROTO_IPV6_W, sk::IPV6_V6ONLY_W), 0);
    EXPECT_EQ(option(d4, sk::IPPROTO_IPV6_W, sk::IPV6_V6ONLY_W), -sk::WSAENOPROTOOPT);
    loopback6();
    EXPECT_WSA_FAIL(sk::intbind(d6, &rec.Ipv4, 16), sk::WSAEFAULT);  // an IPv6 record in 16 bytes
    ASSERT_EQ(sk::intbind(d6, &rec.Ipv4, sizeof rec), 0);
    int len = 16;
    EXPECT_WSA_FAIL(sk::intgetsockname(d6, &rec.Ipv4, &len), sk::WSAEFAULT);  // no room for the IPv6 answer
    len = sizeof rec;
    ASSERT_EQ(sk::intgetsockname(d6, &rec.Ipv4, &len), 0);
    EXPECT_EQ(len, 28);
    // A datagram socket keeps its family.
    loopback6();
    EXPECT_WSA_FAIL(sk::intbind(d4, &rec.Ipv4, sizeof rec), sk::WSAEAFNOSUPPORT);

    // A fresh stream socket changes family under its handle and keeps what it was given.
    const sk::SOCKET s = sk::intsocket(sk::AF_INET_W, sk::SOCK_STREAM_W, 0);
    const int32_t values[] = {1, 8192};
    ASSERT_EQ(sk::intsetsockopt(s, sk::SOL_SOCKET_W, sk::SO_REUSEADDR_W, reinterpret_cast<const char*>(&values[0]), 4), 0);
    ASSERT_EQ(sk::intsetsockopt(s, sk::SOL_SOCKET_W, sk::SO_RCVBUF_W, reinterpret_cast<const char*>(&values[1]), 4), 0);
    loopback6();
    ASSERT_EQ(sk::intbind(s, &rec.Ipv4, sizeof rec), 0);
    len = sizeof rec;
    ASSERT_EQ(sk::intgetsockname(s, &rec.Ipv4, &len), 0);
    EXPECT_EQ(rec.si_family, sk::AF_INET6_W);
    EXPECT_NE(option(s, sk::SOL_SOCKET_W, sk::SO_REUSEADDR_W), 0);
    EXPECT_EQ(option(s, sk::SOL_SOCKET_W, sk::SO_RCVBUF_W), 8192);

    // One given no option keeps the stack's own sizing: its send buffer grows with the
    // connection (a size set on the way would have fixed it at the 16 KiB default).
    const sk::SOCKET l6 = sk::intsocket(sk::AF_INET6_W, sk::SOCK_STREAM_W, 0);
    loopback6();
    ASSERT_EQ(sk::intbind(l6, &rec.Ipv4, sizeof rec), 0);
    ASSERT_EQ(sk::intlisten(l6, 1), 0);
    len = sizeof rec;
    ASSERT_EQ(sk::intgetsockname(l6, &rec.Ipv4, &len), 0);
    const sk::SOCKET c = sk::intsocket(sk::AF_INET_W, sk::SOCK_STREAM_W, 0);
    ASSERT_EQ(sk::intconnect(c, &rec.Ipv4, sizeof rec), 0);
    EXPECT_GT(option(c, sk::SOL_SOCKET_W, sk::SO_SNDBUF_W), 16384);
    for (sk::SOCKET x : {s, d4, d6, l6, c}) sk::intclosesocket(x);
    sk::intWSACleanup();
}

}  // namespace
