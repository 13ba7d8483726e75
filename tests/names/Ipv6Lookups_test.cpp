// Host look-ups with IPv6 addresses: literals, the order of the address list, and look-ups by
// IPv6 address.
#include <tavsock/TAVSocketUtil.hpp>

#include "NamesTestUtil.hpp"
#include "names/HostInfoAccess.hpp"
#include "names/SocketUtilAccess.hpp"
#include "platform/SockLayer.hpp"

using namespace tav;
using tav::test::StartedStack;

namespace {

class Ipv6Lookups : public StartedStack {
protected:
    std::shared_ptr<TAVSocketUtil> util_ = SocketUtilAccess::Create();
};

TEST_F(Ipv6Lookups, Ipv6LiteralsResolveToThemselvesAndIpv4StaysAsItWas) {
    for (const char* text : {"::1", "[::1]", "0:0:0:0:0:0:0:1"}) {
        SCOPED_TRACE(text);
        const auto host = util_->GetHostByName(text);
        ASSERT_TRUE(host);
        EXPECT_EQ(host->AddressCount(), 0);  // the 32-bit list is IPv4 only
        ASSERT_EQ(host->IPAddressCount(), 1);
        EXPECT_EQ(host->IPAddress(1), "::1");
    }
    const auto v4 = util_->GetHostByName("127.0.0.1");
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->IPAddressCount(), 1);
    EXPECT_EQ(v4->IPAddress(1), "127.0.0.1");
    // By IPv6 address the look-up is made; ::1 has no name here, so it finds none and says so
    // quietly, as for IPv4.
    (void)util_->GetHostByAddress("::1");
    EXPECT_NE(sockintf::intWSAGetLastError(), sockintf::WSAEAFNOSUPPORT);
}

TEST_F(Ipv6Lookups, EveryAddressIsListedIpv4FirstUnlessIpv6IsPreferred) {
    char a1[4] = {10, 0, 0, 1}, a2[4] = {10, 0, 0, 2};
    char* addrs[] = {a1, a2, nullptr};
    char* aliases[] = {nullptr};
    char name[] = "both";
    const sockintf::HOSTENT rec{name, aliases, 2, 4, addrs};
    sockintf::Inet6Address one, two;
    one.bytes[15] = 1;
    two.bytes = {0x20, 0x01, 0x0d, 0xb8};
    sockintf::detail::tHostAddresses6 = {one, two};
    auto host = HostInfoAccess::Create();
    HostInfoAccess::CopyHostEnt(*host, rec);
    HostInfoAccess::CopyAddresses6(*host);
    sockintf::detail::tHostAddresses6.clear();

    ASSERT_EQ(host->IPAddressCount(), 4);
    const std::vector<std::string> v4First{"10.0.0.1", "10.0.0.2", "::1", "2001:db8::"};
    const std::vector<std::string> v6First{"::1", "2001:db8::", "10.0.0.1", "10.0.0.2"};
    for (bool prefer : {false, true}) {
        host->PreferIPv6(prefer);
        std::vector<std::string> got;
        for (int32_t i = 1; i <= host->IPAddressCount(); ++i) got.push_back(host->IPAddress(i));
        EXPECT_EQ(got, prefer ? v6First : v4First);
    }
    EXPECT_INVALID_PARAMETER(host->IPAddress(0));
    EXPECT_INVALID_PARAMETER(host->IPAddress(5));
    EXPECT_EQ(host->AddressCount(), 2);
}

}  // namespace
