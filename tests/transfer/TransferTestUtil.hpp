// Shared pieces of the transfer client tests: files, servers started on free ports (tinyproxy,
// vsftpd, python3's servers) with the shared launcher, a certificate authority made with the
// openssl command line, and a loopback peer worked from the test thread while the queue runs.
#pragma once

#include <tavsock/MessageLoop.hpp>
#include <tavsock/SockError.hpp>

#include "platform/SockTestUtil.hpp"
#include "support/Loopback.hpp"
#include "support/Nginx.hpp"
#include "support/Process.hpp"
#include "support/Recorder.hpp"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

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

using namespace tav::support;  // processes, folders, servers on free ports, loopback sockets

/// Runs a program to its end with its output in the file `out`, errors in `err` (with the
/// output when ""); its exit status, or -1.
inline int RunProgram(const std::vector<std::string>& argv, const std::string& out, const std::string& err = "") {
    return tav::support::Run(argv, {out, err}).status;
}

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

/// What a transfer manager notified, as text, in order, with the route each notification took
/// ("event", or "callback" for a callback object) in `routes`.
class Heard : public tav::support::Recorder<std::string> {
public:
    void Add(const std::string& note, const std::string& route = "event") {
        routes.push_back(route);
        Recorder::Add(note);
    }
    int Count(const std::string& note) const { return CountWhere([&](const std::string& n) { return n == note; }); }
    bool WaitFor(const std::string& note, int count = 1) { return PumpUntil([&] { return Count(note) >= count; }); }
    /// The entries joined by " | ", each cut to 200 characters.
    std::string Joined() const {
        std::string all;
        for (const std::string& s : entries) all += (all.empty() ? "" : " | ") + s.substr(0, 200);
        return all;
    }
    void Clear() { entries.clear(), routes.clear(); }

    std::vector<std::string> routes;
};

/// Runs the tool with stdout and stderr to files; its exit status.
inline int RunTool(std::vector<std::string> args, const std::string& out, const std::string& err) {
    args.insert(args.begin(), ToolPath());
    return RunProgram(args, out, err);
}

/// tinyproxy for 127.0.0.1 (::1 when `ipv6`) on a free port (no ConnectPort line: CONNECT to
/// any port is allowed); its port, 0 when it did not start (log in `dir`/tinyproxy.log).
inline uint16_t StartTinyproxy(Process& p, const std::string& d, bool ipv6 = false) {
    const std::string self = ipv6 ? "::1" : "127.0.0.1";
    return StartOnFreePort(p, [&](uint16_t port) {
        WriteFile(d + "/tinyproxy.conf", "Port " + std::to_string(port) + "\nListen " + self + "\nTimeout 60\nAllow " +
                                             self + "\nMaxClients 10\nLogFile \"" + d + "/tinyproxy-run.log\"\nPidFile \"" +
                                             d + "/tinyproxy.pid\"\n");
        return std::vector<std::string>{kTinyproxy, "-d", "-c", d + "/tinyproxy.conf"};
    }, d + "/tinyproxy.log", "", ipv6);
}

/// vsftpd on a free loopback port (127.0.0.1, or ::1 when `ipv6`): anonymous downloads from
/// root/pub, uploads into root/upload. With `cert` (a .pem and .key base name) TLS is required
/// for logins and data, and a data connection must resume the control connection's TLS
/// session. `extra` is added to the configuration.
class Vsftpd {
public:
    explicit Vsftpd(const std::string& cert = "", const std::string& extra = "", bool ipv6 = false)
        : host_(ipv6 ? "[::1]" : "127.0.0.1") {
        for (const char* d : {"root/pub", "root/upload", "empty"}) fs::create_directories(dir_ / d);
        for (const char* d : {"/root", "/root/pub"}) ::chmod((dir_.Path() + d).c_str(), 0755);
        // The anonymous user writes as "ftp" into the upload directory only.
        const std::string upload = dir_ / "root/upload";
        if (std::system(("chown ftp " + upload + " 2>/dev/null").c_str()) != 0) ::chmod(upload.c_str(), 0777);
        if (!Installed(kVsftpd)) return;
        const std::string d = dir_.Path();
        port_ = StartOnFreePort(server_, [&](uint16_t port) {
            std::string conf = (ipv6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n"
                                                   : "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n") +
                               std::string("background=NO\nlisten_port=") + std::to_string(port) +
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
        }, d + "/vsftpd.log", "", ipv6);
    }
    bool Started() const { return port_ != 0; }
    uint16_t Port() const { return port_; }
    std::string Path(const std::string& relative) const { return dir_ / relative; }
    std::string Url(const std::string& path) const { return "ftps://" + host_ + ":" + std::to_string(port_) + "/" + path; }
    /// The address to connect to: "127.0.0.1" or "[::1]".
    const std::string& Host() const { return host_; }
    std::string Log() const { return ReadFile(dir_ / "vsftpd.log"); }

private:
    // In memory where there is room: ten thousand files are created in a blink there, and
    // can take seconds on a busy disk.
    TempDir dir_{"tavsock", ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : ""};
    std::string host_;
    Process server_;
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
        std::error_code ec;
        fs::create_directory(folder);
        fs::copy_file(Path(authority + ".pem"), folder + "/" + authority + ".pem", ec);
        return !ec && RunProgram({kOpenssl, "rehash", folder}, log_) == 0;
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
    /// Listens on `port` (any free one when 0) of 127.0.0.1, or of ::1 only when `ipv6` (so
    /// what it accepts came over IPv6); Port() is 0 when that port was taken.
    explicit ScriptedPeer(uint16_t port = 0, bool ipv6 = false) : listener_(tav::support::Listen(port, SOCK_NONBLOCK, ipv6)) {
        port_ = listener_.Get() < 0 ? 0 : port;
    }
    int Port() const { return port_; }

    /// Runs the queue until a connection came in; it takes the place of the last one.
    bool Accept() {
        return PumpUntil([&] {
            tav::support::Fd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (fd.Get() < 0) return false;
            conn_ = std::move(fd);
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
                const ssize_t n = ::send(conn_.Get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
                if (n <= 0) return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK;  // give up on errors
                done += static_cast<size_t>(n);
            }
            return true;
        }) && done == bytes.size();
    }
    /// True when the peer's kernel has taken everything sent (nothing unacknowledged).
    bool Delivered() const {
        int unsent = 0;
        return conn_.Get() < 0 || (::ioctl(conn_.Get(), SIOCOUTQ, &unsent) == 0 && unsent == 0);
    }
    /// Runs the queue until what came is `whole` (or the connection ended); takes it all.
    std::string Receive(const std::function<bool(const std::string&)>& whole) {
        (void)PumpUntil([&] { return ReadSome() || whole(received_); });
        return std::exchange(received_, std::string());
    }
    /// True when a connection waits to be accepted once the queue has run for a moment.
    bool Waiting() const {
        tav::RunMessagesFor(std::chrono::milliseconds(20));
        pollfd p{listener_.Get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }
    /// Runs the queue until the peer closed its side; true when it did. Everything that came
    /// before is kept (AllReceived).
    bool WaitClosed() {
        return PumpUntil([&] { return ReadSome(); });
    }
    const std::string& AllReceived() const { return received_; }
    /// Closes the connection (an orderly end).
    void Close() { conn_.Close(); }
    /// Ends the connection with a reset.
    void Abort() { tav::support::Reset(conn_); }

protected:
    // Reads what waits; true when the connection has ended.
    bool ReadSome() {
        char buf[65536];
        for (ssize_t n; conn_.Get() >= 0 && (n = ::recv(conn_.Get(), buf, sizeof buf, 0)) != 0;) {
            if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
            received_.append(buf, static_cast<size_t>(n));
        }
        return true;
    }

    tav::support::Fd listener_, conn_;
    int port_ = 0;
    std::string received_;
};

}  // namespace transfertest
