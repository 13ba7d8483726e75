// The FTP client's session against a real server (pyftpdlib, started by the fixture on
// 127.0.0.1 and on ::1, where the data connection's commands differ): the anonymous and a
// named user (and the dialogue of its login and a retrieve), directory changes and a wrong
// password. Transfers in both modes and families run against vsftpd.
#include "transfer/FtpTestUtil.hpp"

namespace transfertest {
namespace {

/// pyftpdlib on 127.0.0.1, or on ::1 when the parameter is true.
class FtpLoginTest : public FtpClientTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        FtpClientTest::SetUp();
        fs::create_directories(dir / "root/sub/deeper");
        WriteFile(dir / "root/sub/file.txt", "hello\n");
        // tests/tool/servers.py: `root` for the anonymous user and for joe/secret.
        const uint16_t port = StartOnFreePort(server, [&](uint16_t port) {
            return std::vector<std::string>{kPython, TAVSOCK_TESTS_DIR "/tool/servers.py", "pyftpd", dir / "root",
                                            GetParam() ? "::1" : "127.0.0.1", std::to_string(port)};
        }, dir / "ftpd.log", "", GetParam());
        ASSERT_NE(port, 0) << "pyftpdlib did not start: " << ReadFile(dir / "ftpd.log");
        site = GetParam() ? "::1" : "127.0.0.1";
        ftp->Port(port);
        ftp->Timeout(20000);
    }
    /// Logs in with replies kept in step with their commands.
    void PairedLogIn(const std::string& user, const std::string& password) {
        ftp->PairReplies(true);
        ftp->User(user);
        ftp->Password(password);
        ASSERT_EQ(ftp->Connect(site), 0);
        ASSERT_TRUE(PumpUntil([&] { return !notes.entries.empty(); }));
    }

    TempDir dir;
    Process server;
};

TEST_P(FtpLoginTest, AnonymousAndNamedUsersLogInChangeDirectoriesAndAWrongPasswordIs530) {
    // Classic pairing: the login ends after the reply to USER or to PASS, depending on how the
    // greeting arrives; either way the session becomes Ready with no error. (pyftpdlib knows
    // the anonymous user in lower case only.)
    ftp->User("anonymous");
    ASSERT_EQ(ftp->Connect(site), 0);
    ASSERT_TRUE(notes.WaitFor("Ready")) << notes.Joined();
    RunMessagesFor(std::chrono::milliseconds(50));
    EXPECT_EQ(notes.Joined(), "Ready");
    EXPECT_EQ(ftp->State(), 1);
    ftp->Reset();
    notes.Clear();

    PairedLogIn("joe", "secret");
    EXPECT_EQ(notes.Joined(), "Ready");
    EXPECT_EQ(ftp->State(), 1);
    // The whole dialogue of the login and a retrieve, in order, the password masked (a 1xx
    // code depends on whether the data connection came first).
    ASSERT_EQ(ftp->Retrieve("sub/file.txt"), 0);
    ASSERT_TRUE(notes.WaitFor("Ready", 2)) << notes.Joined();
    std::string dialogue;
    for (const std::string& line : notes.dialogue) {
        EXPECT_EQ(line.find("secret"), std::string::npos);
        dialogue += " | " + (line[0] == '>' ? line : line[2] == '1' ? "< 1xx" : line.substr(0, 5));
    }
    const std::string passive = GetParam() ? "> EPSV | < 229" : "> PASV | < 227";
    EXPECT_EQ(dialogue,
              " | < 220 | > USER joe | < 331 | > PASS **** | < 230 | " + passive + " | > RETR sub/file.txt | < 1xx | < 226");
    // Directory changes: "deeper" is found only from "sub", so each change really happened.
    notes.Clear();
    ASSERT_EQ(ftp->chDir("sub"), 0);
    ASSERT_TRUE(notes.WaitFor("Ready"));
    ASSERT_EQ(ftp->chDir("deeper"), 0);
    ASSERT_TRUE(notes.WaitFor("Ready", 2));
    ASSERT_EQ(ftp->chDirParent(), 0);
    ASSERT_TRUE(notes.WaitFor("Ready", 3));
    ASSERT_EQ(ftp->chDir("no-such-dir"), 0);
    ASSERT_TRUE(PumpUntil([&] { return notes.entries.size() == 4; }));
    EXPECT_EQ(notes.entries[3].rfind("Error:550", 0), 0u) << notes.Joined();
    ASSERT_EQ(ftp->chDir("deeper"), 0);
    ASSERT_TRUE(notes.WaitFor("Ready", 4));
    EXPECT_EQ(notes.entries.size(), 5u) << notes.Joined();
    ftp->Reset();
    notes.Clear();

    PairedLogIn("joe", "wrong");
    ASSERT_EQ(notes.entries.size(), 1u);
    EXPECT_EQ(notes.entries[0].rfind("Error:530: ", 0), 0u) << notes.Joined();
    EXPECT_EQ(ftp->State(), 1);  // Ready, though not logged in
}

INSTANTIATE_TEST_SUITE_P(Families, FtpLoginTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Ipv6" : "Ipv4"; });

}  // namespace
}  // namespace transfertest
