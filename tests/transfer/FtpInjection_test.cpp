// Names from outside never become FTP commands: against vsftpd, where anonymous users may
// delete, every way a CR, LF or NUL could smuggle a DELE into a command is refused before
// anything is sent, and the victim file survives.
#include "transfer/FtpTestUtil.hpp"

#include "base/SockErrors.hpp"

namespace transfertest {
namespace {

TEST_F(FtpClientTest, CommandTextWithCrLfOrNulIsRefusedAndNothingIsDeleted) {
    if (!Installed(kVsftpd)) GTEST_SKIP() << "vsftpd is not installed";
    Vsftpd server("", "anon_other_write_enable=YES\n");
    ASSERT_TRUE(server.Started()) << server.Log();
    const std::string victim = server.Path("root/upload/victim.txt");
    WriteFile(victim, "keep me");
    WriteFile(server.Path("root/pub/readme.txt"), "hello");
    TempDir dir;
    const std::string local = dir / "local.txt";
    WriteFile(local, "upload");

    ftp->PairReplies(true);
    ftp->Port(server.Port());
    ASSERT_EQ(ftp->Connect("127.0.0.1"), 0);
    ASSERT_TRUE(notes.WaitFor("Ready")) << notes.Joined();
    const int32_t commandText = SockErrorNumber(kErrCommandText);
    const std::string dele = "DELE upload/victim.txt";
    const std::pair<const char*, std::function<void()>> forms[] = {
        {"RETR CR LF", [&] { ftp->Retrieve("pub/readme.txt\r\n" + dele, dir / "out"); }},
        {"RETR LF", [&] { ftp->Retrieve("pub/readme.txt\n" + dele); }},
        {"RETR NUL", [&] { ftp->Retrieve(std::string("pub/readme.txt\0", 15) + dele); }},
        {"STOR", [&] { ftp->Store("upload/new.txt\r\n" + dele, local); }},
        {"NLST", [&] { ftp->NameList("pub\r\n" + dele); }},
        {"LIST", [&] { ftp->List("pub\n" + dele); }},
        {"CWD", [&] { ftp->chDir("pub\r\n" + dele); }},
        {"USER", [&] { ftp->User("anonymous\r\n" + dele); }},
        {"ACCT", [&] { ftp->Account("x\r" + dele); }},
    };
    for (const auto& [what, form] : forms) {
        EXPECT_EQ(test::Raised(form), commandText) << what;
        EXPECT_EQ(ClientState(), st::Ready) << what;  // the session is unchanged
    }
    EXPECT_EQ(ftp->User(), "Anonymous");
    EXPECT_EQ(ftp->Account(), "");
    EXPECT_FALSE(fs::exists(dir / "out"));  // refused before the local file was touched

    // Texts only the login sends are checked when it would send them.
    ftp->Reset();
    ftp->Password("me@example\r\n" + dele);
    EXPECT_EQ(test::Raised([&] { ftp->Connect("127.0.0.1"); }), commandText);
    EXPECT_EQ(ftp->State(), 0);
    ftp->Password("me@example");
    EXPECT_EQ(test::Raised([&] { ftp->Connect(std::string("127.0.0.1\0", 10)); }), commandText);
    EXPECT_EQ(ReadFile(victim), "keep me");
    // Blanks, tabs and bytes above 127 are ordinary text.
    ASSERT_EQ(test::Raised([&] { ftp->Connect("127.0.0.1"); }), 0);
    ASSERT_TRUE(notes.WaitFor("Ready", 2)) << notes.Joined();
    EXPECT_EQ(test::Raised([&] { ftp->chDir("a dir, tabs\tand \xE9"); }), 0);
}

}  // namespace
}  // namespace transfertest
