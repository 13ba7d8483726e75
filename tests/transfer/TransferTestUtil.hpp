// Shared pieces of the transfer client tests: files and private folders, free ports, programs
// run to their end or kept running as servers in process groups of their own (nginx,
// tinyproxy, vsftpd, python3's servers), a certificate authority made with the openssl
// command line, and a loopback peer worked from the test thread while the queue runs.
#pragma once

#include <tavsock/MessageLoop.hpp>
#include <tavsock/SockError.hpp>

#include "platform/SockTestUtil.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace transfertest {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline constexpr auto kWait = std::chrono::seconds(20);
inline const std::string kOpenssl = "/usr/bin/openssl";
inline const std::string kNginx = "/usr/sbin/nginx";
inline const std::string kLighttpd = "/usr/sbin/lighttpd";
inline const std::string kTinyproxy = "/usr/bin/tinyproxy";
inline const std::string kVsftpd = "/usr/sbin/vsftpd";
inline const std::string kPython = "/usr/bin/python3";

inline bool Installed(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

/// Bytes 0..255 repeated up to `size`, with a twist per block so that shifted data differs.
inline std::string EveryByteValue(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i + i / 256) & 0xFF);
    return s;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

/// Runs the queue until `done` holds (kWait at most). Checked at least every millisecond: the
/// scripted peers' sockets are not watched by the queue, so their progress wakes nothing.
inline bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        tav::RunMessagesFor(std::chrono::milliseconds(1));
    }
    return true;
}

/// A loopback listening socket on `port` (0: one the kernel picks, written back); -1 when
/// the port is taken.
inline int ListenOnLoopback(uint16_t& port, int flags = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

/// A port that was free a moment ago (for servers that must be told their port).
inline uint16_t FreePort() {
    uint16_t port = 0;
    const int fd = ListenOnLoopback(port);
    if (fd >= 0) ::close(fd);
    return port;
}

/// A private temporary folder (readable by the servers' own users), removed with everything
/// in it. Under `base`, or the system's temporary folder when empty.
class TempDir {
public:
    explicit TempDir(const std::string& base = "") {
        std::string name = ((base.empty() ? fs::temp_directory_path() : fs::path(base)) / "tavsock-XXXXXX").string();
        path_ = ::mkdtemp(name.data()) ? name : "";
        if (!path_.empty()) ::chmod(path_.c_str(), 0755);
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

/// Starts argv[0] (a full path) in a process group of its own, standard input from /dev/null,
/// output written to `out` and errors to `err` (with the output when ""); -1 when it could
/// not be spawned.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err = "",
                   const std::string& cwd = "") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err.empty())
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);  // its own group, so a kill reaches what it forks
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

/// Waits for a program's end; its exit status, or -1.
inline int Reap(pid_t pid) {
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
/// Runs a program to its end (see Spawn); its exit status, or -1.
inline int RunProgram(const std::vector<std::string>& argv, const std::string& out, const std::string& err = "") {
    return Reap(Spawn(argv, out, err));
}

/// The tool next to this test program in the build tree; "" when it was not built.
inline std::string ToolPath() {
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    const fs::path tool = fs::path(std::string(self, static_cast<size_t>(n))).parent_path().parent_path() / "tools/tavsock";
    return Installed(tool) ? tool.string() : "";
}

/// Runs the tool with stdout and stderr to files; its exit status.
inline int RunTool(std::vector<std::string> args, const std::string& out, const std::string& err) {
    args.insert(args.begin(), ToolPath());
    return RunProgram(args, out, err);
}

/// A server program run by a test, killed with its process group and reaped by Stop or the
/// destructor.
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess() { Stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool Start(const std::vector<std::string>& argv, const std::string& log, const std::string& cwd = "") {
        Stop();
        pid_ = Spawn(argv, log, "", cwd);
        return pid_ > 0;
    }
    bool Running() {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
        return pid_ > 0;
    }
    /// Waits (bounded) until something accepts connections on 127.0.0.1:port; false when the
    /// server ended or never listened. The server gives no sign of readiness, so refused
    /// attempts are repeated with a short pause.
    bool WaitListening(uint16_t port) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (std::chrono::steady_clock::now() < deadline && Running()) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
            if (ok) return true;
            ::poll(nullptr, 0, 20);
        }
        return false;
    }
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

/// Starts a server whose command line (made by `argv` from `count` ports) names its ports,
/// on ports free a moment ago; another process may take one first, so a server that does not
/// come up is tried again. The ports, or an empty list when it never listened.
inline std::vector<uint16_t> StartOnFreePorts(ServerProcess& p, size_t count,
                                              const std::function<std::vector<std::string>(const std::vector<uint16_t>&)>& argv,
                                              const std::string& log, const std::string& cwd = "") {
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::vector<uint16_t> ports;
        while (ports.size() < count) ports.push_back(FreePort());
        bool up = p.Start(argv(ports), log, cwd);
        for (size_t i = 0; up && i < count; ++i) up = p.WaitListening(ports[i]);
        if (up) return ports;
        p.Stop();
    }
    return {};
}
inline uint16_t StartOnFreePort(ServerProcess& p, const std::function<std::vector<std::string>(uint16_t)>& argv,
                                const std::string& log, const std::string& cwd = "") {
    const auto ports = StartOnFreePorts(p, 1, [&](const std::vector<uint16_t>& v) { return argv(v[0]); }, log, cwd);
    return ports.empty() ? 0 : ports[0];
}

/// nginx in `dir` with the given server blocks (serving `dir`/www); its command line.
inline std::vector<std::string> NginxCommand(const std::string& d, const std::string& servers) {
    WriteFile(d + "/nginx.conf",
              "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " + d +
                  "/nginx-error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
                  "  client_body_temp_path " + d + "/t-body;\n  proxy_temp_path " + d + "/t-proxy;\n"
                  "  fastcgi_temp_path " + d + "/t-fcgi;\n  uwsgi_temp_path " + d + "/t-uwsgi;\n"
                  "  scgi_temp_path " + d + "/t-scgi;\n  default_type application/octet-stream;\n" + servers + "}\n");
    return {kNginx, "-p", d, "-e", d + "/nginx-error.log", "-c", d + "/nginx.conf"};
}

/// tinyproxy for 127.0.0.1 on a free port (no ConnectPort line: CONNECT to any port is
/// allowed); its port, 0 when it did not start (log in `dir`/tinyproxy.log).
inline uint16_t StartTinyproxy(ServerProcess& p, const std::string& d) {
    return StartOnFreePort(p, [&](uint16_t port) {
        WriteFile(d + "/tinyproxy.conf", "Port " + std::to_string(port) +
                                             "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\nMaxClients 10\n"
                                             "LogFile \"" + d + "/tinyproxy-run.log\"\nPidFile \"" + d + "/tinyproxy.pid\"\n");
        return std::vector<std::string>{kTinyproxy, "-d", "-c", d + "/tinyproxy.conf"};
    }, d + "/tinyproxy.log");
}

/// vsftpd on a free loopback port: anonymous downloads from root/pub, uploads into
/// root/upload. With `cert` (a .pem and .key base name) TLS is required for logins and data,
/// and a data connection must resume the control connection's TLS session. `extra` is added
/// to the configuration.
class Vsftpd {
public:
    explicit Vsftpd(const std::string& cert = "", const std::string& extra = "") {
        for (const char* d : {"root/pub", "root/upload", "empty"}) fs::create_directories(dir_ / d);
        for (const char* d : {"/root", "/root/pub"}) ::chmod((dir_.Path() + d).c_str(), 0755);
        // The anonymous user writes as "ftp" into the upload directory only.
        const std::string upload = dir_ / "root/upload";
        if (std::system(("chown ftp " + upload + " 2>/dev/null").c_str()) != 0) ::chmod(upload.c_str(), 0777);
        if (!Installed(kVsftpd)) return;
        const std::string d = dir_.Path();
        port_ = StartOnFreePort(server_, [&](uint16_t port) {
            std::string conf = "listen=YES\nlisten_ipv6=NO\nbackground=NO\nlisten_address=127.0.0.1\nlisten_port=" +
                               std::to_string(port) +
                               "\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=YES\nanon_upload_enable=YES\n"
                               "anon_root=" + d + "/root\nsecure_chroot_dir=" + d +
                               "/empty\nseccomp_sandbox=NO\npasv_enable=YES\nport_enable=YES\n"
                               "connect_from_port_20=NO\nxferlog_enable=NO\nsyslog_enable=NO\nanon_umask=022\n"
                               "max_clients=0\nmax_per_ip=0\nidle_session_timeout=120\n" + extra;
            if (!cert.empty())
                conf += "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"
                        "require_ssl_reuse=YES\nssl_ciphers=HIGH\nrsa_cert_file=" + cert + ".pem\nrsa_private_key_file=" + cert + ".key\n";
            WriteFile(d + "/vsftpd.conf", conf);
            return std::vector<std::string>{kVsftpd, d + "/vsftpd.conf"};
        }, d + "/vsftpd.log");
    }
    bool Started() const { return port_ != 0; }
    uint16_t Port() const { return port_; }
    std::string Path(const std::string& relative) const { return dir_ / relative; }
    std::string Url(const std::string& path) const { return "ftps://127.0.0.1:" + std::to_string(port_) + "/" + path; }
    std::string Log() const { return ReadFile(dir_ / "vsftpd.log"); }

private:
    // In memory where there is room: ten thousand files are created in a blink there, and
    // can take seconds on a busy disk.
    TempDir dir_{::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : ""};
    ServerProcess server_;
    uint16_t port_ = 0;
};

/// Two kinds of certificate authority in a folder (the trusted "ca" and an "other" nobody
/// trusts) and server certificates they sign.
class TestAuthority {
public:
    explicit TestAuthority(std::string dir) : dir_(std::move(dir)), log_(dir_ + "/openssl.log") {}

    bool MakeAuthority(const std::string& name) {
        return RunProgram({kOpenssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                           "-keyout", Path(name + ".key"), "-out", Path(name + ".pem"), "-days", "30", "-subj",
                           "/CN=TAVSock test authority " + name},
                          log_) == 0;
    }
    /// name.pem and name.key for `altNames` (e.g. "DNS:localhost,IP:127.0.0.1"), valid for
    /// `days` from now (-1: expired a day ago), signed by `authority`.
    bool Issue(const std::string& name, const std::string& altNames, int days, const std::string& authority) {
        WriteFile(Path(name + ".ext"), "subjectAltName=" + altNames + "\n");
        return RunProgram({kOpenssl, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                           Path(name + ".key"), "-out", Path(name + ".csr"), "-subj", "/CN=" + name},
                          log_) == 0 &&
               RunProgram({kOpenssl, "x509", "-req", "-in", Path(name + ".csr"), "-CA", Path(authority + ".pem"),
                           "-CAkey", Path(authority + ".key"), "-CAcreateserial", "-CAserial",
                           Path(authority + ".srl"), "-out", Path(name + ".pem"), "-days", std::to_string(days),
                           "-extfile", Path(name + ".ext")},
                          log_) == 0;
    }
    /// A folder holding the authority under its hash name, as `openssl rehash` makes it.
    bool MakeHashedFolder(const std::string& authority, const std::string& folder) {
        const std::string hashFile = Path("hash.txt");
        fs::create_directory(folder);
        if (RunProgram({kOpenssl, "x509", "-in", Path(authority + ".pem"), "-noout", "-hash"}, hashFile) != 0) return false;
        std::string hash = ReadFile(hashFile);
        hash.erase(hash.find_last_not_of(" \n") + 1);
        std::error_code ec;
        fs::copy_file(Path(authority + ".pem"), folder + "/" + hash + ".0", ec);
        return !ec;
    }
    std::string Path(const std::string& file) const { return dir_ + "/" + file; }
    std::string Log() const { return ReadFile(log_); }

private:
    std::string dir_;
    std::string log_;
};

/// A listening TCP socket on 127.0.0.1 (any port) and the one connection it accepts, both
/// non-blocking and worked from the test thread while it runs the message queue, so the
/// client under test keeps running in between.
class ScriptedPeer {
public:
    /// Listens on `port` (any free one when 0); Port() is 0 when that port was taken.
    explicit ScriptedPeer(uint16_t port = 0) {
        listener_ = ListenOnLoopback(port, SOCK_NONBLOCK);
        port_ = listener_ < 0 ? 0 : port;
    }
    ~ScriptedPeer() {
        Close();
        if (listener_ >= 0) ::close(listener_);
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int Port() const { return port_; }

    /// Runs the queue until a connection came in; it takes the place of the last one.
    bool Accept() {
        return PumpUntil([&] {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return false;
            Close();
            conn_ = fd;
            received_.clear();
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
    /// Runs the queue until what came is `whole` (or the connection ended); takes it all.
    std::string Receive(const std::function<bool(const std::string&)>& whole) {
        (void)PumpUntil([&] { return ReadSome() || whole(received_); });
        return std::exchange(received_, std::string());
    }
    /// True when a connection waits to be accepted.
    bool Waiting() const {
        pollfd p{listener_, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
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

}  // namespace transfertest
