// Shared pieces of the FTP client tests: a scripted FTP server driven from the test thread
// (it sends exactly the bytes a case needs, in the chunks it needs, and records the commands
// it gets), a recorder of the client's notifications, and a client fixture.
#pragma once

#include <tavsock/TavFTPTransferMgr.hpp>

#include "transfer/FtpStates.hpp"
#include "transfer/FtpSession.hpp"
#include "transfer/TransferTestUtil.hpp"

#include <memory>

namespace transfertest {

using namespace tav;
namespace st = tav::ftpstate;

/// The control side of a scripted FTP server: every command the client sends is recorded,
/// and replies go out exactly as given.
class DialogServer : public ScriptedPeer {
public:
    using ScriptedPeer::ScriptedPeer;
    /// Runs the queue until a whole command line arrived; returns it without CR LF ("" when
    /// none came in time or the connection ended).
    std::string NextCommand() {
        std::string got = Receive([](const std::string& r) { return r.find("\r\n") != std::string::npos; });
        const size_t end = got.find("\r\n");
        if (end == std::string::npos) return "";
        received_ = got.substr(end + 2);
        return commands.emplace_back(got.substr(0, end));
    }
    /// Waits for `command`, then sends `reply`. False when another command came.
    bool Expect(const std::string& command, const std::string& reply = "") {
        const std::string got = NextCommand();
        EXPECT_EQ(got, command);
        if (got != command) return false;
        return reply.empty() || Send(reply);
    }
    /// True when no command arrives while the queue runs for `ms` (the client sent nothing).
    bool Quiet(int ms = 100) {
        tav::RunMessagesFor(std::chrono::milliseconds(ms));
        (void)ReadSome();
        return received_.find("\r\n") == std::string::npos;
    }

    std::vector<std::string> commands;
};

/// Records the client's notifications as text ("Ready", "Error:530: Login incorrect.",
/// "ObjectError:4", "Data:<text>", and "Transferred:<n>" when `logTransfers`), by events or
/// through a callback object (its entries marked "callback" in `routes`), and runs `onEntry`
/// after each one (a test may act from inside a notification). The control dialogue goes to
/// `dialogue` instead ("> USER joe", "< 331 ..."), so the entries stay those of the operations.
class Notes : public Heard {
public:
    void Watch(TavFTPTransferMgr& m) {
        m.FTPObjectError.Subscribe([this](int32_t c) { ObjectError(c); });
        m.FTPError.Subscribe([this](const std::string& c, const std::string& d) { Error(c, d); });
        m.FTPReady.Subscribe([this](int32_t c) { Ready(c); });
        m.FTPDataReceived.Subscribe([this](std::string& d) { Add("Data:" + d); });
        m.FTPDataTransferred.Subscribe([this](int32_t n) { Transferred(n); });
        m.FTPControlLine.Subscribe([this](bool sent, const std::string& line) { Line(sent, line); });
    }
    /// The same through CallbackObject, which also checks that it is told the right manager.
    class Callback : public ITavFTPNotify {
    public:
        Callback(Notes& n, const TavFTPTransferMgr* m) : n_(n), m_(m) {}
        using Mgr = std::shared_ptr<TavFTPTransferMgr>;
        void FTPObjectError(const Mgr& m, int32_t c) override { Of(m).ObjectError(c, "callback"); }
        void FTPError(const Mgr& m, const std::string& c, const std::string& d) override { Of(m).Error(c, d, "callback"); }
        void FTPReady(const Mgr& m, int32_t c) override { Of(m).Ready(c, "callback"); }
        void FTPDataReceived(const Mgr& m, std::string& d) override { Of(m).Add("Data:" + d, "callback"); }
        void FTPDataTransferred(const Mgr& m, int32_t n) override { Of(m).Transferred(n, "callback"); }
        void FTPControlLine(const Mgr& m, bool sent, const std::string& line) override { Of(m).Line(sent, line); }

    private:
        /// The notes, with an entry of its own first when the manager is not ours.
        Notes& Of(const Mgr& m) {
            if (m.get() != m_) n_.Add("callback with another manager", "callback");
            return n_;
        }
        Notes& n_;
        const TavFTPTransferMgr* m_;
    };

    void ObjectError(int32_t c, const std::string& route = "event") { Add("ObjectError:" + std::to_string(c), route); }
    void Error(const std::string& c, const std::string& d, const std::string& route = "event") {
        Add("Error:" + c + ":" + d, route);
    }
    void Ready(int32_t c, const std::string& route = "event") { Add(c == 0 ? "Ready" : "Ready:" + std::to_string(c), route); }
    void Transferred(int32_t n, const std::string& route = "event") {
        lastTransferred = n;
        ++transferred;
        if (logTransfers) Add("Transferred:" + std::to_string(n), route);
    }
    void Line(bool sent, const std::string& line) { dialogue.push_back((sent ? "> " : "< ") + line); }
    void Clear() { Heard::Clear(), dialogue.clear(); }

    std::vector<std::string> dialogue;
    bool logTransfers = false;
    int32_t lastTransferred = 0;
    int transferred = 0;
};

/// A client on the test thread with its notifications recorded.
class FtpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ftp = TavFTPTransferMgr::Create();
        notes.Watch(*ftp);
    }
    void TearDown() override {
        ftp.reset();
        RunPendingMessages();
    }
    int32_t ClientState() const { return ftp->Internals().ClientState(); }
    /// Sends one chunk from the server and lets the client take it as one chunk: runs the
    /// queue until the client has read everything waiting on its control socket and handled it.
    void Chunk(DialogServer& server, const std::string& bytes) {
        ASSERT_TRUE(server.Send(bytes));
        (void)PumpUntil([&] {
            const auto& c = ftp->Internals().ControlSocket();
            return server.Delivered() && (!c || c->HowMuchDataIsAvailable() == 0);
        });
        RunPendingMessages();
    }
    /// Connects to the scripted server at `site` and takes the USER command.
    void ConnectTo(DialogServer& server, const std::string& user = "Anonymous") {
        ftp->Port(server.Port());
        ASSERT_EQ(ftp->Connect(site), 0);
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(server.Expect("USER " + user));
    }
    /// Connects and logs in: greeting and 331 in one chunk (PASS), then 230 (Ready).
    void LogIn(DialogServer& server) {
        ConnectTo(server);
        Play(server, {"<220 ready\r\n331 password please\r\n", ">PASS ", "<230 logged in\r\n"});
        ASSERT_TRUE(notes.WaitFor("Ready"));
        ASSERT_EQ(ClientState(), st::Ready);
        notes.Clear();
    }
    /// Plays the server's side of a dialogue, one step a string: "<text" sends the text as one
    /// chunk and lets the client take it, ">command" waits for that command, "=notes" runs the
    /// queue until the notes so far, joined, are these, "~text" sends the text and goes on at
    /// once, "-" checks that the client says nothing for a moment, "|" answers PASV (EPSV over IPv6) with a new data connection
    /// (kept in `dataPeers`; "|a,b,c,d" names that address in the 227), "^text" sends the text
    /// there and "." closes it.
    void Play(DialogServer& server, const std::vector<std::string>& steps) {
        for (const std::string& step : steps) {
            SCOPED_TRACE(step);
            const std::string text = step.substr(1);
            if (step[0] == '<') {
                ASSERT_NO_FATAL_FAILURE(Chunk(server, text));
            } else if (step[0] == '>') {
                ASSERT_TRUE(server.Expect(text));
            } else if (step[0] == '~') {
                ASSERT_TRUE(server.Send(text));
            } else if (step[0] == '=') {
                ASSERT_TRUE(PumpUntil([&] { return notes.Joined() == text; })) << notes.Joined();
            } else if (step[0] == '|') {
                auto& data = *dataPeers.emplace_back(std::make_unique<ScriptedPeer>(0, site == "::1"));
                ASSERT_NO_FATAL_FAILURE(PassiveData(server, data, text.empty() ? "127,0,0,1" : text));
            } else if (step[0] == '^') {
                ASSERT_TRUE(dataPeers.back()->Send(text));
            } else if (step[0] == '.') {
                dataPeers.back()->Close();
            } else {
                EXPECT_TRUE(server.Quiet());
            }
        }
    }
    /// Runs the queue until the next FTPReady or FTPObjectError; the notes since `from`,
    /// joined (each cut to 60 characters).
    std::string Finish(size_t from = 0) {
        const int readyBefore = notes.Count("Ready");
        EXPECT_TRUE(PumpUntil([&] {
            return notes.Count("Ready") > readyBefore || notes.Joined().find("ObjectError") != std::string::npos;
        }));
        std::string all;
        for (size_t i = from; i < notes.entries.size(); ++i) all += (all.empty() ? "" : " | ") + notes.entries[i].substr(0, 60);
        return all;
    }
    /// Answers PASV with the port of `data` (and `address`), or EPSV with its port over IPv6,
    /// and accepts the client there.
    void PassiveData(DialogServer& server, ScriptedPeer& data, const std::string& address = "127,0,0,1") {
        const std::string p = std::to_string(data.Port() >> 8) + "," + std::to_string(data.Port() & 0xFF);
        if (site == "::1")
            ASSERT_TRUE(server.Expect("EPSV", "229 Extended Passive Mode (|||" + std::to_string(data.Port()) + "|)\r\n"));
        else
            ASSERT_TRUE(server.Expect("PASV", "227 Entering Passive Mode (" + address + "," + p + ").\r\n"));
        ASSERT_TRUE(data.Accept());
    }

    std::shared_ptr<TavFTPTransferMgr> ftp;
    Notes notes;
    std::vector<std::unique_ptr<ScriptedPeer>> dataPeers;  // made by Play's "|" steps
    std::string site = "127.0.0.1";  // what ConnectTo connects to
};

}  // namespace transfertest
