// Copies of host and service records into their info objects: the host record as the
// background look-ups write it into the result buffer, the service record as the platform
// hands it over; and the start-up record of the thread an OSSockLibInfo is used on (each of
// those tests runs on new threads, whose records have never been written).
#include <tavsock/OSSockLibInfo.hpp>
#include <tavsock/TAVHostInfo.hpp>
#include <tavsock/TAVServiceInfo.hpp>

#include "NamesTestUtil.hpp"
#include "names/HostInfoAccess.hpp"
#include "names/SockLibInfoAccess.hpp"
#include "names/ServiceInfoAccess.hpp"
#include "platform/HostDb.hpp"

#include <cstring>
#include <tuple>

using tav::HostInfoAccess;
using tav::SockLibInfoAccess;
using tav::ThreadStartupRecord;
using tav::test::OnFreshThread;
using tav::sockintf::HOSTENT;
using tav::sockintf::hostdb::HostRecord;

namespace {

constexpr uint32_t kAddr1 = 0x0100000A;  // 10.0.0.1, network order
constexpr uint32_t kAddr2 = 0x0200000A;  // 10.0.0.2

/// Writes `rec` into the result buffer of `host` as the background look-ups do, lets `patch`
/// alter the written record, and loads it.
void Load(tav::TAVHostInfo& host, const HostRecord& rec, void (*patch)(HOSTENT&) = [](HOSTENT&) {}) {
    char* buf = HostInfoAccess::ResultBuffer(host);
    int needed = 0;
    ASSERT_EQ(tav::sockintf::hostdb::SerializeHostEnt(rec, buf, HostInfoAccess::kResultBufferLength, needed), 0);
    patch(*reinterpret_cast<HOSTENT*>(buf));
    HostInfoAccess::LoadFromBuffer(host);
}

TEST(HostInfo, LoadFromBufferCopiesNameAliasesAndAddressesInOrderAndLaterRecordsReplaceThem) {
    const auto host = HostInfoAccess::Create();
    char* buf = HostInfoAccess::ResultBuffer(*host);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buf) % alignof(HOSTENT), 0u);
    Load(*host, {"host.example", {"first", "second"}, 2, 4, {kAddr2, kAddr1}, {}});
    EXPECT_EQ(host->Name(), "host.example");
    ASSERT_EQ(host->AliasCount(), 2);
    EXPECT_EQ(host->Alias(1), "first");
    ASSERT_EQ(host->AddressCount(), 2);
    EXPECT_EQ(static_cast<uint32_t>(host->Address(1)), kAddr2);
    EXPECT_EQ(static_cast<uint32_t>(host->Address(2)), kAddr1);
    EXPECT_INVALID_PARAMETER(host->Address(3));
    EXPECT_INVALID_PARAMETER(host->Address(0));
    EXPECT_INVALID_PARAMETER(host->Alias(3));
    EXPECT_INVALID_PARAMETER(host->Alias(0));

    // The copy owns its texts. The whole announced length plus the spare byte is writable
    // (ASan checks the bounds).
    std::memset(buf, 0x5A, HostInfoAccess::kResultBufferLength + 1);
    EXPECT_EQ(host->Alias(2), "second");

    // Later records replace the lists; only IPv4 addresses are taken.
    Load(*host, {"one", {"a"}, 2, 4, {kAddr1}, {}});
    ASSERT_EQ(host->AddressCount(), 1);
    // Another family: name and aliases, but the addresses (and the earlier one) are gone.
    Load(*host, {"v6host", {"x", "y"}, 23, 4, {kAddr1, kAddr2}, {}});
    EXPECT_EQ(host->Name(), "v6host");
    EXPECT_EQ(host->AliasCount(), 2);
    EXPECT_EQ(host->AddressCount(), 0);
    EXPECT_INVALID_PARAMETER(host->Address(1));

    // The alias list ends at the first empty text; a null name reads empty.
    Load(*host, {"", {"a1", "a2", "", "after-the-end"}, 2, 4, {}, {}}, [](HOSTENT& h) { h.h_name = nullptr; });
    EXPECT_EQ(host->Name(), "");
    EXPECT_EQ(host->AliasCount(), 2);
    HOSTENT bare{nullptr, nullptr, 2, 4, nullptr};  // null lists: nothing to walk
    HostInfoAccess::CopyHostEnt(*host, bare);
    EXPECT_EQ(host->AliasCount() + host->AddressCount(), 0);
}

TEST(ServiceInfo, PortAbove32767ReadsNegativeAndAliasesStopAtEmpty) {
    char name[] = "high", proto[] = "udp", a1[] = "h1", empty[] = "", late[] = "late";
    char* aliases[] = {a1, empty, late, nullptr};
    const tav::sockintf::SERVENT rec{name, aliases, static_cast<int16_t>(tav::sockintf::inthtons(40000)), proto};
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

void ExpectNeverStarted(const tav::OSSockLibInfo& info) {
    EXPECT_EQ(std::make_tuple(info.CurrentVersion(), info.HighVersion(), info.MaxSockets(), info.MaxUDPDatagramSize()),
              std::make_tuple(0, 0, 0, 0));
    EXPECT_EQ(info.Description() + info.SystemStatus() + info.VendorInfo(), "");
    EXPECT_FALSE(info.HasMaxUDPDatagramSize());
}

TEST(OSSockLibInfo, ShowsTheLatestStartUpOfItsThreadOnly) {
    OnFreshThread([] {
        const auto info = SockLibInfoAccess::Create();  // made before the start-up
        ExpectNeverStarted(*info);
        ASSERT_EQ(tav::sockintf::intWSAStartup(0x0101, &ThreadStartupRecord()), 0);
        EXPECT_EQ(info->CurrentVersion(), 257);
        EXPECT_EQ(info->HighVersion(), 0x0202);
        EXPECT_FALSE(info->Description().empty());
        EXPECT_FALSE(info->SystemStatus().empty());
        EXPECT_GT(info->MaxSockets(), 0);
        EXPECT_EQ(info->MaxUDPDatagramSize(), 65507);
        EXPECT_FALSE(info->HasMaxUDPDatagramSize());  // packed 1.1 is 257, not below 2
        OnFreshThread([] { ExpectNeverStarted(*SockLibInfoAccess::Create()); });
        tav::sockintf::intWSACleanup();
    });
}

TEST(OSSockLibInfo, EdgesOfTheRecordFields) {
    static const char vendor[] = "vendor text";
    OnFreshThread([] {
        auto& rec = ThreadStartupRecord();
        rec.wVersion = 1;  // 1.0
        std::memset(rec.szDescription, 'd', sizeof rec.szDescription);  // no NUL anywhere
        std::strcpy(rec.szSystemStatus, "up");
        rec.iMaxSockets = 40000;
        rec.iMaxUdpDg = 65000;
        rec.lpVendorInfo = vendor;
        const auto info = SockLibInfoAccess::Create();
        EXPECT_EQ(info->CurrentVersion(), 1);
        EXPECT_EQ(info->Description(), "");
        EXPECT_EQ(info->SystemStatus(), "up");
        EXPECT_EQ(info->MaxSockets(), 40000);
        EXPECT_EQ(info->MaxUDPDatagramSize(), 65000);
        EXPECT_TRUE(info->HasMaxUDPDatagramSize());
        EXPECT_EQ(info->VendorInfo(), "vendor text");
    });
}

}  // namespace
