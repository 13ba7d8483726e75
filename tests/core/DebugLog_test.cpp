#include "core/DebugLog.hpp"
#include "platform/Diagnostics.hpp"

#include <tavsock/TAVSockAddr.hpp>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace tav;
namespace fs = std::filesystem;

namespace {

// Points the marker and log folders at a fresh temporary folder.
class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/tavsock-log-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        root_ = templ;
        fs::create_directories(root_ / "config");
        fs::create_directories(root_ / "log");
        setenv("TAVSOCK_CONFIG_DIR", (root_ / "config").c_str(), 1);
        setenv("TAVSOCK_LOG_DIR", (root_ / "log").c_str(), 1);
        ResetDebugLogForTesting();
    }
    void TearDown() override {
        ResetDebugLogForTesting();
        unsetenv("TAVSOCK_CONFIG_DIR");
        unsetenv("TAVSOCK_LOG_DIR");
        fs::remove_all(root_);
    }
    void Marker(int level) { std::ofstream(root_ / "config" / ("DEBUGTAVSOCK" + std::to_string(level) + ".LVL")); }
    // The 300-character records of the log file, checked for their quotes and CR LF.
    static std::vector<std::string> Records() {
        std::ifstream in(DebugLogFileName(), std::ios::binary);
        std::string all = (std::ostringstream() << in.rdbuf()).str();
        EXPECT_EQ(all.size() % 304, 0u);
        std::vector<std::string> lines;
        for (size_t i = 0; i + 304 <= all.size(); i += 304) {
            EXPECT_EQ(all[i], '"');
            EXPECT_EQ(all.substr(i + 301, 3), "\"\r\n");
            lines.push_back(all.substr(i + 1, 300));
        }
        return lines;
    }
    // True when `text` begins like `shape`, where '9' stands for any digit.
    static bool Shaped(const std::string& text, const std::string& shape) {
        for (size_t i = 0; i < shape.size(); ++i)
            if (i >= text.size() || (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]))
                return false;
        return true;
    }

    fs::path root_;
};

TEST_F(DebugLogTest, WithoutMarkerNothingIsOpenedAndTheFilesAreNotTestedAgain) {
    EXPECT_EQ(DebugLogLevel(), 9);
    Marker(2);  // too late: the level stays off
    WriteDebugLog(2, "lost");
    EXPECT_FALSE(DebugLogWanted(2));
    EXPECT_EQ(DebugLogFileName(), "");
    EXPECT_TRUE(fs::is_empty(root_ / "log"));
}

TEST_F(DebugLogTest, HighestMarkerWinsAndRecordsAreFixedWidth) {
    Marker(2);
    Marker(6);
    fs::create_directory(root_ / "config" / "DEBUGTAVSOCK8.LVL");  // a folder is no marker
    EXPECT_EQ(DebugLogLevel(), 6);
    WriteDebugLog(8, "eight");
    WriteDebugLog(2, "short");
    CloseDebugLogFile();  // the next line reopens the same file
    WriteDebugLog(6, std::string(290, 'x') + "END");
    std::string file = fs::path(DebugLogFileName()).filename().string();
    EXPECT_TRUE(Shaped(file, "TAVSockLOG999999") && file.ends_with(".txt") && file.size() > 20) << file;

    auto lines = Records();
    ASSERT_EQ(lines.size(), 2u);
    // Counter, date, time, last 9 characters of the seconds since midnight, four spaces.
    EXPECT_TRUE(Shaped(lines[0], "0001 9999-99-99 99:99:99 9999.9990    short ")) << lines[0];
    EXPECT_EQ(lines[0].find_last_not_of(' '), 42u);  // 43 characters, then spaces
    EXPECT_EQ(lines[1].substr(0, 5), "0002 ");
    EXPECT_EQ(lines[1].find("END"), std::string::npos);  // cut at 300
}

TEST_F(DebugLogTest, LevelOneWinsOutrightAndLogsOnlyFailedChecks) {
    Marker(8);
    Marker(1);
    EXPECT_EQ(DebugLogLevel(), 1);
    WriteDebugLog(2, "event");
    Diagnostics::Current().Check(false, "TAVSock.TAVSocket", "mHandle <> TAVSock_InvalidSocketHandle");
    Diagnostics::Current().ResetForTesting();
    auto lines = Records();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("mHandle <> TAVSock_InvalidSocketHandle<Source>TAVSock.TAVSocket"), std::string::npos);
}

TEST_F(DebugLogTest, MissingLogFolderIsNeverCreated) {
    Marker(2);
    setenv("TAVSOCK_LOG_DIR", (root_ / "missing").c_str(), 1);
    WriteDebugLog(2, "nowhere");
    EXPECT_EQ(DebugLogFileName(), "");
    EXPECT_FALSE(fs::exists(root_ / "missing"));
}

TEST(SourceName, JoinsLibraryTypeAndTrimmedProcedure) {
    auto addr = TAVSockAddr::Create();
    EXPECT_EQ(SourceName(addr.get(), ""), "TAVSock.TAVSockAddr");
    EXPECT_EQ(SourceName(Variant(addr), "  Send "), "TAVSock.TAVSockAddr.Send");
    EXPECT_EQ(SourceName("PrivateWndSupport", "PvtWndCreateWindow"), "TAVSock.PrivateWndSupport.PvtWndCreateWindow");
    EXPECT_EQ(SourceName(Variant(ObjectPtr()), "   "), "TAVSock.Nothing");
}

}  // namespace
