#include "core/SockAddrAccess.hpp"
#include "core/SocketSupport.hpp"
#include "names/SocketUtilAccess.hpp"

#include <tavsock/CreateObject.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/TAVSockAddr.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cstring>

using namespace tav;
namespace ss = tav::SocketSupport;

namespace {

template <class T>
std::array<uint8_t, sizeof(T)> Bytes(T v) {
    std::array<uint8_t, sizeof(T)> b;
    std::memcpy(b.data(), &v, sizeof(T));
    return b;
}

TEST(SocketSupport, AddressesByteOrderAndWordsConvertAsTheModelDoes) {
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
}

TEST(SocketSupport, TextAndBytesConvertOneToOneAndNulEndsText) {
    EXPECT_EQ(ss::ByteArrayFromString("abc"), (ByteArray{97, 98, 99}));
    std::string high("\xE9\xFF\x00z", 4);
    EXPECT_EQ(ss::StringFromByteArray(ss::ByteArrayFromString(high)), high);
    EXPECT_EQ(ss::TextBeforeNul(std::string("host\0\0", 6)), "host");
    EXPECT_EQ(ss::TextBeforeNul(std::string("\0abc", 4)), "");
    EXPECT_EQ(ss::TextBeforeNul("no terminator"), "");
}

TEST(TAVSockAddr, KeepsNetworkOrderInsideAndConvertsAtTheSurface) {
    auto a = std::dynamic_pointer_cast<TAVSockAddr>(CreateObject("tavsock.tavsockaddr"));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->IPAddress(), "0.0.0.0");
    EXPECT_EQ(a->Port(), 0);
    a->IPAddress("bad.text");
    EXPECT_EQ(a->IPAddress(), "255.255.255.255");
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

TEST(TAVSocketUtil, StringFromByteArrayTakesBytesTextOrEmpty) {
    auto util = SocketUtilAccess::Create();
    EXPECT_EQ(util->StringFromByteArray(Variant(util->ByteArrayFromString("abc"))), "abc");
    EXPECT_EQ(util->StringFromByteArray(Variant()), "");
    EXPECT_THROW(util->StringFromByteArray(Variant(5)), SockError);
}

}  // namespace
