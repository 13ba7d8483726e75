// https through TavHTTPTransferMgr and `tavsock get` against nginx, with a certificate
// authority the tests make with the openssl command line: a good certificate, an expired one,
// one for another host, one from an authority nobody trusts; tinyproxy tunnelling with
// CONNECT; and servers that break the handshake off (close, stall, answer in plain text).
#include "HttpTestUtil.hpp"

namespace {

using namespace transfertest;
using tav::TavHTTPTransferMgr;

/// One authority and one nginx for a whole suite: four TLS servers, each with one of the
/// certificates, over the same files.
class HttpsServers {
public:
    enum Server { Good, Expired, WrongHost, Foreign, kServers };

    static bool Installed() { return transfertest::Installed(kOpenssl) && transfertest::Installed(kNginx); }
    static void Start() {
        if (!Installed() || dir_) return;
        dir_ = new TempDir();
        ca_ = new TestAuthority(dir_->Path());
        nginx_ = new ServerProcess();
        TempDir& d = *dir_;
        fs::create_directory(d / "www");
        WriteFile(d / "www/every-byte.bin", Binary());
        WriteFile(d / "www/hello.txt", "hello, world\n");
        TestAuthority& ca = *ca_;
        ready_ = ca.MakeAuthority("ca") && ca.MakeAuthority("other") &&
                 ca.Issue("good", "DNS:localhost,IP:127.0.0.1", 30, "ca") &&
                 ca.Issue("expired", "DNS:localhost,IP:127.0.0.1", -1, "ca") &&
                 ca.Issue("wronghost", "DNS:other.example", 30, "ca") &&
                 ca.Issue("foreign", "DNS:localhost,IP:127.0.0.1", 30, "other") &&
                 ca.MakeHashedFolder("ca", d / "cafolder") && StartNginx();
    }
    static void Stop() {
        delete nginx_;
        delete ca_;
        delete dir_;
        nginx_ = nullptr, ca_ = nullptr, dir_ = nullptr;
        ready_ = false;
    }
    static bool Ready() { return ready_; }
    static std::string Failure() { return (ca_ ? ca_->Log() : "") + (dir_ ? ReadFile(*dir_ / "nginx-error.log") : ""); }
    static const std::string& Binary() {
        static const std::string data = EveryByteValue(3 * 1024 * 1024 + 77);
        return data;
    }
    static std::string Url(Server s, const std::string& path, const std::string& host = "127.0.0.1") {
        return "https://" + host + ":" + std::to_string(ports_[s]) + path;
    }
    static uint16_t Port(Server s) { return ports_[s]; }
    static std::string Path(const std::string& file) { return *dir_ / file; }

private:
    static bool StartNginx() {
        const char* names[kServers] = {"good", "expired", "wronghost", "foreign"};
        const std::string d = dir_->Path();
        const auto ports = StartOnFreePorts(*nginx_, kServers, [&](const std::vector<uint16_t>& ports) {
            std::string servers;
            for (int s = 0; s < kServers; ++s)
                servers += "  server { listen 127.0.0.1:" + std::to_string(ports[s]) + " ssl; root " + d +
                           "/www;\n    ssl_certificate " + d + "/" + names[s] + ".pem; ssl_certificate_key " + d + "/" +
                           names[s] + ".key; }\n";
            return NginxCommand(d, servers);
        }, d + "/nginx.log", d);
        std::copy(ports.begin(), ports.end(), ports_);
        return !ports.empty();
    }

    static inline TempDir* dir_ = nullptr;
    static inline TestAuthority* ca_ = nullptr;
    static inline ServerProcess* nginx_ = nullptr;
    static inline uint16_t ports_[kServers] = {};
    static inline bool ready_ = false;
};

class HttpsTest : public HttpMgrTest, protected HttpsServers {
protected:
    static void SetUpTestSuite() { HttpsServers::Start(); }
    static void TearDownTestSuite() { HttpsServers::Stop(); }
    void SetUp() override {
        if (!Installed()) GTEST_SKIP() << "openssl or nginx is not installed";
        ASSERT_TRUE(Ready()) << Failure();
        HttpMgrTest::SetUp();
    }
};

TEST_F(HttpsTest, TrustedCertificateCarriesEveryByteByAddressAndByName) {
    mgr->TLSCAFile(Path("ca.pem"));
    mgr->RetrieveMode(tav::TAVRetrieveByteArray);
    ASSERT_EQ(mgr->Execute(Url(Good, "/every-byte.bin")), 0);
    EXPECT_EQ(tav::HttpTransferMgrAccess::Port(*mgr), Port(Good));
    ASSERT_TRUE(RunUntilReady());
    EXPECT_EQ(events, (std::vector<std::string>{"DataReceived", "Ready 0"}));
    EXPECT_TRUE(body == Binary()) << "bytes differ";
    EXPECT_EQ(mgr->ContentLength(), static_cast<int64_t>(Binary().size()));
    EXPECT_EQ(mgr->HTTPHeader().substr(0, 13), "HTTP/1.1 200 ");
    EXPECT_EQ(mgr->TLSError(), "");
    EXPECT_EQ(mgr->TLSVersion().substr(0, 4), "TLSv");
    EXPECT_FALSE(mgr->TLSCipher().empty());

    // By name (checked against the DNS entry, sent as SNI), into a file, trusting a folder.
    events.clear();
    lastCount = 0;
    mgr->TLSCAFile("");
    mgr->TLSCAFolder(Path("cafolder"));
    const std::string out = Path("copy.bin");
    ASSERT_EQ(mgr->Execute(Url(Good, "/every-byte.bin", "localhost"), "GET", "", "", out), 0);
    ASSERT_TRUE(RunUntilReady());
    EXPECT_EQ(events, (std::vector<std::string>{"Ready 0"}));
    EXPECT_TRUE(ReadFile(out) == Binary()) << "file differs";
    fs::remove(out);

    // A status other than 2xx comes through the encrypted connection as it would in clear.
    events.clear();
    ASSERT_EQ(mgr->Execute(Url(Good, "/missing")), 0);
    ASSERT_TRUE(RunUntilReady());
    EXPECT_EQ(events, (std::vector<std::string>{"Error 404 Not Found", "Ready 0"}));
}

TEST_F(HttpsTest, RefusedCertificatesEndTheRequestWithTheReason) {
    mgr->TLSCAFile(Path("ca.pem"));
    const std::string out = Path("refused.bin");
    const struct {
        Server server;
        std::string reason;
    } cases[] = {
        {Expired, "the server's certificate has expired"},
        {WrongHost, "the server's certificate is for another host, not 127.0.0.1"},
        {Foreign, "the server's certificate comes from an unknown issuer (not a trusted authority)"},
    };
    for (const auto& c : cases) {
        events.clear();
        ASSERT_EQ(mgr->Execute(Url(c.server, "/hello.txt"), "GET", "", "", out), 0);
        ASSERT_TRUE(RunUntilReady());
        EXPECT_EQ(events, (std::vector<std::string>{"ObjectError 8", "Ready 0"})) << c.reason;
        EXPECT_EQ(mgr->TLSError(), c.reason);
        EXPECT_EQ(mgr->HTTPHeader(), "");  // nothing was asked, nothing answered
        EXPECT_FALSE(fs::exists(out)) << "the output file of a refused request stays behind";
    }

    // Our authority is not in the system's store.
    events.clear();
    mgr->TLSCAFile("");
    ASSERT_EQ(mgr->Execute(Url(Good, "/hello.txt")), 0);
    ASSERT_TRUE(RunUntilReady());
    EXPECT_EQ(events, (std::vector<std::string>{"ObjectError 8", "Ready 0"}));
    EXPECT_NE(mgr->TLSError().find("unknown issuer"), std::string::npos) << mgr->TLSError();

    // An authority file that cannot be read is said so.
    events.clear();
    mgr->TLSCAFile(Path("no-such-file.pem"));
    ASSERT_EQ(mgr->Execute(Url(Good, "/hello.txt")), 0);
    ASSERT_TRUE(RunUntilReady());
    EXPECT_EQ(events, (std::vector<std::string>{"ObjectError 8", "Ready 0"}));
    EXPECT_NE(mgr->TLSError().find("no-such-file.pem could not be read"), std::string::npos) << mgr->TLSError();

    // Switched off, every check goes: the wrong host's body comes.
    events.clear();
    mgr->TLSCAFile("");
    mgr->DangerouslyAcceptAnyCertificate(true);
    ASSERT_EQ(mgr->Execute(Url(WrongHost, "/hello.txt")), 0);
    ASSERT_TRUE(RunUntilReady());
    EXPECT_EQ(events, (std::vector<std::string>{"DataReceived", "Ready 0"}));
    EXPECT_EQ(body, "hello, world\n");
}

TEST_F(HttpsTest, HandshakesBrokenOffEndWithTheReason) {
    mgr->TLSCAFile(Path("ca.pem"));
    mgr->TLSHandshakeTimeout(300);
    const struct {
        std::string answer;
        bool close;
        std::string reason;
    } cases[] = {
        {"", true, "the server closed the connection during the TLS handshake"},
        {"HTTP/1.0 400 Bad Request\r\n\r\nthis is not TLS\r\n", true, "the TLS handshake failed: w"},
        // Takes the ClientHello and never answers: the handshake's own limit ends it, with no
        // Timeout set.
        {"", false, "the TLS handshake did not finish within 0.3 s"},
    };
    ASSERT_EQ(mgr->Timeout(), 0);
    for (const auto& c : cases) {
        events.clear();
        ScriptedPeer server;
        ASSERT_EQ(mgr->Execute("https://127.0.0.1:" + std::to_string(server.Port()) + "/"), 0);
        ASSERT_TRUE(server.Accept());
        EXPECT_FALSE(server.Receive(1).empty());  // a ClientHello went out
        if (!c.answer.empty()) {
            ASSERT_TRUE(server.Send(c.answer));
        }
        if (c.close) server.Close();
        ASSERT_TRUE(RunUntilReady());
        EXPECT_EQ(events, (std::vector<std::string>{"ObjectError 8", "Ready 0"}));
        EXPECT_EQ(mgr->TLSError().substr(0, c.reason.size()), c.reason) << mgr->TLSError();
    }
    EXPECT_THROW(mgr->TLSHandshakeTimeout(-1), tav::SockError);
}

TEST_F(HttpsTest, TinyproxyTunnelsWithConnect) {
    if (!transfertest::Installed(kTinyproxy)) GTEST_SKIP() << "tinyproxy is not installed";
    TempDir pdir;
    ServerProcess proxy;
    const uint16_t proxyPort = StartTinyproxy(proxy, pdir.Path());
    ASSERT_NE(proxyPort, 0) << ReadFile(pdir / "tinyproxy.log");

    mgr->TLSCAFile(Path("ca.pem"));
    mgr->Proxy("127.0.0.1:" + std::to_string(proxyPort));
    mgr->RetrieveMode(tav::TAVRetrieveByteArray);
    ASSERT_EQ(mgr->Execute(Url(Good, "/every-byte.bin", "localhost")), 0);
    ASSERT_TRUE(RunUntilReady());
    EXPECT_EQ(events, (std::vector<std::string>{"DataReceived", "Ready 0"}));
    EXPECT_TRUE(body == Binary()) << "bytes differ";
    // The header block is the server's: the tunnel's own answer is not part of it.
    EXPECT_EQ(mgr->HTTPHeader().substr(0, 13), "HTTP/1.1 200 ");
    EXPECT_NE(mgr->HTTPHeader().find("nginx"), std::string::npos);

    // The certificate is checked against the server's name, not the proxy's.
    events.clear();
    ASSERT_EQ(mgr->Execute(Url(WrongHost, "/hello.txt", "localhost")), 0);
    ASSERT_TRUE(RunUntilReady());
    EXPECT_EQ(events, (std::vector<std::string>{"ObjectError 8", "Ready 0"}));
    EXPECT_EQ(mgr->TLSError(), "the server's certificate is for another host, not localhost");
}

class HttpsToolTest : public ::testing::Test, protected HttpsServers {
protected:
    static void SetUpTestSuite() { HttpsServers::Start(); }
    static void TearDownTestSuite() { HttpsServers::Stop(); }
    void SetUp() override {
        if (!Installed() || ToolPath().empty()) GTEST_SKIP() << "openssl, nginx or the tool is missing";
        ASSERT_TRUE(Ready()) << Failure();
    }
};

TEST_F(HttpsToolTest, GetSaysWhyACertificateWasRefusedAndExitsOne) {
    TempDir dir;
    const std::string out = dir / "out", err = dir / "err", file = dir / "copy.bin";
    const std::string ca = Path("ca.pem");

    EXPECT_EQ(RunTool({"get", Url(Good, "/every-byte.bin", "localhost"), "--cacert", ca, "-o", file}, out, err), 0)
        << ReadFile(err);
    EXPECT_TRUE(ReadFile(file) == Binary()) << "file differs";

    EXPECT_EQ(RunTool({"get", Url(Expired, "/hello.txt"), "--cacert", ca}, out, err), 1);
    EXPECT_EQ(ReadFile(err), "tavsock get: the server's certificate has expired\n");
    EXPECT_EQ(RunTool({"get", Url(WrongHost, "/hello.txt", "localhost"), "--cacert", ca}, out, err), 1);
    EXPECT_EQ(ReadFile(err), "tavsock get: the server's certificate is for another host, not localhost\n");
    EXPECT_EQ(RunTool({"get", Url(Foreign, "/hello.txt"), "--cacert", ca}, out, err), 1);
    EXPECT_EQ(ReadFile(err),
              "tavsock get: the server's certificate comes from an unknown issuer (not a trusted authority)\n");
    EXPECT_EQ(ReadFile(out), "");  // nothing of a refused server's answer reaches the output

    EXPECT_EQ(RunTool({"get", Url(Foreign, "/hello.txt"), "--insecure"}, out, err), 0) << ReadFile(err);
    EXPECT_EQ(ReadFile(out), "hello, world\n");
    EXPECT_EQ(RunTool({"get", Url(Good, "/hello.txt"), "--capath", Path("cafolder")}, out, err), 0) << ReadFile(err);
    EXPECT_EQ(RunTool({"get", Url(Good, "/"), "--cacert"}, out, err), 2);
}

}  // namespace
