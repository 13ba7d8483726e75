// The FTP client's session against a scripted server: login, reply splitting, negative
// replies, 421, lost connections, the reply-buffer bound, the time-out and the properties.
#include "transfer/FtpTestUtil.hpp"

#include <tavsock/CreateObject.hpp>

#include "base/SockErrors.hpp"

namespace transfertest {
namespace {

using SessionTest = FtpClientTest;

TEST_F(SessionTest, PropertiesDefaultsAndLibraryErrors) {
    auto byName = std::dynamic_pointer_cast<TavFTPTransferMgr>(CreateObject("TAVSock.TavFTPTransferMgr"));
    ASSERT_TRUE(byName);
    EXPECT_EQ(byName->Port(), 21);
    EXPECT_EQ(byName->Timeout(), 0);

    const int32_t invalidParameter = SockErrorNumber(1), invalidState = SockErrorNumber(2);
    EXPECT_EQ(test::Raised([&] { ftp->Port(0); }), invalidParameter);
    EXPECT_EQ(test::Raised([&] { ftp->Port(65536); }), invalidParameter);
    EXPECT_EQ(ftp->Port(), 21);
    ftp->Port(65535);
    EXPECT_EQ(ftp->Port(), 65535);
    // Outside Ready: every command that needs a session is refused.
    for (const auto& command : std::initializer_list<std::function<void()>>{
             [&] { ftp->chDir("x"); }, [&] { ftp->chDirParent(); }, [&] { ftp->NameList(); }, [&] { ftp->Retrieve("x"); },
             [&] { ftp->Abort(); }})
        EXPECT_EQ(test::Raised(command), invalidState);
    ftp->PassiveMode(false);  // allowed while Disconnected
    EXPECT_FALSE(ftp->PassiveMode());

    DialogServer server;
    ftp->PassiveMode(true);
    LogIn(server);
    EXPECT_EQ(test::Raised([&] { ftp->PassiveMode(false); }), invalidState);
    EXPECT_TRUE(ftp->PassiveMode());
    EXPECT_EQ(test::Raised([&] { ftp->Abort(); }), invalidState);
    // In a pending state Abort sends ABOR and leaves the state alone.
    ASSERT_EQ(ftp->chDir("sub"), 0);
    ASSERT_TRUE(server.Expect("CWD sub"));
    EXPECT_EQ(ftp->Abort(), 0);
    ASSERT_TRUE(server.Expect("ABOR"));
    EXPECT_EQ(ClientState(), st::ChangingDir);
    EXPECT_EQ(ftp->State(), 2);
}

TEST_F(SessionTest, LoginWithEachReplyInItsOwnChunkEndsOneReplyEarlyAndUserWhileReadyLogsInAgain) {
    DialogServer server;
    ftp->User("joe");
    ftp->Password("secret");
    ConnectTo(server, "joe");  // USER goes out without waiting for the greeting
    EXPECT_EQ(ClientState(), st::UserSent);
    ftp->User("ignored");  // mid-login: not stored
    EXPECT_EQ(ftp->User(), "joe");
    // The greeting is taken as the reply to USER, so the 331 ends the login, and the 230
    // that follows arrives in Ready and changes nothing.
    Play(server, {"<220 welcome\r\n", ">PASS secret", "<331 password required\r\n", "=Ready"});
    EXPECT_EQ(ftp->State(), 1);
    Play(server, {"<230 logged in\r\n", "-", "=Ready"});
    EXPECT_EQ(server.commands, (std::vector<std::string>{"USER joe", "PASS secret"}));
    // Ready: a new user starts a new login with the password set since.
    ftp->Password("pw2");
    ftp->User("second");
    EXPECT_EQ(ClientState(), st::UserSent);
    Play(server, {">USER second", "<331 pw\r\n", ">PASS pw2", "<230 ok\r\n", "=Ready | Ready"});
}

TEST_F(SessionTest, GreetingAsOneMultiLineReplyOrSplitAcrossChunks) {
    // One chunk: the lines of the greeting are one reply; PASS follows it once.
    DialogServer server;
    ConnectTo(server);
    Play(server, {"<220-Welcome\r\n220-to the\r\n220 server\r\n", ">PASS ", "-"});
    EXPECT_EQ(ClientState(), st::PassSent);
    // A multi-line negative reply is one FTPError with every line in its text; the session
    // stays up (Ready, though not logged in), without FTPReady.
    const std::string refusal = "530-Not today.\r\n530-Really\r\n 530\r\n530 Bye";
    Play(server, {"<" + refusal + "\r\n", "=Error:530:" + refusal.substr(3)});
    EXPECT_EQ(ftp->State(), 1);

    // Split between its lines: the unfinished reply is not continued, so its last line
    // counts as the next reply and completes the login.
    ftp->Reset();
    notes.Clear();
    ConnectTo(server);
    Play(server, {"<220-Welcome\r\n", ">PASS ", "<220 server\r\n", "=Ready"});
    EXPECT_EQ(ClientState(), st::Ready);
}

TEST_F(SessionTest, ReplySplitInsideALineWaitsForItsLineEnd) {
    DialogServer server;
    ConnectTo(server);
    Play(server, {"<22", "<0 hel", "-"});
    EXPECT_EQ(ftp->Internals().ReplyBuffer(), "220 hel");
    Play(server, {"<lo\r", "-", "<\n331 pw", ">PASS "});  // a CR alone ends nothing
    EXPECT_EQ(ftp->Internals().ReplyBuffer(), "331 pw");
    // Bare LF does not end a line: the text stays until a CR LF comes.
    Play(server, {"<\n230 ok\n"});
    EXPECT_EQ(ClientState(), st::PassSent);
    EXPECT_EQ(ftp->Internals().ReplyBuffer(), "331 pw\n230 ok\n");
    Play(server, {"<\r\n", "=Ready"});
}

TEST_F(SessionTest, AccountIsSentWhenAskedForOrWhenSet) {
    DialogServer server;
    ConnectTo(server);
    Play(server, {"<220 hi\r\n331 pw\r\n", ">PASS ", "<332 need account\r\n", ">ACCT "});
    EXPECT_EQ(ClientState(), st::AcctSent);
    Play(server, {"<230 ok\r\n", "=Ready"});
    ftp->Account("acme");  // set while Ready: sent at once
    Play(server, {">ACCT acme", "<202 superfluous\r\n", "=Ready | Ready"});
    // Account is set: sent after the login although not asked for.
    ftp->Reset();
    ConnectTo(server);
    Play(server, {"<220 hi\r\n331 pw\r\n", ">PASS ", "<230 ok\r\n", ">ACCT acme"});
}

TEST_F(SessionTest, CommandFromInsideTheLoginReadyIsRefusedButNotAfterADirectoryChange) {
    DialogServer server;
    int32_t duringLogin = 0, afterCwd = -1;
    int readies = 0;
    notes.onEntry = [&](const std::string& note) {
        if (note != "Ready") return;
        if (++readies == 1)
            duringLogin = test::Raised([&] { ftp->chDir("a"); });
        else
            afterCwd = test::Raised([&] { ftp->chDirParent(); });
    };
    LogIn(server);
    EXPECT_EQ(duringLogin, SockErrorNumber(2));  // FTPReady comes before Ready after login
    ASSERT_EQ(ftp->chDir("a"), 0);
    ASSERT_TRUE(server.Expect("CWD a", "250 ok\r\n"));
    ASSERT_TRUE(notes.WaitFor("Ready"));
    EXPECT_EQ(afterCwd, 0);  // Ready before FTPReady everywhere else
    ASSERT_TRUE(server.Expect("CDUP"));
}

TEST_F(SessionTest, A421OrALostConnectionEndsTheSessionOnceInAnyState) {
    // In UserSent, PassSent, Ready and ChangingDir; by a 421, a close, a reset (SocketError
    // and close: still one report), or, at the start, a 421 right before the close (the
    // server's last reply is handled before the loss).
    for (const std::string ending : {"421", "close", "reset", "421 and close"}) {
        for (int step = 0; step < (ending == "421 and close" ? 1 : 4); ++step) {
            SCOPED_TRACE(ending + " in step " + std::to_string(step));
            DialogServer server;
            notes.Clear();
            const std::shared_ptr<TAVSocket> before = ftp->Internals().ControlSocket();
            ConnectTo(server);
            if (step >= 1) Play(server, {"<220 hi\r\n", ">PASS "});
            if (step >= 2) Play(server, {"<230 ok\r\n", "=Ready"});
            if (step == 3) {
                ASSERT_EQ(ftp->chDir("x"), 0);
                ASSERT_TRUE(server.Expect("CWD x"));
            }
            notes.Clear();
            if (ending == "421") {
                Chunk(server, "421 Service not available, closing control connection.\r\n");
                EXPECT_EQ(notes.Joined(), "ObjectError:4");
                EXPECT_NE(ftp->Internals().ControlSocket(), before);  // a fresh control socket
            } else if (ending == "421 and close") {
                ASSERT_TRUE(server.Send("421 bye\r\n"));
            }
            ending == "reset" ? server.Abort() : server.Close();
            ASSERT_TRUE(notes.WaitFor("ObjectError:4"));
            EXPECT_EQ(ftp->State(), 0);
            RunMessagesFor(std::chrono::milliseconds(20));
            EXPECT_EQ(notes.Joined(), "ObjectError:4");  // the close of the old connection is not news
        }
    }
}

TEST_F(SessionTest, ConnectionRefusedReturnsToDisconnected) {
    int port = 0;
    {
        ScriptedPeer closed;  // a port that was free a moment ago and has no listener now
        port = closed.Port();
    }
    ftp->Port(port);
    const int32_t result = ftp->Connect("127.0.0.1");
    // Refused at once, or reported once the attempt failed.
    EXPECT_TRUE(result == 10061 || (result == 0 && notes.WaitFor("ObjectError:3"))) << result;
    EXPECT_EQ(ftp->State(), 0);
    // The session can start again.
    DialogServer server;
    ConnectTo(server);
}

TEST_F(SessionTest, DisconnectSendsNothingAndClosesTheConnection) {
    DialogServer server;
    LogIn(server);
    EXPECT_EQ(ftp->Disconnect(), 0);
    EXPECT_EQ(ftp->State(), 0);
    ASSERT_TRUE(server.WaitClosed());
    EXPECT_EQ(server.AllReceived(), "");
    EXPECT_TRUE(notes.entries.empty());
}

TEST_F(SessionTest, LongRepliesEndlessRepliesAndAResetFromInsideANotification) {
    DialogServer server;
    LogIn(server);
    const std::string text(64 * 1024, 'z');
    ASSERT_EQ(ftp->chDir("x"), 0);
    Play(server, {">CWD x", "<550 " + text + "\r\n"});
    ASSERT_TRUE(notes.WaitFor("Error:550: " + text));
    EXPECT_EQ(ftp->State(), 1);

    // More than 1 MiB without a line end.
    ASSERT_EQ(ftp->chDir("y"), 0);
    ASSERT_TRUE(server.Expect("CWD y"));
    ASSERT_TRUE(server.Send("250 " + std::string(1024 * 1024 + 16, 'y')));
    ASSERT_TRUE(notes.WaitFor("ObjectError:4"));
    EXPECT_EQ(ftp->State(), 0);
    EXPECT_EQ(ftp->Internals().ReplyBuffer(), "");

    // A Reset from inside a notification stops the rest of the pass.
    DialogServer next;
    LogIn(next);
    notes.onEntry = [&](const std::string& note) {
        if (note.rfind("Error:550", 0) == 0) ftp->Reset();
    };
    ASSERT_EQ(ftp->chDir("x"), 0);
    ASSERT_TRUE(next.Expect("CWD x"));
    Play(next, {"<550 first\r\n551 second\r\n", "=Error:550: first"});
    EXPECT_EQ(ftp->State(), 0);
}

TEST_F(SessionTest, TimeoutEndsAPendingOperationButNotAQuietReadySession) {
    DialogServer server;
    ftp->Timeout(150);
    LogIn(server);
    RunMessagesFor(std::chrono::milliseconds(400));  // Ready and quiet: nothing happens
    EXPECT_TRUE(notes.entries.empty());
    ASSERT_EQ(ftp->chDir("slow"), 0);
    ASSERT_TRUE(server.Expect("CWD slow"));
    ASSERT_TRUE(notes.WaitFor("ObjectError:5"));
    EXPECT_EQ(ftp->State(), 0);
    ASSERT_TRUE(server.WaitClosed());
}

TEST_F(SessionTest, CallbackObjectGetsWhatTheEventsGetInTheSameOrder) {
    // Every kind of notification, each with its arguments: once by the events, once by a
    // callback object only.
    std::vector<std::string> dialogue[2];
    notes.logTransfers = true;
    for (const bool callback : {false, true}) {
        if (callback) ftp->CallbackObject(std::make_shared<Notes::Callback>(notes, ftp.get()));
        DialogServer server;
        notes.Clear();
        ConnectTo(server);
        Play(server, {"<220 hi\r\n331 pw\r\n", ">PASS ", "<230 ok\r\n", "=Ready"});
        ASSERT_EQ(ftp->chDir("nope"), 0);
        Play(server, {">CWD nope", "<550 missing\r\n", "=Ready | Error:550: missing"});
        ASSERT_EQ(ftp->Retrieve("f"), 0);
        const std::string retrieved = "=Ready | Error:550: missing | Transferred:6 | Data:a\r\nb\r\n | Ready";
        Play(server, {"|", ">RETR f", "<150 here\r\n", "^a\r\nb\r\n", ".", "<226 done\r\n", retrieved, "<421 bye\r\n",
                      retrieved + " | ObjectError:4"});
        for (const std::string& line : notes.dialogue) dialogue[callback].push_back(line.substr(0, line.rfind(" (127")));
        EXPECT_EQ(std::count(notes.routes.begin(), notes.routes.end(), callback ? "callback" : "event"),
                  static_cast<long>(notes.routes.size()));
    }
    // The data port of the 227 reply left out.
    EXPECT_EQ(dialogue[0], (std::vector<std::string>{"> USER Anonymous", "< 220 hi", "< 331 pw", "> PASS ****", "< 230 ok",
                                                     "> CWD nope", "< 550 missing", "> PASV", "< 227 Entering Passive Mode",
                                                     "> RETR f", "< 150 here", "< 226 done", "< 421 bye"}));
    EXPECT_EQ(dialogue[1], dialogue[0]);
}

TEST_F(SessionTest, PairedRepliesWaitForTheGreetingAndForTypeReplies) {
    DialogServer server;
    ftp->PairReplies(true);
    ftp->Port(server.Port());
    ASSERT_EQ(ftp->Connect("localhost"), 0);  // resolved in the background
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(PumpUntil([&] { return ClientState() == st::Connected; }));
    Play(server, {"-", "<120 wait a moment\r\n", "-", "<220 hi\r\n", ">USER Anonymous", "<331 pw\r\n", ">PASS ",
                  "<230 ok\r\n", "=Ready"});
    ftp->Binary();
    ASSERT_TRUE(server.Expect("type i"));
    EXPECT_EQ(ftp->State(), 2);
    Play(server, {"<200 binary\r\n", "=Ready | Ready"});
    // Unpaired, the type command leaves the state alone.
    ftp->PairReplies(false);
    ftp->Ascii();
    ASSERT_TRUE(server.Expect("type a"));
    EXPECT_EQ(ftp->State(), 1);
}

}  // namespace
}  // namespace transfertest
