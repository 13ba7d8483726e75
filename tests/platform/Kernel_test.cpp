// Kernel services: the keyed list, failed checks and the debug log.
#include "platform/Diagnostics.hpp"
#include "platform/KeyedList.hpp"
#include "SockTestUtil.hpp"

#include <tavsock/SockError.hpp>
#include <tavsock/TAVSockAddr.hpp>

#include <gtest/gtest.h>

#include <cctype>

using namespace tav;
using tav::test::DebugLogFolder;
namespace fs = std::filesystem;

namespace {

TEST(KeyedList, PositionsCloseUpAfterRemovalAndKeysFollow) {
    KeyedList<std::string> list;
    EXPECT_TRUE(list.Add("a", "k1"));
    EXPECT_TRUE(list.Add("b"));
    EXPECT_TRUE(list.Add("c", "k3"));
    EXPECT_FALSE(list.Add("d", "k1"));  // duplicate key: unchanged
    EXPECT_EQ(list.Count(), 3);
    EXPECT_LT(list.PositionOfKey("K3"), 0);  // exact keys
    list.RemoveAt(1);
    EXPECT_EQ(list.ItemAt(1), "b");
    EXPECT_EQ(list.PositionOfKey("k3"), 2);
    EXPECT_EQ(list.PositionOfItem("c"), 2);
    EXPECT_FALSE(list.IsValidPosition(3));
    EXPECT_THROW(list.RemoveAt(3), SockError);

    // Text keys and numbers (which are filed apart) follow their entries alike; a number is
    // its own decimal text only ("01", "+1" are other keys; large ones are filed as text).
    KeyedList<int> many;
    const auto keyOf = [](int i) { return i % 2 ? "key" + std::to_string(i) : std::to_string(i * 3 + 1); };
    for (int i = 0; i < 400; ++i) ASSERT_TRUE(many.Add(i, keyOf(i)));
    EXPECT_FALSE(many.Add(-1, "1"));
    for (const char* other : {"0", "01", "+1", "999999", "1048576"}) {
        EXPECT_LT(many.PositionOfKey(other), 0) << other;
        EXPECT_TRUE(many.Add(-1, other) && many.ContainsKey(other)) << other;
        EXPECT_FALSE(many.Add(-2, other)) << other;
        many.RemoveAt(many.PositionOfKey(other));
        EXPECT_FALSE(many.ContainsKey(other));
    }
    for (int pos = many.Count(); pos >= 1; pos -= 3) many.RemoveAt(pos);
    for (int pos = 1; pos <= many.Count(); ++pos) {
        EXPECT_EQ(many.PositionOfKey(many.KeyAt(pos)), pos);
        EXPECT_EQ(many.KeyAt(pos), keyOf(many.ItemAt(pos)));
    }

    KeyedList<int, NoCaseKeyHash, NoCaseKeyEq> noCase;
    noCase.Add(1, "Server\xC9");
    EXPECT_FALSE(noCase.Add(2, "SERVER\xE9"));
    EXPECT_EQ(noCase.KeyAt(noCase.PositionOfKey("server\xE9")), "Server\xC9");
}

TEST(Diagnostics, FailedChecksAreCountedTheNewestKeptAndCollectionChecksTakePositionsOrKeys) {
    Diagnostics& diag = Diagnostics::Current();
    diag.ResetForTesting();
    EXPECT_TRUE(diag.Check(true, "TAVSock.TAVSocket", "NewValue >= 0"));
    EXPECT_FALSE(diag.Check(false, "TAVSock.TAVSocket.Bind", "mHandle <> TAVSock_InvalidSocketHandle"));
    EXPECT_EQ(diag.FailureCount(), 1);
    EXPECT_EQ(diag.LastFailures().back().source, "TAVSock.TAVSocket.Bind");
    EXPECT_EQ(diag.LastFailures().back().text, "mHandle <> TAVSock_InvalidSocketHandle");
    for (int i = 0; i < 40; ++i) diag.ReportFailure("f" + std::to_string(i), "src");
    EXPECT_EQ(diag.FailureCount(), 41);
    EXPECT_EQ(diag.LastFailures().size(), Diagnostics::kKeptFailures);
    EXPECT_EQ(diag.LastFailures().front().text, "f8");
    diag.ResetForTesting();

    // Collections are indexed by position or by key.
    KeyedList<int> list;
    list.Add(10, "one");
    list.Add(20);
    EXPECT_TRUE(diag.CheckIndexOrKey(list, Variant(int16_t(2)), "s"));
    EXPECT_TRUE(diag.CheckIndexOrKey(list, Variant(1.5), "s"));  // half to even: 2
    EXPECT_TRUE(diag.CheckIndexOrKey(list, Variant("one"), "s"));
    EXPECT_EQ(diag.FailureCount(), 0);
    for (const Variant& bad : {Variant(0), Variant(3), Variant(1e12), Variant()})
        EXPECT_FALSE(diag.CheckIndexOrKey(list, bad, "s"));
    EXPECT_FALSE(diag.CheckIndexOrKey(list, Variant("ONE"), "TAVSock.TAVSockets.Get Item"));
    EXPECT_EQ(diag.LastFailures().back().text, "Key not found: \"ONE\"");
    EXPECT_EQ(diag.FailureCount(), 5);
    EXPECT_TRUE(Diagnostics::KeyTest([](const std::string& k) { return k == "x"; }, "x"));
    EXPECT_FALSE(Diagnostics::IndexTest(list, 3));
    diag.ResetForTesting();

    EXPECT_EQ(Diagnostics::TextOfValue(Variant()), "Empty");
    EXPECT_EQ(Diagnostics::TextOfValue(Variant("a\r\n")), "\"a\\x0D\\x0A\"");
    EXPECT_EQ(Diagnostics::TextOfValue(Variant(ByteArray{0x61, 0xFF})), "Byte(2): 61 FF");
    EXPECT_EQ(Diagnostics::TextOfValue(Variant(TAVSockAddr::Create())), "Object TAVSockAddr");
}

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
