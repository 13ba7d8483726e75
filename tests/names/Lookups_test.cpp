// Blocking look-ups of TAVSocketUtil and the info objects against the system's resolver, hosts,
// services and protocols files. The records themselves are pinned by the socket layer's tests;
// these pin what the objects make of them.
#include <tavsock/TAVSocketUtil.hpp>

#include "NamesTestUtil.hpp"
#include "names/HostInfoAccess.hpp"
#include "names/ProtocolInfoAccess.hpp"
#include "names/ServiceInfoAccess.hpp"
#include "names/SocketUtilAccess.hpp"
#include "platform/SockLayer.hpp"

#include <unistd.h>

using namespace tav;
using tav::test::StartedStack;

namespace {

constexpr int32_t kLoopbackNet = 0x0100007F;  // 127.0.0.1 in network byte order, read little-endian

class Lookups : public StartedStack {
protected:
    std::shared_ptr<TAVSocketUtil> util_ = SocketUtilAccess::Create();
};

TEST_F(Lookups, LocalhostAndTheLocalHostNameResolveByNameAndByAddressAndUnknownHostsGiveNone) {
    const auto byName = util_->GetHostByName("localhost");
    ASSERT_TRUE(byName);
    EXPECT_EQ(byName->Name(), "localhost");
    ASSERT_GE(byName->AddressCount(), 1);
    EXPECT_EQ(byName->Address(1), kLoopbackNet);

    const auto byAddress = util_->GetHostByAddress("127.0.0.1");
    ASSERT_TRUE(byAddress);
    EXPECT_FALSE(byAddress->Name().empty());
    ASSERT_GE(byAddress->AddressCount(), 1);
    EXPECT_EQ(byAddress->Address(1), kLoopbackNet);

    // Failures give nothing and never raise; malformed text converts to 255.255.255.255,
    // which no host has.
    EXPECT_FALSE(util_->GetHostByName("no-such-host.invalid"));
    EXPECT_FALSE(util_->GetHostByAddress("not an address"));

    // The local host's name has no trailing NUL.
    char expected[256] = {};
    ASSERT_EQ(::gethostname(expected, sizeof expected - 1), 0);
    const std::string name = util_->GetHostName();
    EXPECT_EQ(name, expected);
    EXPECT_EQ(name.find('\0'), std::string::npos);

    // It resolves, and HostIPAddress is its first address.
    const auto host = util_->GetHostByName(name);
    ASSERT_TRUE(host && host->AddressCount() > 0);
    EXPECT_EQ(util_->HostIPAddress(), util_->DottedStrFromNetAddr(host->Address(1)));
}

TEST_F(Lookups, ServicesAndProtocolsReadInHostOrder) {
    struct Case {
        const char* name;
        const char* proto;  // "" matches any protocol
        int16_t port;
    };
    for (const Case& c : {Case{"http", "tcp", 80}, Case{"domain", "udp", 53}, Case{"domain", "", 53}}) {
        const auto s = util_->GetServiceByName(c.name, c.proto);
        ASSERT_TRUE(s) << c.name << "/" << c.proto;
        EXPECT_EQ(s->Name(), c.name);
        EXPECT_EQ(s->Port(), c.port);
        if (*c.proto) EXPECT_EQ(s->Protocol(), c.proto);
        else EXPECT_FALSE(s->Protocol().empty());
    }
    // The port goes to the platform in network order: 80 must find http, not port 20480.
    const auto byPort = util_->GetServiceByPort(80, "tcp");
    ASSERT_TRUE(byPort);
    EXPECT_EQ(byPort->Name(), "http");
    EXPECT_FALSE(util_->GetServiceByName("no-such-service", "tcp"));
    EXPECT_EQ(sockintf::intWSAGetLastError(), sockintf::WSANO_DATA);  // listed nowhere, yet a fine name

    const auto tcp = util_->GetProtoByName("tcp");
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->Protocol(), 6);
    const auto udp = util_->GetProtoByNumber(17);
    ASSERT_TRUE(udp);
    EXPECT_EQ(udp->Name(), "udp");
    EXPECT_FALSE(util_->GetProtoByName("no-such-protocol"));
    EXPECT_INVALID_PARAMETER(tcp->Alias(tcp->AliasCount() + 1));
}

TEST_F(Lookups, FailedLookUpIntoAFilledObjectClearsOnlyTheName) {
    const auto host = HostInfoAccess::Create();
    host->GetHostByName("localhost");
    ASSERT_EQ(host->Name(), "localhost");
    const int32_t addresses = host->AddressCount();
    host->GetHostByName("no-such-host.invalid");
    EXPECT_EQ(host->Name(), "");
    EXPECT_EQ(host->AddressCount(), addresses);
    EXPECT_EQ(host->Address(1), kLoopbackNet);

    const auto service = ServiceInfoAccess::Create();
    ServiceInfoAccess::FillByName(*service, "http", "tcp");
    ASSERT_EQ(service->Name(), "http");
    ServiceInfoAccess::FillByPort(*service, 1, "no-such-protocol");
    EXPECT_EQ(service->Name(), "");
    EXPECT_EQ(service->Port(), 80);
    EXPECT_EQ(service->Protocol(), "tcp");

    const auto protocol = ProtocolInfoAccess::Create();
    ProtocolInfoAccess::FillByNumber(*protocol, 17);
    ASSERT_EQ(protocol->Name(), "udp");
    ProtocolInfoAccess::FillByName(*protocol, "no-such-protocol");
    EXPECT_EQ(protocol->Name(), "");
    EXPECT_EQ(protocol->Protocol(), 17);
}

// IPv6 addresses: literals, the order of the address list, look-ups by IPv6 address.
TEST_F(Lookups, Ipv6LiteralsResolveToThemselvesAndIpv4StaysAsItWas) {
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

TEST_F(Lookups, EveryAddressIsListedIpv4FirstUnlessIpv6IsPreferred) {
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

TEST(LookupsWithoutStartUp, FailQuietly) {
    ASSERT_EQ(sockintf::WSAStartupCount(), 0);
    const auto util = SocketUtilAccess::Create();
    EXPECT_EQ(util->GetHostName(), "");
    EXPECT_EQ(util->HostIPAddress(), "");
    EXPECT_FALSE(util->GetHostByName("localhost"));
    EXPECT_FALSE(util->GetServiceByPort(80, "tcp"));
    EXPECT_FALSE(util->GetProtoByNumber(6));
}

}  // namespace
