#include "SocketObjectTestUtil.hpp"

#include <tavsock/TAVSockAddr.hpp>

#include <cctype>

using namespace tav;
using tav::test::DebugLogFolder;
namespace fs = std::filesystem;

namespace {

// True when `text` begins like `shape`, where '9' stands for any digit.
bool Shaped(const std::string& text, const std::string& shape) {
    for (size_t i = 0; i < shape.size(); ++i)
        if (i >= text.size() || (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]))
            return false;
    return true;
}

TEST(DebugLog, WithoutMarkerNothingIsOpenedAndTheFilesAreNotTestedAgain) {
    DebugLogFolder folder;
    EXPECT_EQ(DebugLogLevel(), 9);
    folder.Marker(2);  // too late: the level stays off
    WriteDebugLog(2, "lost");
    EXPECT_FALSE(DebugLogWanted(2));
    EXPECT_EQ(DebugLogFileName(), "");
    EXPECT_TRUE(fs::is_empty(folder.Root() / "log"));
}

TEST(DebugLog, HighestMarkerWinsAndRecordsAreFixedWidth) {
    DebugLogFolder folder(2);
    folder.Marker(6);
    fs::create_directory(folder.Root() / "DEBUGTAVSOCK8.LVL");  // a folder is no marker
    EXPECT_EQ(DebugLogLevel(), 6);
    WriteDebugLog(8, "eight");
    WriteDebugLog(2, "short");
    CloseDebugLogFile();  // the next line reopens the same file
    WriteDebugLog(6, std::string(290, 'x') + "END");
    EXPECT_EQ(fs::path(DebugLogFileName()).parent_path(), folder.Root() / "log");
    std::string file = fs::path(DebugLogFileName()).filename().string();
    EXPECT_TRUE(Shaped(file, "TAVSockLOG999999") && file.ends_with(".txt") && file.size() > 20) << file;

    auto lines = DebugLogFolder::Records();
    ASSERT_EQ(lines.size(), 2u);
    // Counter, date, time, last 9 characters of the seconds since midnight, four spaces.
    EXPECT_TRUE(Shaped(lines[0], "0001 9999-99-99 99:99:99 9999.9990    short ")) << lines[0];
    EXPECT_EQ(lines[0].find_last_not_of(' '), 42u);  // 43 characters, then spaces
    EXPECT_EQ(lines[1].substr(0, 5), "0002 ");
    EXPECT_EQ(lines[1].find("END"), std::string::npos);  // cut at 300
}

TEST(DebugLog, LevelOneWinsOutrightAndLogsOnlyFailedChecks) {
    DebugLogFolder folder(8);
    folder.Marker(1);
    EXPECT_EQ(DebugLogLevel(), 1);
    WriteDebugLog(2, "event");
    Diagnostics::Current().Check(false, "TAVSock.TAVSocket", "mHandle <> TAVSock_InvalidSocketHandle");
    Diagnostics::Current().ResetForTesting();
    auto lines = DebugLogFolder::Records();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("mHandle <> TAVSock_InvalidSocketHandle<Source>TAVSock.TAVSocket"), std::string::npos);
}

TEST(DebugLog, MissingLogFolderIsNeverCreated) {
    DebugLogFolder folder(2);
    setenv("TAVSOCK_LOG_DIR", (folder.Root() / "missing").c_str(), 1);
    WriteDebugLog(2, "nowhere");
    EXPECT_EQ(DebugLogFileName(), "");
    EXPECT_FALSE(fs::exists(folder.Root() / "missing"));
}

TEST(SourceName, JoinsLibraryTypeAndTrimmedProcedure) {
    auto addr = TAVSockAddr::Create();
    EXPECT_EQ(SourceName(addr.get(), ""), "TAVSock.TAVSockAddr");
    EXPECT_EQ(SourceName(Variant(addr), "  Send "), "TAVSock.TAVSockAddr.Send");
    EXPECT_EQ(SourceName("PrivateWndSupport", "PvtWndCreateWindow"), "TAVSock.PrivateWndSupport.PvtWndCreateWindow");
    EXPECT_EQ(SourceName(Variant(ObjectPtr()), "   "), "TAVSock.Nothing");
}

}  // namespace
