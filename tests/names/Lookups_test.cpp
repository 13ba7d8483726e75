// Blocking look-ups of TAVSocketUtil and the info objects against the system's resolver, hosts,
// services and protocols files. The records themselves are pinned by the socket layer's tests;
// these pin what the objects make of them.
#include <tavsock/TAVSocketUtil.hpp>

#include "NamesTestUtil.hpp"
#include "names/HostInfoAccess.hpp"
#include "names/ProtocolInfoAccess.hpp"
#include "names/ServiceInfoAccess.hpp"
#include "names/SocketUtilAccess.hpp"

#include <unistd.h>

using namespace tav;
using tav::test::StartedStack;

namespace {

constexpr int32_t kLoopbackNet = 0x0100007F;  // 127.0.0.1 in network byte order, read little-endian

class Lookups : public StartedStack {
protected:
    std::shared_ptr<TAVSocketUtil> util_ = SocketUtilAccess::Create();
};

TEST_F(Lookups, LocalhostResolvesByNameAndByAddressAndUnknownHostsGiveNone) {
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

TEST_F(Lookups, LocalHostNameHasNoTrailingNulAndResolves) {
    char expected[256] = {};
    ASSERT_EQ(::gethostname(expected, sizeof expected - 1), 0);
    const std::string name = util_->GetHostName();
    EXPECT_EQ(name, expected);
    EXPECT_EQ(name.find('\0'), std::string::npos);

    // HostIPAddress is the first address of that name, or "" when the name does not resolve.
    const auto host = util_->GetHostByName(name);
    const bool resolves = host && host->AddressCount() > 0;
    EXPECT_EQ(util_->HostIPAddress(), resolves ? util_->DottedStrFromNetAddr(host->Address(1)) : "");
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
