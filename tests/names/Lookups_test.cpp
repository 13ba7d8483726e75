// Blocking look-ups of TAVSocketUtil against the system's resolver, hosts and services files.
#include <tavsock/TAVSocketUtil.hpp>

#include "NamesTestUtil.hpp"
#include "names/HostInfoAccess.hpp"
#include "names/SocketUtilAccess.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

using tav::test::StartedStack;

namespace {

constexpr int32_t kLoopbackNet = 0x0100007F;  // 127.0.0.1 in network byte order, read little-endian

class Lookups : public StartedStack {
protected:
    std::shared_ptr<tav::TAVSocketUtil> util_ = tav::SocketUtilAccess::Create();
};

TEST_F(Lookups, LocalhostResolvesByNameAndByAddress) {
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

    // Lists are 1-based and bounded on both sides.
    EXPECT_INVALID_PARAMETER(byName->Address(0));
    EXPECT_INVALID_PARAMETER(byName->Address(byName->AddressCount() + 1));
    EXPECT_INVALID_PARAMETER(byName->Alias(0));
    EXPECT_INVALID_PARAMETER(byName->Alias(byName->AliasCount() + 1));
}

TEST_F(Lookups, UnknownHostGivesNoneWithoutRaising) {
    std::shared_ptr<tav::TAVHostInfo> host;
    EXPECT_NO_THROW(host = util_->GetHostByName("no-such-host.invalid"));
    EXPECT_FALSE(host);
    // 255.255.255.255 is what malformed text converts to; no host has it.
    EXPECT_NO_THROW(host = util_->GetHostByAddress("not an address"));
    EXPECT_FALSE(host);
}

TEST_F(Lookups, FailedLookUpClearsOnlyTheNameOfAnEarlierEntry) {
    const auto host = tav::HostInfoAccess::Create();
    host->GetHostByName("localhost");
    ASSERT_EQ(host->Name(), "localhost");
    const int32_t addresses = host->AddressCount();
    ASSERT_GE(addresses, 1);

    host->GetHostByName("no-such-host.invalid");
    EXPECT_EQ(host->Name(), "");
    EXPECT_EQ(host->AddressCount(), addresses);
    EXPECT_EQ(host->Address(1), kLoopbackNet);
}

TEST_F(Lookups, ServicesByNameAndPortFollowTheServicesFile) {
    const auto http = util_->GetServiceByName("http", "tcp");
    ASSERT_TRUE(http);
    EXPECT_EQ(http->Name(), "http");
    EXPECT_EQ(http->Port(), 80);
    EXPECT_EQ(http->Protocol(), "tcp");

    const auto domain = util_->GetServiceByName("domain", "udp");
    ASSERT_TRUE(domain);
    EXPECT_EQ(domain->Port(), 53);
    EXPECT_EQ(domain->Protocol(), "udp");

    // An empty protocol matches any: domain is listed for tcp and udp.
    const auto anyDomain = util_->GetServiceByName("domain", "");
    ASSERT_TRUE(anyDomain);
    EXPECT_EQ(anyDomain->Port(), 53);
    EXPECT_FALSE(anyDomain->Protocol().empty());

    // The port goes to the platform in network order: 80 must find http, not port 20480.
    const auto byPort = util_->GetServiceByPort(80, "tcp");
    ASSERT_TRUE(byPort);
    EXPECT_EQ(byPort->Name(), "http");
    EXPECT_EQ(byPort->Port(), 80);

    EXPECT_FALSE(util_->GetServiceByName("no-such-service", "tcp"));
}

TEST_F(Lookups, ProtocolsByNameAndNumber) {
    const auto tcp = util_->GetProtoByName("tcp");
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->Name(), "tcp");
    EXPECT_EQ(tcp->Protocol(), 6);

    const auto udp = util_->GetProtoByNumber(17);
    ASSERT_TRUE(udp);
    EXPECT_EQ(udp->Name(), "udp");
    EXPECT_EQ(udp->Protocol(), 17);

    EXPECT_FALSE(util_->GetProtoByName("no-such-protocol"));
    EXPECT_INVALID_PARAMETER(tcp->Alias(tcp->AliasCount() + 1));
}

TEST_F(Lookups, LocalHostNameHasNoTrailingNulAndResolves) {
    char expected[256] = {};
    ASSERT_EQ(::gethostname(expected, sizeof expected - 1), 0);
    const std::string name = util_->GetHostName();
    EXPECT_EQ(name, expected);
    EXPECT_EQ(name.find('\0'), std::string::npos);

    // HostIPAddress is the first address of that name, or "" when the name does not resolve.
    const auto host = util_->GetHostByName(name);
    const std::string address = util_->HostIPAddress();
    if (host && host->AddressCount() > 0)
        EXPECT_EQ(address, util_->DottedStrFromNetAddr(host->Address(1)));
    else
        EXPECT_EQ(address, "");
}

TEST(LookupsWithoutStartUp, FailQuietly) {
    // Without a started stack every look-up fails; none of them may raise.
    ASSERT_EQ(tav::sockintf::WSAStartupCount(), 0);
    const auto util = tav::SocketUtilAccess::Create();
    EXPECT_EQ(util->GetHostName(), "");
    EXPECT_EQ(util->HostIPAddress(), "");
    EXPECT_FALSE(util->GetHostByName("localhost"));
    EXPECT_FALSE(util->GetServiceByPort(80, "tcp"));
    EXPECT_FALSE(util->GetProtoByNumber(6));
}

}  // namespace
