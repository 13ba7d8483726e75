// Shared pieces of the HTTP transfer tests: a scripted server for what real servers will not
// do, and a fixture that records what the manager notifies.
#pragma once

#include <tavsock/CreateObject.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>

#include "transfer/HttpTransferMgrAccess.hpp"
#include "transfer/TransferTestUtil.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace transfertest {

using Notified = std::vector<std::string>;

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

/// A manager with every notification written down as text. The events write it; a callback
/// object given by UseCallback() writes into the same log, marking its entries in `routes`,
/// so a test can tell which route each notification took.
class HttpMgrTest : public ::testing::Test {
protected:
    struct Callback : tav::ITavHTTPNotify {
        HttpMgrTest* t;
        explicit Callback(HttpMgrTest* test) : t(test) {}
        void HTTPDataReceived(const std::shared_ptr<tav::TavHTTPTransferMgr>& m, tav::Variant& d) override {
            t->Check(m), t->OnData(d, "callback");
        }
        void HTTPDataTransferred(const std::shared_ptr<tav::TavHTTPTransferMgr>& m, int32_t n) override {
            t->Check(m), t->OnTransferred(n, "callback");
        }
        void HTTPObjectError(const std::shared_ptr<tav::TavHTTPTransferMgr>& m, int32_t c) override {
            t->Check(m), t->Log("ObjectError " + std::to_string(c), "callback");
        }
        void HTTPReady(const std::shared_ptr<tav::TavHTTPTransferMgr>& m, int32_t c) override {
            t->Check(m), t->Log("Ready " + std::to_string(c), "callback");
        }
        void HTTPError(const std::shared_ptr<tav::TavHTTPTransferMgr>& m, const std::string& s,
                       const std::string& r) override {
            t->Check(m), t->Log("Error " + s + " " + r, "callback");
        }
    };

    void SetUp() override {
        mgr = tav::TavHTTPTransferMgr::Create();
        mgr->HTTPDataReceived.Subscribe([this](tav::Variant& d) { OnData(d); });
        mgr->HTTPDataTransferred.Subscribe([this](int32_t n) { OnTransferred(n); });
        mgr->HTTPObjectError.Subscribe([this](int32_t c) { Log("ObjectError " + std::to_string(c)); });
        mgr->HTTPReady.Subscribe([this](int32_t c) { Log("Ready " + std::to_string(c)); });
        mgr->HTTPError.Subscribe([this](const std::string& s, const std::string& r) { Log("Error " + s + " " + r); });
    }
    void TearDown() override {
        if (mgr) mgr->CallbackObject(nullptr);
        mgr.reset();
    }
    void UseCallback() { mgr->CallbackObject(std::make_shared<Callback>(this)); }

    void Check(const std::shared_ptr<tav::TavHTTPTransferMgr>& m) {
        if (m != mgr) Log("callback with another manager");
    }
    void Log(const std::string& e, const char* route = "event") {
        events.push_back(e);
        routes.push_back(route);
    }
    void OnData(tav::Variant& d, const char* route = "event") {
        Log("DataReceived", route);
        body = d.IsByteArray() ? std::string(d.AsBytes().begin(), d.AsBytes().end()) : d.AsString();
        bodyIsBytes = d.IsByteArray();
    }
    /// Counts go into the log only when `logTransfers`, a run of them as its last count (how
    /// a body is cut into reads is the kernel's business).
    void OnTransferred(int32_t n, const char* route = "event") {
        if (n < lastCount) Log("count went back");
        lastCount = n;
        ++transferred;
        if (!logTransfers) return;
        if (!events.empty() && events.back().rfind("Transferred ", 0) == 0) events.pop_back(), routes.pop_back();
        Log("Transferred " + std::to_string(n), route);
    }

    bool Has(const std::string& e) const { return std::find(events.begin(), events.end(), e) != events.end(); }
    /// Runs the queue until the request is over (HTTPReady).
    bool RunUntilReady(std::chrono::milliseconds limit = kWait) {
        return tav::RunMessagesUntil([&] { return Has("Ready 0"); }, limit);
    }
    /// Runs one request (Execute's arguments) to its HTTPReady; the notifications it gave.
    std::vector<std::string> Fetch(const std::string& url, const std::string& method = "GET", const std::string& data = "",
                                   const std::string& headers = "", const std::string& file = "") {
        events.clear(), routes.clear();
        EXPECT_EQ(mgr->Execute(url, method, data, headers, file), 0);
        EXPECT_TRUE(RunUntilReady()) << url;
        return events;
    }
    const std::shared_ptr<tav::TavTCPSocketMgr>& Tcp() { return tav::HttpTransferMgrAccess::TCPMgr(*mgr); }

    std::shared_ptr<tav::TavHTTPTransferMgr> mgr;
    std::vector<std::string> events, routes;
    std::string body;
    bool bodyIsBytes = false;
    bool logTransfers = false;
    int32_t lastCount = 0;
    int transferred = 0;
};

}  // namespace transfertest
