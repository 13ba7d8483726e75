// Copies of service and protocol records into their info objects.
#include <tavsock/TAVProtocolInfo.hpp>
#include <tavsock/TAVServiceInfo.hpp>

#include "NamesTestUtil.hpp"
#include "names/ProtocolInfoAccess.hpp"
#include "names/ServiceInfoAccess.hpp"

#include <gtest/gtest.h>

namespace {

using tav::sockintf::inthtons;

TEST(ServiceInfo, PortAbove32767ReadsNegativeAndAliasesStopAtEmpty) {
    char name[] = "high";
    char proto[] = "udp";
    char a1[] = "h1";
    char empty[] = "";
    char late[] = "late";
    char* aliases[] = {a1, empty, late, nullptr};
    const tav::sockintf::SERVENT rec{name, aliases, static_cast<int16_t>(inthtons(40000)), proto};

    const auto info = tav::ServiceInfoAccess::Create();
    tav::ServiceInfoAccess::CopyServEnt(*info, rec);
    EXPECT_EQ(info->Name(), "high");
    EXPECT_EQ(info->Port(), 40000 - 65536);
    EXPECT_EQ(info->Protocol(), "udp");
    ASSERT_EQ(info->AliasCount(), 1);
    EXPECT_EQ(info->Alias(1), "h1");
    EXPECT_INVALID_PARAMETER(info->Alias(2));
    EXPECT_INVALID_PARAMETER(info->Alias(0));
}

class InfoFill : public tav::test::StartedStack {};

TEST_F(InfoFill, FailedLookUpOnlyClearsTheName) {
    const auto service = tav::ServiceInfoAccess::Create();
    tav::ServiceInfoAccess::FillByName(*service, "http", "tcp");
    ASSERT_EQ(service->Name(), "http");
    tav::ServiceInfoAccess::FillByPort(*service, 1, "no-such-protocol");
    EXPECT_EQ(service->Name(), "");
    EXPECT_EQ(service->Port(), 80);
    EXPECT_EQ(service->Protocol(), "tcp");

    const auto protocol = tav::ProtocolInfoAccess::Create();
    tav::ProtocolInfoAccess::FillByNumber(*protocol, 17);
    ASSERT_EQ(protocol->Name(), "udp");
    tav::ProtocolInfoAccess::FillByName(*protocol, "no-such-protocol");
    EXPECT_EQ(protocol->Name(), "");
    EXPECT_EQ(protocol->Protocol(), 17);
}

}  // namespace
