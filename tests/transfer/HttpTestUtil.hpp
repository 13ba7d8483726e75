// Shared pieces of the HTTP transfer tests: a scripted server (worked from the test thread)
// for what real servers will not do, and a fixture that records what the manager notifies.
#pragma once

#include <tavsock/CreateObject.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>

#include "support/Recorder.hpp"
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
inline std::string Url(const ScriptedPeer& server, const std::string& path = "/") {
    return "http://127.0.0.1:" + std::to_string(server.Port()) + path;
}

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
    void Log(const std::string& e, const char* route = "event") {
        routes.push_back(route);
        heard.Add(e);
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
        auto& e = heard.entries;
        if (!e.empty() && e.back().rfind("Transferred ", 0) == 0) e.pop_back(), routes.pop_back();
        Log("Transferred " + std::to_string(n), route);
    }

    bool Has(const std::string& e) const {
        return heard.CountWhere([&](const std::string& h) { return h == e; }) > 0;
    }
    /// Runs the queue until the request is over (HTTPReady).
    bool RunUntilReady(std::chrono::milliseconds limit = kWait) {
        return tav::RunMessagesUntil([&] { return Has("Ready 0"); }, limit);
    }
    /// Runs one request (Execute's arguments) to its HTTPReady; the notifications it gave.
    /// When `responses` holds one, the scripted `server` takes the request into `requests`,
    /// answers the first response and closes (unless `hold`: the connection stays open).
    std::vector<std::string> Fetch(const std::string& url, const std::string& method = "GET", const std::string& data = "",
                                   const std::string& headers = "", const std::string& file = "") {
        heard.entries.clear(), routes.clear(), lastCount = 0;
        EXPECT_EQ(mgr->Execute(url, method, data, headers, file), 0);
        if (!responses.empty()) {
            requests.push_back(Answer(server, responses.front(), hold));
            responses.erase(responses.begin());
        }
        EXPECT_TRUE(RunUntilReady()) << url;
        return heard.entries;
    }
    std::string Url(const std::string& path = "/") const { return transfertest::Url(server, path); }

    std::shared_ptr<tav::TavHTTPTransferMgr> mgr;
    tav::support::Recorder<std::string> heard;  // every notification, in order
    std::vector<std::string> routes;
    std::string body;
    bool bodyIsBytes = false;
    bool logTransfers = false;
    ScriptedPeer server;
    std::vector<std::string> responses, requests;
    bool hold = false;
    int32_t lastCount = 0;
    int transferred = 0;
};

}  // namespace transfertest
