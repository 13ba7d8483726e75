// https through TavHTTPTransferMgr and `tavsock get` against nginx, with a certificate
// authority the tests make with the openssl command line: a good certificate, an expired one,
// one for another host, one from an authority nobody trusts; tinyproxy tunnelling with
// CONNECT; and servers that break the handshake off (close, stall, answer in plain text).
#include "HttpTestUtil.hpp"
#include "TlsTestUtil.hpp"

#include <functional>

namespace {

using namespace tavhttptest;
using tav::TavHTTPTransferMgr;

const std::string kNginx = "/usr/sbin/nginx";
const std::string kTinyproxy = "/usr/bin/tinyproxy";

/// A loopback server that breaks a handshake off: it reads what the client sends first, then
/// closes, or answers with plain text and closes, or holds the connection until the client
/// goes. One connection at a time, in its own thread.
class HandshakeBreaker {
public:
    enum class Kind { Close, PlainAnswer, Hold };
    explicit HandshakeBreaker(Kind kind) : kind_(kind) {
        listen_ = ListenOnLoopback(port_);
        if (::pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
        thread_ = std::thread([this] { Run(); });
    }
    ~HandshakeBreaker() {
        if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
        thread_.join();
        for (int fd : {listen_, wake_[0], wake_[1]})
            if (fd >= 0) ::close(fd);
    }
    HandshakeBreaker(const HandshakeBreaker&) = delete;
    HandshakeBreaker& operator=(const HandshakeBreaker&) = delete;
    std::string Url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }
    /// Bytes of the first read of the last connection (the start of the ClientHello).
    int FirstBytes() const { return firstBytes_; }

private:
    bool WaitReadable(int fd) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        while (true) {
            const int n = ::poll(p, 2, 30000);
            if (n < 0 && errno == EINTR) continue;
            return n > 0 && !(p[1].revents & POLLIN);
        }
    }
    void Run() {
        while (WaitReadable(listen_)) {
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            char buf[4096];
            if (WaitReadable(fd)) firstBytes_ = static_cast<int>(::read(fd, buf, sizeof buf));
            if (kind_ == Kind::PlainAnswer) {
                const std::string text = "HTTP/1.0 400 Bad Request\r\n\r\nthis is not TLS\r\n";
                (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
            } else if (kind_ == Kind::Hold) {
                while (WaitReadable(fd) && ::read(fd, buf, sizeof buf) > 0) {
                }
            }
            ::close(fd);
        }
    }

    Kind kind_;
    uint16_t port_ = 0;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<int> firstBytes_{0};
};

/// One authority and one nginx for a whole suite: four TLS servers, each with one of the
/// certificates, over the same files.
class HttpsServers {
public:
    enum Server { Good, Expired, WrongHost, Foreign, kServers };

    static bool Installed() { return ServerProcess::Installed(kOpenssl) && ServerProcess::Installed(kNginx); }
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
        for (int attempt = 0; attempt < 5; ++attempt) {
            std::string servers;
            for (int s = 0; s < kServers; ++s) {
                ports_[s] = FreePort();
                servers += "  server { listen 127.0.0.1:" + std::to_string(ports_[s]) + " ssl; root " + d +
                           "/www;\n    ssl_certificate " + d + "/" + names[s] + ".pem; ssl_certificate_key " + d + "/" +
                           names[s] + ".key; }\n";
            }
            WriteFile(d + "/nginx.conf",
                      "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " + d +
                          "/nginx-error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
                          "  client_body_temp_path " + d + "/t-body;\n  proxy_temp_path " + d + "/t-proxy;\n"
                          "  fastcgi_temp_path " + d + "/t-fcgi;\n  uwsgi_temp_path " + d + "/t-uwsgi;\n"
                          "  scgi_temp_path " + d + "/t-scgi;\n  default_type application/octet-stream;\n" +
                          servers + "}\n");
            bool up = nginx_->Start({kNginx, "-p", d, "-e", d + "/nginx-error.log", "-c", d + "/nginx.conf"},
                                    d + "/nginx.log", d);
            for (int s = 0; up && s < kServers; ++s) up = nginx_->WaitListening(ports_[s]);
            if (up) return true;
            nginx_->Stop();
        }
        return false;
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
INSTANTIATE_TEST_SUITE_P(BothRoutes, HttpsTest, ::testing::Bool(), RouteName);

TEST_P(HttpsTest, TrustedCertificateCarriesEveryByteByAddressAndByName) {
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
    const std::string out = Path("copy-" + std::to_string(GetParam()) + ".bin");
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

TEST_P(HttpsTest, RefusedCertificatesEndTheRequestWithTheReason) {
    mgr->TLSCAFile(Path("ca.pem"));
    const std::string out = Path("refused-" + std::to_string(GetParam()) + ".bin");
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

TEST_P(HttpsTest, HandshakesBrokenOffEndWithTheReason) {
    mgr->TLSCAFile(Path("ca.pem"));
    {
        HandshakeBreaker server(HandshakeBreaker::Kind::Close);
        ASSERT_EQ(mgr->Execute(server.Url()), 0);
        ASSERT_TRUE(RunUntilReady());
        EXPECT_GT(server.FirstBytes(), 0);  // a ClientHello went out
        EXPECT_EQ(events, (std::vector<std::string>{"ObjectError 8", "Ready 0"}));
        EXPECT_EQ(mgr->TLSError(), "the server closed the connection during the TLS handshake");
    }
    {
        events.clear();
        HandshakeBreaker server(HandshakeBreaker::Kind::PlainAnswer);
        ASSERT_EQ(mgr->Execute(server.Url()), 0);
        ASSERT_TRUE(RunUntilReady());
        EXPECT_EQ(events, (std::vector<std::string>{"ObjectError 8", "Ready 0"}));
        EXPECT_EQ(mgr->TLSError().substr(0, 27), "the TLS handshake failed: w") << mgr->TLSError();
    }
    {
        // A server that takes the ClientHello and never answers: the handshake's own limit
        // ends it, with no Timeout set.
        events.clear();
        HandshakeBreaker server(HandshakeBreaker::Kind::Hold);
        mgr->TLSHandshakeTimeout(300);
        ASSERT_EQ(mgr->Timeout(), 0);
        ASSERT_EQ(mgr->Execute(server.Url()), 0);
        ASSERT_TRUE(RunUntilReady());
        EXPECT_EQ(events, (std::vector<std::string>{"ObjectError 8", "Ready 0"}));
        EXPECT_EQ(mgr->TLSError(), "the TLS handshake did not finish within 0.3 s");
    }
    EXPECT_THROW(mgr->TLSHandshakeTimeout(-1), tav::SockError);
}

TEST_P(HttpsTest, TinyproxyTunnelsWithConnect) {
    if (!ServerProcess::Installed(kTinyproxy)) GTEST_SKIP() << "tinyproxy is not installed";
    TempDir pdir;
    ServerProcess proxy;
    uint16_t proxyPort = 0;
    for (int attempt = 0; attempt < 5 && proxyPort == 0; ++attempt) {
        const uint16_t port = FreePort();
        // No ConnectPort line: CONNECT to any port is allowed.
        WriteFile(pdir / "tinyproxy.conf", "Port " + std::to_string(port) +
                                               "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\nMaxClients 10\n"
                                               "LogFile \"" + pdir.Path() + "/run.log\"\nPidFile \"" + pdir.Path() +
                                               "/tinyproxy.pid\"\n");
        if (proxy.Start({kTinyproxy, "-d", "-c", pdir / "tinyproxy.conf"}, pdir / "tinyproxy.log") &&
            proxy.WaitListening(port))
            proxyPort = port;
        else
            proxy.Stop();
    }
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

TEST_P(HttpsTest, ProxyRefusingTheTunnelIsAnHttpError) {
    ScriptedServer proxy({{ScriptedServer::Send("HTTP/1.0 403 Tunnel Refused\r\nX-Why: policy\r\n\r\n")}});
    mgr->Proxy("127.0.0.1:" + std::to_string(proxy.Port()));
    ASSERT_EQ(mgr->Execute("https://example.invalid:8443/a/b"), 0);
    ASSERT_TRUE(RunUntilReady());
    EXPECT_EQ(events, (std::vector<std::string>{"Error 403 Tunnel Refused", "Ready 0"}));
    ASSERT_EQ(proxy.Requests().size(), 1u);
    EXPECT_EQ(proxy.Requests()[0], "CONNECT example.invalid:8443 HTTP/1.0\r\nHost: example.invalid:8443\r\n\r\n");
    EXPECT_EQ(mgr->HTTPHeader(), "HTTP/1.0 403 Tunnel Refused\r\nX-Why: policy\r\n\r\n");
}

TEST(HttpsUrlTest, SchemeGivesPortAndAMalformedUrlIsRefused) {
    auto mgr = TavHTTPTransferMgr::Create();
    mgr->URL("HTTPS://example.invalid/x");
    EXPECT_EQ(tav::HttpTransferMgrAccess::Host(*mgr), "example.invalid");
    EXPECT_EQ(tav::HttpTransferMgrAccess::Port(*mgr), 443);
    EXPECT_EQ(tav::HttpTransferMgrAccess::Target(*mgr), "/x");
    mgr->URL("https://example.invalid:8443");
    EXPECT_EQ(tav::HttpTransferMgrAccess::Port(*mgr), 8443);
    EXPECT_EQ(tav::HttpTransferMgrAccess::Target(*mgr), "/");
    EXPECT_THROW(mgr->URL("https://"), tav::SockError);
    // Through a proxy an https URL is still checked, for its tunnel.
    mgr->URL("https://example.invalid/");
    mgr->Proxy("proxy.invalid:3128");
    EXPECT_EQ(tav::HttpTransferMgrAccess::Host(*mgr), "proxy.invalid");
    EXPECT_THROW(mgr->URL("https:///path"), tav::SockError);
    EXPECT_THROW(mgr->Proxy("https://proxy.invalid:3128"), tav::SockError);
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
