// TavHTTPTransferMgr against lighttpd, plain and over TLS. lighttpd sends its TLS close_notify
// with the response and then waits for ours before it closes the connection: a client that
// waits for the close instead sits out the server's own time limit (seconds).
#include "HttpTestUtil.hpp"

namespace {

using namespace transfertest;

class LighttpdTest : public HttpMgrTest {
protected:
    static void SetUpTestSuite() {
        if (!Installed(kOpenssl) || !Installed(kLighttpd)) return;
        dir_ = new TempDir();
        server_ = new Process();
        const std::string d = dir_->Path();
        fs::create_directory(d + "/www");
        WriteFile(d + "/www/hello.txt", "hello, world\n");
        TestAuthority ca(d);
        if (ca.MakeAuthority("ca") && ca.Issue("good", "DNS:localhost,IP:127.0.0.1", 30, "ca")) {
            const auto ports = StartOnFreePorts(*server_, 2, [&](const std::vector<uint16_t>& p) {
                WriteFile(d + "/lighttpd.conf",
                          "server.document-root = \"" + d + "/www\"\nserver.bind = \"127.0.0.1\"\nserver.port = " +
                              std::to_string(p[0]) + "\nserver.modules += (\"mod_openssl\")\nserver.errorlog = \"" + d +
                              "/lighttpd-error.log\"\n$SERVER[\"socket\"] == \"127.0.0.1:" + std::to_string(p[1]) +
                              "\" {\n  ssl.engine = \"enable\"\n  ssl.pemfile = \"" + d + "/good.pem\"\n  ssl.privkey = \"" +
                              d + "/good.key\"\n}\n");
                return std::vector<std::string>{kLighttpd, "-D", "-f", d + "/lighttpd.conf"};
            }, d + "/lighttpd.log", d);
            if (ports.size() == 2) http_ = ports[0], https_ = ports[1];
        }
        failure_ = https_ == 0 ? ca.Log() + ReadFile(d + "/lighttpd.log") + ReadFile(d + "/lighttpd-error.log") : "";
    }
    static void TearDownTestSuite() {
        delete server_;
        delete dir_;
        server_ = nullptr, dir_ = nullptr;
    }
    void SetUp() override {
        if (!dir_) GTEST_SKIP() << "openssl or lighttpd is not installed";
        ASSERT_EQ(failure_, "");
        HttpMgrTest::SetUp();
        mgr->TLSCAFile(dir_->Path() + "/ca.pem");
    }

    static inline TempDir* dir_ = nullptr;
    static inline Process* server_ = nullptr;
    static inline uint16_t http_ = 0, https_ = 0;
    static inline std::string failure_;
};

// The https response ends with the server's close_notify, long before lighttpd's own limit
// (seconds) or the Timeout below (which would end a whole body too, but only after 3 s)
// would; the output file is kept whole. The one time bound of these tests: what is measured
// is a wait of seconds against one of milliseconds.
TEST_F(LighttpdTest, HttpAndHttpsGetsEndWithTheResponse) {
    mgr->Timeout(3000);
    for (const std::string& scheme : {std::string("http"), std::string("https")}) {
        SCOPED_TRACE(scheme);
        const uint16_t port = scheme == "http" ? http_ : https_;
        const std::string url = scheme + "://127.0.0.1:" + std::to_string(port) + "/hello.txt";
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(Fetch(url), (Notified{"DataReceived", "Ready 0"}));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
        EXPECT_EQ(body, "hello, world\n");
        const std::string out = dir_->Path() + "/out-" + scheme;
        EXPECT_EQ(Fetch(url, "GET", "", "", out), (Notified{"Ready 0"}));
        EXPECT_EQ(ReadFile(out), "hello, world\n");
    }
    EXPECT_EQ(mgr->TLSError(), "");
    EXPECT_NE(mgr->TLSVersion(), "");
}

}  // namespace
