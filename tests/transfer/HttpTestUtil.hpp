// Shared pieces of the HTTP transfer tests: a scripted server (worked from the test thread)
// for what real servers will not do, and a fixture that records what the manager notifies.
#pragma once

#include <tavsock/CreateObject.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>

#include "transfer/TransferTestUtil.hpp"

namespace transfertest {

using Notified = std::vector<std::string>;

/// Accepts the client's connection on `server` and reads its request: the header block,
/// Content-Length more bytes, and the CR LF CR LF it ends in (the client's closing CR LF may
/// come beyond Content-Length).
inline std::string TakeRequest(ScriptedPeer& server) {
    if (!server.Accept()) return "";
    return server.Receive([](const std::string& r) {
        const size_t end = r.find("\r\n\r\n"), length = r.find("Content-Length: ");
        if (end == std::string::npos) return false;
        const size_t need = end + 4 + (length < end ? std::strtoul(r.c_str() + length + 16, nullptr, 10) : 0);
        return r.size() >= need && r.compare(r.size() - 4, 4, "\r\n\r\n") == 0;
    });
}
/// One exchange on `server`: takes the request (returned), answers `response` and closes
/// (unless `hold`: the connection stays open).
inline std::string Answer(ScriptedPeer& server, const std::string& response, bool hold = false) {
    std::string request = TakeRequest(server);
    EXPECT_TRUE(server.Send(response));
    if (!hold) server.Close();
    return request;
}

/// A manager with every notification written down as text. The events write it; a callback
/// object given by UseCallback() writes into the same log, marking its entries in its `routes`,
/// so a test can tell which route each notification took.
class HttpMgrTest : public ::testing::Test {
protected:
    struct Callback : tav::ITavHTTPNotify {
        using Mgr = std::shared_ptr<tav::TavHTTPTransferMgr>;
        HttpMgrTest* t;
        explicit Callback(HttpMgrTest* test) : t(test) {}
        void HTTPDataReceived(const Mgr& m, tav::Variant& d) override { t->Check(m), t->OnData(d, "callback"); }
        void HTTPDataTransferred(const Mgr& m, int32_t n) override { t->Check(m), t->OnTransferred(n, "callback"); }
        void HTTPObjectError(const Mgr& m, int32_t c) override {
            t->Check(m), t->Log("ObjectError " + std::to_string(c), "callback");
        }
        void HTTPReady(const Mgr& m, int32_t c) override { t->Check(m), t->Log("Ready " + std::to_string(c), "callback"); }
        void HTTPError(const Mgr& m, const std::string& s, const std::string& r) override {
            t->Check(m), t->Log("Error " + s + " " + r, "callback");
        }
    };

    /// With `ipv6` the scripted server listens on ::1 only, so what it accepts came over IPv6.
    explicit HttpMgrTest(bool ipv6 = false) : server(0, ipv6) {}

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
    void Log(const std::string& e, const char* route = "event") { heard.Add(e, route); }
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
        auto& e = heard.entries;
        if (!e.empty() && e.back().rfind("Transferred ", 0) == 0) e.pop_back(), heard.routes.pop_back();
        Log("Transferred " + std::to_string(n), route);
    }

    bool Has(const std::string& e) const { return heard.Count(e) > 0; }
    /// Runs the queue until the request is over (HTTPReady).
    bool RunUntilReady() { return tav::RunMessagesUntil([&] { return Has("Ready 0"); }, kWait); }
    /// Runs one request (Execute's arguments) to its HTTPReady; the notifications it gave.
    /// When `responses` holds one, the scripted `server` takes the request into `requests`,
    /// answers the first response and closes (unless `hold`: the connection stays open).
    std::vector<std::string> Fetch(const std::string& url, const std::string& method = "GET", const std::string& data = "",
                                   const std::string& headers = "", const std::string& file = "") {
        heard.Clear(), lastCount = 0;
        EXPECT_EQ(mgr->Execute(url, method, data, headers, file), 0);
        if (!responses.empty()) {
            requests.push_back(Answer(server, responses.front(), hold));
            responses.erase(responses.begin());
        }
        EXPECT_TRUE(RunUntilReady()) << url;
        return heard.entries;
    }
    std::string Url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(server.Port()) + path; }

    std::shared_ptr<tav::TavHTTPTransferMgr> mgr;
    Heard heard;  // every notification, in order
    std::string body;
    bool bodyIsBytes = false;
    bool logTransfers = false;
    ScriptedPeer server;
    std::vector<std::string> responses, requests;
    bool hold = false;
    int32_t lastCount = 0;
    int transferred = 0;
};

/// One certificate authority and one nginx for a whole suite, over the same files: a plain
/// server and four TLS servers, each with one of the certificates, on 127.0.0.1 and on ::1 at
/// the same port. A suite of plain requests starts the plain server alone (StartServers(false)),
/// sparing the certificates' making.
class RealServersTest : public HttpMgrTest {
protected:
    enum Server { Plain, Good, Expired, WrongHost, Foreign, kServers };

    static void SetUpTestSuite() { StartServers(true); }
    static void StartServers(bool tls) {
        if (!Installed(kOpenssl) || !Installed(kNginx)) return;
        dir_ = new TempDir();
        nginx_ = new Process();
        const std::string d = dir_->Path();
        fs::create_directory(d + "/www");
        WriteFile(d + "/www/every-byte.bin", Binary());
        WriteFile(d + "/www/hello.txt", "hello, world\n");
        TestAuthority ca(d);
        const char* names[kServers] = {"", "good", "expired", "wronghost", "foreign"};
        std::vector<uint16_t> ports;
        if (!tls || (ca.MakeAuthority("ca") && ca.MakeAuthority("other") &&
            ca.Issue("good", "DNS:localhost,IP:127.0.0.1,IP:::1", 30, "ca") &&
            ca.Issue("expired", "DNS:localhost,IP:127.0.0.1,IP:::1", -1, "ca") &&
            // An address is matched against IP entries only, never against a DNS entry.
            ca.Issue("wronghost", "DNS:other.example,DNS:::1,DNS:127.0.0.1", 30, "ca") &&
            ca.Issue("foreign", "DNS:localhost,IP:127.0.0.1", 30, "other") && ca.MakeHashedFolder("ca", d + "/cafolder")))
            ports = StartOnFreePorts(*nginx_, tls ? kServers : 1, [&](const std::vector<uint16_t>& ports) {
                std::string servers;
                for (size_t s = 0; s < ports.size(); ++s) {
                    const std::string port = std::to_string(ports[s]) + (s == Plain ? "" : " ssl");
                    servers += "  server { listen 127.0.0.1:" + port + "; listen [::1]:" + port + "; root " + d + "/www;\n";
                    if (s != Plain)
                        servers += "    ssl_certificate " + d + "/" + names[s] + ".pem; ssl_certificate_key " + d + "/" +
                                   names[s] + ".key;\n";
                    servers += "    location = /to-http { return 302 http://127.0.0.1:1/x; }\n"
                               "    location = /sni { return 200 \"[$ssl_server_name]\"; } }\n";
                }
                return NginxCommand(d, servers);
            }, d + "/nginx.log", d);
        std::copy(ports.begin(), ports.end(), ports_);
        failure_ = ports.empty() ? ca.Log() + ReadFile(d + "/nginx-error.log") : "";
    }
    static void TearDownTestSuite() {
        delete nginx_;
        delete dir_;
        nginx_ = nullptr, dir_ = nullptr;
    }
    void SetUp() override {
        if (!dir_) GTEST_SKIP() << "openssl or nginx is not installed";
        ASSERT_EQ(failure_, "");
        HttpMgrTest::SetUp();
    }

    static const std::string& Binary() {
        static const std::string data = EveryByteValue(3 * 1024 * 1024 + 77);
        return data;
    }
    static std::string Url(Server s, const std::string& path, const std::string& host = "127.0.0.1") {
        return (s == Plain ? "http://" : "https://") + host + ":" + std::to_string(ports_[s]) + path;
    }
    static std::string Path(const std::string& file) { return *dir_ / file; }

    static inline TempDir* dir_ = nullptr;
    static inline Process* nginx_ = nullptr;
    static inline uint16_t ports_[kServers] = {};
    static inline std::string failure_;
};

}  // namespace transfertest
