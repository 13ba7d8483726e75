// Shared pieces of the HTTP transfer tests: a scripted server for what real servers will not
// do, real server processes (python3 http.server, nginx, tinyproxy) in a private temporary
// folder, and a fixture that records what the manager notifies.
#pragma once

#include <tavsock/CreateObject.hpp>
#include <tavsock/MessageLoop.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>

#include "transfer/HttpTransferMgrAccess.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tavhttptest {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline constexpr auto kWait = std::chrono::seconds(20);

/// Bytes 0..255 repeated up to `size`, with a twist per block so that shifted data differs.
inline std::string EveryByteValue(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i + i / 256) & 0xFF);
    return s;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

/// A loopback listening socket on a port the kernel picks.
inline int ListenOnLoopback(uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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

/// A server on 127.0.0.1 that plays one script per accepted connection, in its own thread
/// with blocking sockets: it reads the request (the header block, then Content-Length bytes
/// and the CR LF the client adds), then runs the steps. WaitGo blocks until the test calls
/// Go(), so the client has read what came before: that is how a response is cut into reads.
class ScriptedServer {
public:
    enum class Kind { Send, WaitGo, Close, Reset, Hold };
    struct Step {
        Kind kind;
        std::string bytes;
    };
    using Script = std::vector<Step>;
    static Step Send(std::string b) { return {Kind::Send, std::move(b)}; }
    static Step WaitGo() { return {Kind::WaitGo, {}}; }
    static Step Close() { return {Kind::Close, {}}; }
    static Step Reset() { return {Kind::Reset, {}}; }
    /// Answers nothing more until the client closes the connection.
    static Step Hold() { return {Kind::Hold, {}}; }

    explicit ScriptedServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
        listen_ = ListenOnLoopback(port_);
        if (::pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedServer() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
        thread_.join();
        for (int fd : {listen_, wake_[0], wake_[1]})
            if (fd >= 0) ::close(fd);
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    uint16_t Port() const { return port_; }
    std::string Url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    /// Lets one WaitGo step go on.
    void Go() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++go_;
        }
        cv_.notify_all();
    }
    /// The requests read so far, one per connection.
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    int Accepted() const { return accepted_; }

private:
    // Waits until fd is readable or the server stops; false when it stops.
    bool WaitReadable(int fd) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        while (true) {
            const int n = ::poll(p, 2, 30000);
            if (n < 0 && errno == EINTR) continue;
            return n > 0 && !(p[1].revents & POLLIN);
        }
    }
    // The request is whole when it holds its header block and Content-Length more bytes and
    // ends in CR LF CR LF (the client's closing CR LF may come beyond Content-Length).
    bool ReadRequest(int fd, std::string& request) {
        char buf[4096];
        while (true) {
            const size_t end = request.find("\r\n\r\n");
            if (end != std::string::npos) {
                size_t need = end + 4;
                const size_t cl = request.find("Content-Length: ");
                if (cl != std::string::npos && cl < end) need += std::strtoul(request.c_str() + cl + 16, nullptr, 10);
                if (request.size() >= need && request.compare(request.size() - 4, 4, "\r\n\r\n") == 0) return true;
            }
            if (!WaitReadable(fd)) return false;
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return false;
            request.append(buf, static_cast<size_t>(n));
        }
    }
    void Run() {
        for (const Script& script : scripts_) {
            if (!WaitReadable(listen_)) return;
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            ++accepted_;
            std::string request;
            const bool ok = ReadRequest(fd, request);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
            }
            bool open = ok;
            for (const Step& step : script) {
                if (!open) break;
                switch (step.kind) {
                case Kind::Send:
                    for (size_t done = 0; done < step.bytes.size();) {
                        const ssize_t n = ::send(fd, step.bytes.data() + done, step.bytes.size() - done, MSG_NOSIGNAL);
                        if (n <= 0) break;
                        done += static_cast<size_t>(n);
                    }
                    break;
                case Kind::WaitGo: {
                    std::unique_lock<std::mutex> lock(mutex_);
                    cv_.wait_for(lock, 30s, [&] { return stop_ || go_ > 0; });
                    if (go_ > 0) --go_;
                    if (stop_) open = false;
                    break;
                }
                case Kind::Reset: {
                    linger l{1, 0};
                    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                    open = false;
                    break;
                }
                case Kind::Hold: {
                    // Answers nothing more until the client goes (or the server stops).
                    char buf[4096];
                    while (WaitReadable(fd) && ::read(fd, buf, sizeof buf) > 0) {
                    }
                    open = false;
                    break;
                }
                case Kind::Close:
                    open = false;
                    break;
                }
            }
            ::close(fd);
        }
    }

    std::vector<Script> scripts_;
    uint16_t port_ = 0;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    int go_ = 0;
    std::vector<std::string> requests_;
    std::atomic<int> accepted_{0};
};

/// A private temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/tavsock-http-XXXXXX";
        path_ = ::mkdtemp(name) ? name : "";
        if (!path_.empty()) ::chmod(path_.c_str(), 0755);
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

/// A server program run by a test: its own process group, output to a log file, killed with
/// its group and reaped by Stop or the destructor.
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess() { Stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    static bool Installed(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

    bool Start(const std::vector<std::string>& argv, const std::string& log, const std::string& cwd = "") {
        Stop();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, args[0], &actions, &attr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (rc != 0) pid_ = -1;
        return rc == 0;
    }

    bool Running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        return true;
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

/// A manager with every notification written down, by either route: events, or a callback
/// object (GetParam() true) that must be the only route.
class HttpMgrTest : public ::testing::TestWithParam<bool> {
protected:
    struct Callback : tav::ITavHTTPNotify {
        HttpMgrTest* t;
        explicit Callback(HttpMgrTest* test) : t(test) {}
        void HTTPDataReceived(const std::shared_ptr<tav::TavHTTPTransferMgr>& m, tav::Variant& d) override {
            t->Check(m), t->OnData(d);
        }
        void HTTPDataTransferred(const std::shared_ptr<tav::TavHTTPTransferMgr>& m, int32_t n) override {
            t->Check(m), t->OnTransferred(n);
        }
        void HTTPObjectError(const std::shared_ptr<tav::TavHTTPTransferMgr>& m, int32_t c) override {
            t->Check(m), t->Log("ObjectError " + std::to_string(c));
        }
        void HTTPReady(const std::shared_ptr<tav::TavHTTPTransferMgr>& m, int32_t c) override {
            t->Check(m), t->Log("Ready " + std::to_string(c));
        }
        void HTTPError(const std::shared_ptr<tav::TavHTTPTransferMgr>& m, const std::string& s,
                       const std::string& r) override {
            t->Check(m), t->Log("Error " + s + " " + r);
        }
    };

    void SetUp() override {
        mgr = tav::TavHTTPTransferMgr::Create();
        if (GetParam()) {
            mgr->CallbackObject(std::make_shared<Callback>(this));
            // Raised events would be a second route.
            mgr->HTTPReady.Subscribe([this](int32_t) { Log("event raised despite the callback"); });
            mgr->HTTPError.Subscribe([this](const std::string&, const std::string&) { Log("event raised despite the callback"); });
            mgr->HTTPObjectError.Subscribe([this](int32_t) { Log("event raised despite the callback"); });
            mgr->HTTPDataReceived.Subscribe([this](tav::Variant&) { Log("event raised despite the callback"); });
        } else {
            mgr->HTTPDataReceived.Subscribe([this](tav::Variant& d) { OnData(d); });
            mgr->HTTPDataTransferred.Subscribe([this](int32_t n) { OnTransferred(n); });
            mgr->HTTPObjectError.Subscribe([this](int32_t c) { Log("ObjectError " + std::to_string(c)); });
            mgr->HTTPReady.Subscribe([this](int32_t c) { Log("Ready " + std::to_string(c)); });
            mgr->HTTPError.Subscribe([this](const std::string& s, const std::string& r) { Log("Error " + s + " " + r); });
        }
    }
    void TearDown() override {
        if (mgr) mgr->CallbackObject(nullptr);
        mgr.reset();
    }

    void Check(const std::shared_ptr<tav::TavHTTPTransferMgr>& m) {
        if (m != mgr) Log("callback with another manager");
    }
    void Log(const std::string& e) { events.push_back(e); }
    void OnData(tav::Variant& d) {
        Log("DataReceived");
        body = d.IsByteArray() ? std::string(d.AsBytes().begin(), d.AsBytes().end()) : d.AsString();
        bodyIsBytes = d.IsByteArray();
        bodyBytes = d.IsByteArray() ? d.AsBytes().size() : 0;
    }
    void OnTransferred(int32_t n) {
        if (n < lastCount) Log("count went back");
        lastCount = n;
        ++transferred;
    }

    bool Has(const std::string& e) const { return std::find(events.begin(), events.end(), e) != events.end(); }
    /// Runs the queue until the request is over (HTTPReady) or `extra` holds.
    bool RunUntilReady(std::chrono::milliseconds limit = kWait) {
        return tav::RunMessagesUntil([&] { return Has("Ready 0"); }, limit);
    }
    const std::shared_ptr<tav::TavTCPSocketMgr>& Tcp() { return tav::HttpTransferMgrAccess::TCPMgr(*mgr); }

    std::shared_ptr<tav::TavHTTPTransferMgr> mgr;
    std::vector<std::string> events;
    std::string body;
    bool bodyIsBytes = false;
    size_t bodyBytes = 0;
    int32_t lastCount = 0;
    int transferred = 0;
};

/// The tool next to this test program in the build tree; "" when it was not built.
inline std::string ToolPath() {
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    const fs::path tool = fs::path(std::string(self, static_cast<size_t>(n))).parent_path().parent_path() / "tools/tavsock";
    return ::access(tool.c_str(), X_OK) == 0 ? tool.string() : "";
}

/// Runs the tool with stdout and stderr to files; its exit status.
inline int RunTool(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    std::vector<std::string> argv{ToolPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string RouteName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "CallbackObject" : "Events";
}

}  // namespace tavhttptest
