// Shared pieces of the FTP client tests: a scripted FTP server driven from the test thread
// (it sends exactly the bytes a case needs, in the chunks it needs, and records the commands
// it gets), a recorder of the client's notifications, and real servers started by fixtures.
#pragma once

#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavFTPTransferMgr.hpp>

#include "platform/SockTestUtil.hpp"
#include "transfer/FtpStates.hpp"
#include "transfer/FtpTransferMgrAccess.hpp"
#include "transport/PeerProcess.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ftptest {

using namespace tav;

/// Runs the queue until `done` holds (20 s at most). Checked at least every millisecond: the
/// scripted peers' sockets are not watched by the queue, so their progress wakes nothing.
inline bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        tav::RunMessagesFor(std::chrono::milliseconds(1));
    }
    return true;
}
namespace fs = std::filesystem;
namespace st = tav::ftpstate;

/// A listening TCP socket on 127.0.0.1 (any port) and the one connection it accepts, both
/// non-blocking and worked from the test thread while it runs the message queue, so the
/// client under test keeps running in between.
class ScriptedPeer {
public:
    /// Listens on `port` (any free one when 0); Port() is 0 when that port was taken.
    explicit ScriptedPeer(int port = 0) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        ::listen(listener_, 4);
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~ScriptedPeer() {
        Close();
        if (listener_ >= 0) ::close(listener_);
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int Port() const { return port_; }
    int Connection() const { return conn_; }

    /// Runs the queue until a connection came in; the peer address goes to `from`.
    bool Accept(sockaddr_in* from = nullptr) {
        return PumpUntil([&] {
            sockaddr_in a{};
            socklen_t len = sizeof a;
            const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return false;
            Close();
            conn_ = fd;
            if (from) *from = a;
            return true;
        });
    }
    /// Sends all of `bytes` as one write where the kernel takes it, running the queue while
    /// the client is slow to read.
    bool Send(const std::string& bytes) {
        size_t done = 0;
        return PumpUntil([&] {
            while (done < bytes.size()) {
                const ssize_t n = ::send(conn_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
                if (n <= 0) return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK;  // give up on errors
                done += static_cast<size_t>(n);
            }
            return true;
        }) && done == bytes.size();
    }
    /// True when the peer's kernel has taken everything sent (nothing unacknowledged).
    bool Delivered() const {
        int unsent = 0;
        return conn_ < 0 || (::ioctl(conn_, SIOCOUTQ, &unsent) == 0 && unsent == 0);
    }
    /// Runs the queue until `n` bytes came (or the connection ended); returns what came.
    std::string Receive(size_t n) {
        (void)PumpUntil([&] { return ReadSome() || received_.size() >= n; });
        std::string out = received_.substr(0, std::min(n, received_.size()));
        received_.erase(0, out.size());
        return out;
    }
    /// Runs the queue until the peer closed its side; true when it did. Everything that came
    /// before is kept (AllReceived).
    bool WaitClosed() {
        return PumpUntil([&] { return ReadSome(); });
    }
    const std::string& AllReceived() const { return received_; }
    /// Closes the connection (an orderly end).
    void Close() {
        if (conn_ >= 0) ::close(conn_);
        conn_ = -1;
    }
    /// Ends the connection with a reset.
    void Abort() {
        if (conn_ < 0) return;
        linger l{1, 0};
        ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }

protected:
    // Reads what waits; true when the connection has ended.
    bool ReadSome() {
        if (conn_ < 0) return true;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
            if (n > 0) {
                received_.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) return true;
            return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
        }
    }

    int listener_ = -1;
    int conn_ = -1;
    int port_ = 0;
    std::string received_;
};

/// The control side of a scripted FTP server: every command the client sends is recorded,
/// and replies go out exactly as given.
class DialogServer : public ScriptedPeer {
public:
    /// Runs the queue until a whole command line arrived; returns it without CR LF ("" when
    /// none came in time or the connection ended).
    std::string NextCommand() {
        std::string line;
        (void)PumpUntil([&] {
            const bool ended = ReadSome();
            const size_t end = received_.find("\r\n");
            if (end != std::string::npos) {
                line = received_.substr(0, end);
                received_.erase(0, end + 2);
                commands.push_back(line);
                return true;
            }
            return ended;
        });
        return line;
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
/// "ObjectError:4", "Data:<text>", "Transferred:<n>"), by events or through a callback
/// object, and runs `onNote` after each one (a test may act from inside a notification).
class Notes {
public:
    void Watch(TavFTPTransferMgr& m) {
        m.FTPObjectError.Subscribe([this](int32_t c) { Add("ObjectError:" + std::to_string(c)); });
        m.FTPError.Subscribe([this](const std::string& c, const std::string& d) { Add("Error:" + c + ":" + d); });
        m.FTPReady.Subscribe([this](int32_t c) { Add(c == 0 ? "Ready" : "Ready:" + std::to_string(c)); });
        m.FTPDataReceived.Subscribe([this](std::string& d) { Add("Data:" + d); });
        m.FTPDataTransferred.Subscribe([this](int32_t n) {
            lastTransferred = n;
            ++transferred;
        });
    }
    /// The same through CallbackObject (the events then stay silent).
    class Callback : public ITavFTPNotify {
    public:
        explicit Callback(Notes& n) : n_(n) {}
        void FTPObjectError(const std::shared_ptr<TavFTPTransferMgr>&, int32_t c) override {
            n_.Add("ObjectError:" + std::to_string(c), "cb");
        }
        void FTPError(const std::shared_ptr<TavFTPTransferMgr>&, const std::string& c, const std::string& d) override {
            n_.Add("Error:" + c + ":" + d, "cb");
        }
        void FTPReady(const std::shared_ptr<TavFTPTransferMgr>&, int32_t c) override {
            n_.Add(c == 0 ? "Ready" : "Ready:" + std::to_string(c), "cb");
        }
        void FTPDataReceived(const std::shared_ptr<TavFTPTransferMgr>&, std::string& d) override { n_.Add("Data:" + d, "cb"); }
        void FTPDataTransferred(const std::shared_ptr<TavFTPTransferMgr>&, int32_t n) override {
            n_.lastTransferred = n;
            ++n_.transferred;
        }

    private:
        Notes& n_;
    };

    void Add(const std::string& note, const std::string& route = "event") {
        notes.push_back(note);
        routes.push_back(route);
        if (onNote) onNote(note);
    }
    int Count(const std::string& note) const {
        int n = 0;
        for (const std::string& s : notes) n += s == note;
        return n;
    }
    bool WaitFor(const std::string& note, int count = 1) {
        return PumpUntil([&] { return Count(note) >= count; });
    }
    std::string Joined() const {
        std::string all;
        for (const std::string& s : notes) all += (all.empty() ? "" : " | ") + s.substr(0, 200);
        return all;
    }

    std::vector<std::string> notes;
    std::vector<std::string> routes;
    std::function<void(const std::string&)> onNote;
    int32_t lastTransferred = 0;
    int transferred = 0;
};

/// A temporary folder, removed with everything in it.
class TempDir {
public:
    /// Under `base`, or the system's temporary folder when empty.
    explicit TempDir(const std::string& base = "") {
        std::string tmpl = ((base.empty() ? fs::temp_directory_path() : fs::path(base)) / "tavftp.XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
/// `n` bytes in which every byte value occurs (a counter mixed so that blocks differ).
inline std::string AllBytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return s;
}

/// A server program started by a fixture: the port it prints on its first output line is
/// read back, and the whole process group is killed and reaped when it ends.
class ServerProcess {
public:
    /// Starts argv; when `portFromOutput`, waits for the first output line and takes it as the
    /// port. False when it could not start.
    bool Start(const std::vector<std::string>& argv, bool portFromOutput) {
        if (!process_.Start(argv)) return false;
        if (!portFromOutput) return true;
        std::string line;
        while (line.find('\n') == std::string::npos) {
            const std::string got = process_.ReadOutput(1, std::chrono::seconds(20));
            if (got.empty()) return false;
            line += got;
        }
        port = std::atoi(line.c_str());
        return port > 0;
    }
    bool Running() { return process_.Running(); }
    void Stop() { process_.Stop(); }

    int port = 0;

private:
    tav::peertest::PeerProcess process_;
};

/// pyftpdlib on 127.0.0.1 (a port of its own choosing) with the anonymous user and one named
/// user, both rooted at `root`.
inline bool StartPyFtpd(ServerProcess& server, const std::string& root, const std::string& scriptDir,
                        const std::string& user, const std::string& password) {
    const std::string script = scriptDir + "/ftpd.py";
    WriteFile(script,
              "import logging, sys\n"
              "logging.disable(logging.CRITICAL)\n"
              "from pyftpdlib.authorizers import DummyAuthorizer\n"
              "from pyftpdlib.handlers import FTPHandler\n"
              "from pyftpdlib.servers import FTPServer\n"
              "root, user, password = sys.argv[1:4]\n"
              "auth = DummyAuthorizer()\n"
              "auth.add_user(user, password, root, perm='elradfmw')\n"
              "auth.add_anonymous(root)\n"
              "FTPHandler.authorizer = auth\n"
              "FTPHandler.auth_failed_timeout = 0.05\n"
              "server = FTPServer(('127.0.0.1', 0), FTPHandler)\n"
              "print(server.socket.getsockname()[1], flush=True)\n"
              "server.serve_forever()\n");
    return server.Start({"/usr/bin/python3", script, root, user, password}, true);
}

/// Entries of the large directory the vsftpd fixture serves.
constexpr int kManyEntries = 10000;

/// vsftpd with a private configuration on 127.0.0.1 and a free port: an anonymous download
/// root (pub/ with binary files holding every byte value, many/ with kManyEntries entries)
/// and an upload directory. The whole process group ends with it.
class VsftpdFixture {
public:
    VsftpdFixture() {
        fs::create_directories(dir / "root/pub");
        fs::create_directories(dir / "root/many");
        fs::create_directories(dir / "root/upload");
        fs::create_directories(dir / "empty");
        WriteFile(dir / "root/pub/big.bin", AllBytes(3 * 1024 * 1024 + 123));
        WriteFile(dir / "root/pub/small.bin", AllBytes(70000));
        WriteFile(dir / "root/pub/short.bin", AllBytes(10));
        for (int i = 0; i < kManyEntries; ++i) WriteFile(dir / ("root/many/entry" + std::to_string(i)), "");
        for (const char* d : {"", "/root", "/root/pub", "/root/many"}) ::chmod((dir.Path() + d).c_str(), 0755);
        // The anonymous user writes as "ftp" into the upload directory only.
        const std::string upload = dir / "root/upload";
        if (std::system(("chown ftp " + upload).c_str()) != 0) ::chmod(upload.c_str(), 0777);
        for (int attempt = 0; attempt < 5 && !started_; ++attempt) started_ = TryStart();
    }
    bool Started() const { return started_; }
    int Port() const { return port_; }
    std::string Path(const std::string& relative) const { return dir / relative; }

private:
    bool TryStart() {
        {
            ScriptedPeer probe;  // a port free a moment ago
            port_ = probe.Port();
        }
        const std::string conf = dir / "vsftpd.conf";
        std::ostringstream c;
        c << "listen=YES\nlisten_ipv6=NO\nbackground=NO\nlisten_address=127.0.0.1\nlisten_port=" << port_
          << "\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=YES\nanon_upload_enable=YES\n"
             "anon_root=" << dir.Path() << "/root\nsecure_chroot_dir=" << dir.Path()
          << "/empty\nseccomp_sandbox=NO\npasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\n"
             "xferlog_enable=NO\nsyslog_enable=NO\nvsftpd_log_file=" << dir.Path()
          << "/vsftpd.log\nanon_umask=022\nmax_clients=0\nmax_per_ip=0\nidle_session_timeout=120\n";
        WriteFile(conf, c.str());
        if (!server_.Start({"/usr/sbin/vsftpd", conf}, false)) return false;
        // Up once it accepts a connection; a port taken meanwhile makes it end at once.
        return PumpUntil([&] {
            if (!server_.Running()) return true;
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(port_));
            const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
            return up;
        }) && server_.Running();
    }

    // In memory where there is room: ten thousand files are created in a blink there, and
    // can take seconds on a busy disk.
    TempDir dir{::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : ""};
    ServerProcess server_;
    int port_ = 0;
    bool started_ = false;
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
    int32_t ClientState() const { return FtpTransferMgrAccess::ClientState(*ftp); }
    bool WaitState(int32_t state) {
        return PumpUntil([&] { return ClientState() == state; });
    }
    /// Runs the queue until the client has read everything waiting on its control socket and
    /// handled it.
    void Settle(const ScriptedPeer* from = nullptr) {
        (void)PumpUntil([&] {
            if (from && !from->Delivered()) return false;
            const auto& c = FtpTransferMgrAccess::ControlSocket(*ftp);
            return !c || c->HowMuchDataIsAvailable() == 0;
        });
        RunPendingMessages();
    }
    /// Sends one chunk from the server and lets the client take it as one chunk.
    void Chunk(DialogServer& server, const std::string& bytes) {
        ASSERT_TRUE(server.Send(bytes));
        Settle(&server);
    }
    /// Connects to the scripted server and takes the USER command.
    void ConnectTo(DialogServer& server, const std::string& user = "Anonymous") {
        ftp->Port(server.Port());
        ASSERT_EQ(ftp->Connect("127.0.0.1"), 0);
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(server.Expect("USER " + user));
    }
    /// Connects and logs in: greeting and 331 in one chunk (PASS), then 230 (Ready).
    void LogIn(DialogServer& server) {
        ConnectTo(server);
        Chunk(server, "220 ready\r\n331 password please\r\n");
        ASSERT_TRUE(server.Expect("PASS "));
        Chunk(server, "230 logged in\r\n");
        ASSERT_TRUE(notes.WaitFor("Ready"));
        ASSERT_EQ(ClientState(), st::Ready);
        notes.notes.clear();
        notes.routes.clear();
    }

    std::shared_ptr<TavFTPTransferMgr> ftp;
    Notes notes;
};

}  // namespace ftptest
