// The FTP client's data connections against a scripted server: PASV and PORT numbers (EPSV
// and EPRT over IPv6), the order of the final reply and the data connection's end, negative
// replies to transfers, an upload the server stops reading, reuse of an open data connection,
// and the two hardening properties.
#include "transfer/FtpTestUtil.hpp"

#include <thread>

namespace transfertest {
namespace {

class DataScriptedTest : public FtpClientTest {
protected:
    explicit DataScriptedTest(bool active = false, bool ipv6 = false) : active(active), server(0, ipv6) {}
    /// Logged in with the scripted control connection, in passive mode unless `active`.
    void SetUp() override {
        FtpClientTest::SetUp();
        ftp->PassiveMode(!active);
        LogIn(server);
    }
    /// An operation the server answers as `script` (Play's steps) goes, the client's state after.
    struct Case {
        std::function<int32_t()> start;
        std::vector<std::string> script;
        int32_t state = st::Ready;
    };
    /// Starts the case's operation and plays its script; the session ends in the case's state
    /// with no data connection, and is logged in afresh when it did not come back to Ready.
    void Run(const Case& c) {
        SCOPED_TRACE(c.script[c.script.size() - 2]);
        ASSERT_EQ(c.start(), 0);
        ASSERT_NO_FATAL_FAILURE(Play(server, c.script));
        EXPECT_EQ(ClientState(), c.state);
        EXPECT_TRUE(c.state != st::Ready || !ftp->Internals().DataSocket());
        notes.Clear();
        dataPeers.clear();
        if (c.state != st::Ready) {
            ftp->Reset();
            LogIn(server);
        }
    }

    bool active = false;
    DialogServer server;
};
struct ActiveScriptedTest : DataScriptedTest {
    ActiveScriptedTest() : DataScriptedTest(true) {}
};
struct Ipv6ScriptedTest : DataScriptedTest {
    Ipv6ScriptedTest() : DataScriptedTest(false, true) { site = "::1"; }
};

/// A line of /proc/self/status in KiB ("VmRSS", "VmHWM"); `resetPeak` first makes the peak
/// the present size.
long MemoryKiB(const std::string& name, bool resetPeak = false) {
    if (resetPeak) WriteFile("/proc/self/clear_refs", "5");
    const std::string status = ReadFile("/proc/self/status");
    const size_t at = status.find(name + ":");
    return at == std::string::npos ? 0 : std::atol(status.c_str() + at + name.size() + 1);
}

/// The port the client's data socket listens on, in active mode.
uint16_t Listening(TavFTPTransferMgr& ftp) { return static_cast<uint16_t>(ftp.Internals().DataSocket()->LocalAddr()->Port()); }

TEST_F(DataScriptedTest, PassivePortAbove32767AndBothOrdersOfTheEnd) {
    // 226 first: the retrieve waits for the data connection to end.
    ASSERT_EQ(ftp->Retrieve("f"), 0);
    Play(server, {"|", ">RETR f", "<150 here it comes\r\n", "^first part,", "<226 done\r\n"});
    ASSERT_GT(dataPeers[0]->Port(), 32767);  // the kernel's own choice: its ports start at 32768
    EXPECT_EQ(ClientState(), st::Retrieving);
    EXPECT_EQ(notes.Count("Ready"), 0);
    Play(server, {"^second part", ".", "=Data:first part,second part | Ready"});
    EXPECT_EQ(notes.lastTransferred, 22);

    // The data connection ends first: the 226 finishes it. Without PassiveAddressFromReply
    // only the reply's port is used, on the control connection's peer (the reply names an
    // address we could not reach).
    notes.Clear();
    ftp->PassiveAddressFromReply(false);
    ASSERT_EQ(ftp->Retrieve("g"), 0);
    Play(server, {"|10,9,8,7", ">RETR g", "<150 ok\r\n", "^abc", "."});
    ASSERT_TRUE(PumpUntil([&] { return !ftp->Internals().DataSocket(); }));
    EXPECT_EQ(notes.Count("Ready"), 0);
    Play(server, {"<226 done\r\n", "=Data:abc | Ready"});
}

TEST_F(ActiveScriptedTest, ActivePortCarriesTheHighAndLowByteAndCheckDataPeerTurnsAStrangerAway) {
    ftp->CheckDataPeer(true);
    ASSERT_EQ(ftp->NameList("dir"), 0);
    const uint16_t listening = Listening(*ftp);
    Play(server, {">PORT 127,0,0,1," + std::to_string(listening >> 8) + "," + std::to_string(listening & 0xFF),
                  "<200 PORT ok\r\n", ">NLST dir"});
    // A stranger's connection is closed by the client, which keeps listening.
    Fd stranger = Connect(listening, false, "127.0.0.2");
    ASSERT_TRUE(SendAll(stranger, "EVIL"));
    char c = 0;
    ASSERT_TRUE(PumpUntil([&] { return ::recv(stranger.Get(), &c, 1, MSG_DONTWAIT) == 0 || errno == ECONNRESET; }));
    Fd fd = Connect(listening);
    Chunk(server, "150 listing\r\n");
    ASSERT_TRUE(SendAll(fd, "a\r\nb\r\n"));
    fd.Close();
    Play(server, {"<226 ok\r\n", "=Data:a\r\nb\r\n | Ready"});

    // The whole transfer and its final reply happen before the client looks at any of it:
    // the connection still waiting to be accepted is not forgotten.
    notes.Clear();
    ASSERT_EQ(ftp->NameList(), 0);
    ASSERT_EQ(server.NextCommand().substr(0, 5), "PORT ");
    Play(server, {"<200 PORT ok\r\n", ">NLST"});
    Fd fd2 = Connect(Listening(*ftp));
    ASSERT_TRUE(SendAll(fd2, "late\r\n"));
    fd2.Close();
    ASSERT_TRUE(server.Send("150 listing\r\n226 ok\r\n"));
    ASSERT_TRUE(notes.WaitFor("Ready"));
    EXPECT_EQ(notes.Joined(), "Data:late\r\n | Ready");
}

TEST_F(ActiveScriptedTest, TransientReplyToPortChangesNothingUntilReset) {
    ASSERT_EQ(ftp->Retrieve("f"), 0);
    ASSERT_EQ(server.NextCommand().substr(0, 5), "PORT ");
    EXPECT_EQ(ClientState(), st::PortSent);
    // A 4xx to PORT: no transfer command goes out, nothing is notified, the state stays.
    // The 200 that follows is the reply the session was waiting for, so the transfer goes on;
    // had the 450 moved the state on, RETR would have been sent twice.
    Play(server, {"<450 not now\r\n", "<200 PORT ok\r\n", ">RETR f"});
    EXPECT_TRUE(notes.entries.empty());
    EXPECT_EQ(ClientState(), st::RetrSent);
}

// A reply that ends an operation ends it for the host too (a 331 to PASV, a refusal of the
// listing itself, a 4xx to RETR that deletes the partial file the client made, a 3xx to STOR
// that keeps the local file): reported, then FTPReady, no data connection left. A 4xx to PASV
// changes nothing: the session waits.
TEST_F(DataScriptedTest, NegativeRepliesToTransfers) {
    TempDir dir;
    const std::string local = dir / "partial";
    const std::string upload = EveryByteValue(10000);
    notes.logTransfers = true;
    const std::pair<Case, std::string> cases[] = {  // the case, what is left of the local file
        {{[&] { return ftp->NameList(); }, {">PASV", "<331 log in first\r\n", "=Error:331: log in first | Ready"}}, ""},
        {{[&] { return ftp->List(); }, {"|", ">LIST", "<450 no files\r\n", "=Error:450: no files | Ready"}}, ""},
        {{[&] { return ftp->NameList(); }, {">PASV", "<425 cannot open passive\r\n", "="}, st::PasvSent}, ""},
        {{[&] { return WriteFile(local, "old"), ftp->Retrieve("f", local); },
          {"|", ">RETR f", "<150 go\r\n", "^NEW", "=Transferred:3", "<451 local error\r\n",
           "=Transferred:3 | Error:451: local error | Ready"}}, ""},
        {{[&] { return WriteFile(local, upload), ftp->Store("up", local); },
          {"|", ">STOR up", "<350 strange\r\n", "=Error:350: strange | Ready"}}, upload},
    };
    for (const auto& [c, left] : cases) {
        ASSERT_NO_FATAL_FAILURE(Run(c));
        EXPECT_EQ(fs::exists(local) ? ReadFile(local) : "", left);
    }
}

/// A data connection the test reads only when it says so, without running the queue.
struct HeldDataPeer : ScriptedPeer {
    /// Reads everything the client's socket `client` has taken so far (until its kernel holds
    /// nothing unsent or unacknowledged); the count read since the connection came.
    size_t DrainWhatTheClientsKernelTook(int client) {
        for (int i = 0; i < 1000; ++i) {
            int unacknowledged = -1;
            (void)::ioctl(client, SIOCOUTQ, &unacknowledged);
            (void)ReadSome();
            if (unacknowledged == 0) break;
            pollfd p{conn_.Get(), POLLIN, 0};
            (void)::poll(&p, 1, 10);
        }
        return received_.size();
    }
};

// An upload is sent in large writes, yet counts as if sent in 4096-byte blocks, each handed over
// once the one before went out whole: when the server stops reading, the count covers every
// block up to the one holding the first byte the socket could not take, and the write
// notification that comes when the server reads again reports exactly that. The bytes the
// socket did not take are sent later, none lost or repeated.
TEST_F(DataScriptedTest, AStalledUploadCountsWholeBlocksAndSendsEveryByteOnce) {
    TempDir dir;
    constexpr int64_t size = 1024 * 1024 + 100;
    std::string upload = EveryByteValue(size);
    for (size_t i = 0; i < upload.size(); i += 65536) upload[i] = static_cast<char>(i >> 16);  // no repeating stretch
    WriteFile(dir / "up", upload);
    notes.logTransfers = true;
    HeldDataPeer data;
    ASSERT_EQ(ftp->Store("up", dir / "up"), 0);
    PassiveData(server, data);
    std::shared_ptr<TAVSocket> socket = ftp->Internals().DataSocket();
    ASSERT_TRUE(socket);
    const int room = 32 * 1024;  // a stack that takes far less than one large write
    ASSERT_EQ(::setsockopt(socket->Handle(), SOL_SOCKET, SO_SNDBUF, &room, sizeof room), 0);
    ASSERT_TRUE(server.Expect("STOR up", "150 go\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return socket->PendedSendLength() > 0; }));
    const int64_t taken = static_cast<int64_t>(data.DrainWhatTheClientsKernelTook(socket->Handle()));
    ASSERT_LT(taken, size);
    const int64_t count = std::min(size, (taken / 4096 + 1) * 4096);
    EXPECT_EQ(ftp->ByteCount(), count);
    ASSERT_TRUE(PumpUntil([&] { return !notes.entries.empty(); }));
    EXPECT_EQ(notes.entries.front(), "Transferred:" + std::to_string(count));

    EXPECT_TRUE(data.Receive([&](const std::string& all) { return all.size() >= upload.size(); }) == upload);
    socket.reset();  // the connection ends with the manager's last reference
    EXPECT_TRUE(data.WaitClosed());
    Play(server, {"<226 done\r\n"});
    ASSERT_TRUE(notes.WaitFor("Ready"));
    int64_t last = 0;
    for (const std::string& note : notes.entries) {
        if (note.rfind("Transferred:", 0) != 0) continue;
        const int64_t n = std::stoll(note.substr(12));
        EXPECT_TRUE(n % 4096 == 0 || n == size) << note;
        EXPECT_GE(n, last) << note;
        last = n;
    }
    EXPECT_EQ(notes.entries.back(), "Ready");
    EXPECT_EQ(ftp->ByteCount(), size);

    // A file that shrinks under the upload: its whole blocks go out, then the session ends
    // with the local file's error.
    notes.Clear();
    HeldDataPeer data2;
    ASSERT_EQ(ftp->Store("up", dir / "up"), 0);
    ASSERT_EQ(::truncate((dir / "up").c_str(), 3 * 4096 + 100), 0);
    PassiveData(server, data2);
    ASSERT_TRUE(server.Expect("STOR up", "150 go\r\n"));
    ASSERT_TRUE(notes.WaitFor("ObjectError:6"));
    EXPECT_EQ(notes.Joined(), "ObjectError:6");
    EXPECT_TRUE(data2.WaitClosed());
    EXPECT_TRUE(data2.AllReceived() == upload.substr(0, 3 * 4096));
    EXPECT_EQ(ftp->ByteCount(), 3 * 4096);
}

TEST_F(DataScriptedTest, ListingComesWhenItsReplyComesAndTheOpenConnectionIsUsedAgainUntilThe425OfAClosedOne) {
    // The 226 arrives while the data connection is still open, right behind the data.
    ASSERT_EQ(ftp->NameList(), 0);
    Play(server, {"|", ">NLST", "<150 here\r\n", "^" + std::string(100000, 'n'), "<226 done\r\n"});
    ASSERT_TRUE(notes.WaitFor("Ready"));
    EXPECT_EQ(notes.entries[0], "Data:" + std::string(100000, 'n'));
    ASSERT_TRUE(ftp->Internals().DataSocket());
    // The next listing goes over the same connection: no PASV.
    notes.Clear();
    ASSERT_EQ(ftp->List("x"), 0);
    Play(server, {">LIST x", "<150 again\r\n", "^second", "<226 done\r\n", "=Data:second | Ready"});
    // A server that had closed the kept connection answers 425: a new one is set up and the
    // command sent again, and the host hears only the listing.
    notes.Clear();
    ASSERT_EQ(ftp->NameList("y"), 0);
    Play(server, {">NLST y", "<425 no data connection\r\n", "|", ">NLST y", "<150 here\r\n", "^third", ".",
                  "<226 done\r\n", "=Data:third | Ready"});
}

// Progress is a reply that moves the operation on, or data: an endless multi-line reply, a run
// of 1xx replies or a reply trickling in byte by byte does not keep a stalled listing alive.
TEST_F(DataScriptedTest, RepliesThatDoNotMoveTheOperationOnDoNotKeepItAlive) {
    const std::pair<std::string, std::string> streams[] = {
        {"150-working\r\n", " still working\r\n"},
        {"150 working\r\n", "150 working\r\n"},
        {"1", "5"},
    };
    ftp->Timeout(150);
    for (const auto& [first, next] : streams) {
        ASSERT_EQ(ftp->NameList(), 0);
        Play(server, {"|", ">NLST", "<" + first});
        for (int i = 0; i < 40 && notes.entries.empty(); ++i) {
            ASSERT_TRUE(server.Send(next));
            RunMessagesUntil([] { return false; }, std::chrono::milliseconds(40));
        }
        EXPECT_EQ(notes.Joined(), "ObjectError:5") << first;
        LogIn(server);
    }
}

// While data pours in the client is woken only for large pieces; a server that then slows to a
// trickle must still be heard byte by byte, or its transfer would time out.
TEST_F(DataScriptedTest, ATrickleAfterABurstKeepsATransferAliveItsStallEndsItAndEndlessDataIsBounded) {
    const std::string burst(1024 * 1024, 'b');
    ftp->Timeout(200);
    ASSERT_EQ(ftp->Retrieve("f"), 0);
    Play(server, {"|", ">RETR f", "~150 ok\r\n", "^" + burst});
    ASSERT_TRUE(PumpUntil([&] { return notes.lastTransferred == static_cast<int32_t>(burst.size()); }));
    // Data keeps it alive for longer than one time-out: six single bytes 80 ms apart ...
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(dataPeers[0]->Send("x"));
        RunMessagesUntil([] { return false; }, std::chrono::milliseconds(80));
    }
    EXPECT_EQ(notes.Count("ObjectError:5"), 0);
    EXPECT_TRUE(PumpUntil([&] { return notes.lastTransferred == static_cast<int32_t>(burst.size()) + 6; }));
    // ... and its end ends the session.
    ASSERT_TRUE(notes.WaitFor("ObjectError:5"));
    EXPECT_EQ(ftp->State(), 0);

    // Data collected in memory has a cap that bounds the memory held, and a server that sends
    // without end ends the session with the error that says so.
    LogIn(server);
    constexpr size_t cap = size_t{48} << 20;
    ftp->Internals().MaxDataBuffer(cap);
    ASSERT_EQ(ftp->NameList(), 0);
    Play(server, {"|", ">NLST", "~150 ok\r\n"});
    [[maybe_unused]] const long before = MemoryKiB("VmRSS", true);
    const std::string chunk(size_t{1} << 20, 'a');
    for (int i = 0; i < 80 && notes.entries.empty() && dataPeers.back()->Send(chunk); ++i) {
    }
    ASSERT_TRUE(notes.WaitFor("ObjectError:8")) << notes.Joined();
    EXPECT_EQ(notes.Joined(), "ObjectError:8");
    EXPECT_EQ(ftp->State(), 0);
#if !defined(__SANITIZE_ADDRESS__)  // its allocator keeps freed memory in quarantine
    EXPECT_LT(MemoryKiB("VmHWM") - before, static_cast<long>(cap >> 10) + 8 * 1024);
#endif
}

TEST_F(DataScriptedTest, LocalFilesThatAreNotRegularAreWrittenAndNeverDeleted) {
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string got;
    // The reader waits in its open; the client's open finds it there.
    std::thread reader([&] { got = ReadFile(fifo); });
    int32_t result = -1;
    ASSERT_TRUE(PumpUntil([&] {
        try {
            result = ftp->Retrieve("f", fifo);
            return true;
        } catch (const SockError&) {
            return false;  // the reader is not there yet
        }
    }));
    ASSERT_EQ(result, 0);
    // A 4xx to RETR is a failure path that deletes the files it made.
    notes.logTransfers = true;
    Play(server, {"|", ">RETR f", "<150 go\r\n", "^through the pipe", "=Transferred:16", "<426 aborted\r\n",
                  "=Transferred:16 | Error:426: aborted | Ready"});
    reader.join();
    EXPECT_EQ(got, "through the pipe");
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo)));
}

TEST_F(Ipv6ScriptedTest, EpsvAndEprtTakeThePlaceOfPasvAndPortWithTheirRepliesMeaningTheSame) {
    // Passive: the port of the 229 on the control connection's peer; an empty listing.
    ASSERT_EQ(ftp->NameList(), 0);
    Play(server, {"|", ">NLST", ".", "<150 here\r\n226 done\r\n", "=Data: | Ready"});

    // A malformed 229 fails the set-up as a malformed 227 does; a refused EPSV is reported as
    // a refused PASV is. Either way the session is Ready for the next command.
    notes.Clear();
    const auto retrieve = [&] { return ftp->Retrieve("f"); };
    ASSERT_NO_FATAL_FAILURE(Run({retrieve, {">EPSV", "<229 Entering Extended Passive Mode (|||0|)\r\n", "=ObjectError:3"}}));
    ASSERT_NO_FATAL_FAILURE(Run({retrieve, {">EPSV", "<501 EPSV not understood\r\n", "=Error:501: EPSV not understood"}}));

    // Active: EPRT names the listening socket, and the server's connection from the control
    // connection's peer is the one taken.
    ftp->Reset();
    ftp->PassiveMode(false);
    ftp->CheckDataPeer(true);
    LogIn(server);
    ASSERT_EQ(ftp->Retrieve("f"), 0);
    const uint16_t listening = Listening(*ftp);
    Play(server, {">EPRT |2|::1|" + std::to_string(listening) + "|", "<200 ok\r\n", ">RETR f", "<150 go\r\n"});
    Fd fd = Connect(listening, true);
    ASSERT_TRUE(SendAll(fd, "GOOD"));
    fd.Close();
    Play(server, {"<226 ok\r\n", "=Data:GOOD | Ready"});
}

}  // namespace
}  // namespace transfertest
