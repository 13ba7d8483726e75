// OSSockLibInfo reads the start-up record of the thread it is used on. Each test runs on new
// threads, whose records have never been written (gtest assertions are thread-safe here).
#include <tavsock/OSSockLibInfo.hpp>

#include "NamesTestUtil.hpp"
#include "names/SockLibInfoAccess.hpp"

#include <cstring>
#include <tuple>

namespace {

using tav::SockLibInfoAccess;
using tav::ThreadStartupRecord;
using tav::test::OnFreshThread;

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
