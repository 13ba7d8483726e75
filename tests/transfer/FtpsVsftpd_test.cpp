// Explicit FTP over TLS through TavFTPTransferMgr and `tavsock ls/get/put ftps://` against
// vsftpd with ssl_enable, forced encryption of logins and data, and require_ssl_reuse (a data
// connection that does not resume the control connection's session is refused). The
// certificates come from an authority the tests make with the openssl command line.
#include "HttpTestUtil.hpp"
#include "TlsTestUtil.hpp"

#include <tavsock/TavFTPTransferMgr.hpp>

namespace {

using namespace tavhttptest;
using tav::TavFTPTransferMgr;

const std::string kVsftpd = "/usr/sbin/vsftpd";

/// vsftpd on a free loopback port: anonymous downloads from pub/, uploads into upload/,
/// with TLS required (`tls` false: a server that offers no TLS at all).
class Vsftpd {
public:
    Vsftpd(const TempDir& dir, const std::string& cert, bool tls) : dir_(dir) {
        fs::create_directories(dir / "root/pub");
        fs::create_directories(dir / "root/upload");
        fs::create_directories(dir / "empty");
        for (const char* d : {"/root", "/root/pub"}) ::chmod((dir.Path() + d).c_str(), 0755);
        const std::string upload = dir / "root/upload";
        if (std::system(("chown ftp " + upload + " 2>/dev/null").c_str()) != 0) ::chmod(upload.c_str(), 0777);
        for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
            const uint16_t port = FreePort();
            std::string conf = "listen=YES\nlisten_ipv6=NO\nbackground=NO\nlisten_address=127.0.0.1\nlisten_port=" +
                               std::to_string(port) +
                               "\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=YES\nanon_upload_enable=YES\n"
                               "anon_root=" + dir.Path() + "/root\nsecure_chroot_dir=" + dir.Path() +
                               "/empty\nseccomp_sandbox=NO\npasv_enable=YES\nport_enable=YES\n"
                               "connect_from_port_20=NO\nxferlog_enable=NO\nsyslog_enable=NO\nanon_umask=022\n"
                               "idle_session_timeout=60\n";
            if (tls)
                conf += "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"
                        "require_ssl_reuse=YES\nssl_ciphers=HIGH\nrsa_cert_file=" + cert + ".pem\nrsa_private_key_file=" + cert + ".key\n";
            WriteFile(dir / "vsftpd.conf", conf);
            if (server_.Start({kVsftpd, dir / "vsftpd.conf"}, dir / "vsftpd.log") && server_.WaitListening(port))
                port_ = port;
            else
                server_.Stop();
        }
    }
    uint16_t Port() const { return port_; }
    std::string Url(const std::string& path) const {
        return "ftps://127.0.0.1:" + std::to_string(port_) + "/" + path;
    }
    std::string Log() const { return ReadFile(dir_ / "vsftpd.log"); }

private:
    const TempDir& dir_;
    ServerProcess server_;
    uint16_t port_ = 0;
};

class FtpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ServerProcess::Installed(kVsftpd) || !ServerProcess::Installed(kOpenssl))
            GTEST_SKIP() << "vsftpd or openssl is not installed";
        ASSERT_TRUE(ca.MakeAuthority("ca") && ca.MakeAuthority("other") &&
                    ca.Issue("good", "DNS:localhost,IP:127.0.0.1", 30, "ca") &&
                    ca.Issue("wronghost", "DNS:other.example", 30, "ca"))
            << ca.Log();
        data = EveryByteValue(2 * 1024 * 1024 + 333);
        ftp = TavFTPTransferMgr::Create();
        ftp->FTPReady.Subscribe([this](int32_t) { ++ready; });
        ftp->FTPError.Subscribe([this](const std::string& c, const std::string& t) { events.push_back("Error " + c + t); });
        ftp->FTPObjectError.Subscribe([this](int32_t c) { events.push_back("ObjectError " + std::to_string(c)); });
        ftp->FTPDataReceived.Subscribe([this](std::string& d) { received = d; });
        ftp->PairReplies(true);
        ftp->UseTLS(true);
        ftp->TLSCAFile(ca.Path("ca.pem"));
    }
    void TearDown() override { ftp.reset(); }

    /// Starts vsftpd with `cert` and connects; true once logged in and protected (FTPReady).
    bool LogIn(Vsftpd& server) {
        if (server.Port() == 0) return false;
        ftp->Port(server.Port());
        const int before = ready;
        if (ftp->Connect("127.0.0.1") != 0) return false;
        return RunUntil([&] { return ready > before; });
    }
    bool RunUntil(const std::function<bool()>& done) {
        return tav::RunMessagesUntil([&] { return done() || !events.empty(); }, kWait) && done();
    }
    /// Runs one operation to its FTPReady.
    bool Step(const std::function<int32_t()>& start) {
        const int before = ready;
        return start() == 0 && RunUntil([&] { return ready > before; });
    }

    TempDir dir;
    TestAuthority ca{dir.Path()};
    std::string data;
    std::shared_ptr<TavFTPTransferMgr> ftp;
    int ready = 0;
    std::vector<std::string> events;
    std::string received;
};

TEST_F(FtpsTest, ListRetrieveAndStoreByteIdenticalInPassiveAndActiveMode) {
    TempDir serverDir;
    Vsftpd server(serverDir, ca.Path("good"), true);
    WriteFile(serverDir / "root/pub/every-byte.bin", data);
    ASSERT_TRUE(LogIn(server)) << testing::PrintToString(events) << server.Log();
    EXPECT_EQ(ftp->TLSVersion(), "TLSv1.2");
    EXPECT_FALSE(ftp->TLSCipher().empty());
    ASSERT_TRUE(Step([&] { ftp->Binary(); return 0; }));

    ASSERT_TRUE(Step([&] { return ftp->NameList("pub"); })) << testing::PrintToString(events);
    EXPECT_NE(received.find("every-byte.bin"), std::string::npos) << received;

    const std::string copy = dir / "copy.bin";
    ASSERT_TRUE(Step([&] { return ftp->Retrieve("pub/every-byte.bin", copy); })) << testing::PrintToString(events);
    EXPECT_TRUE(ReadFile(copy) == data) << "retrieved bytes differ";
    EXPECT_EQ(ftp->ByteCount(), static_cast<int64_t>(data.size()));

    ASSERT_TRUE(Step([&] { return ftp->Store("upload/stored.bin", copy); })) << testing::PrintToString(events);
    EXPECT_TRUE(RunUntil([&] { return fs::exists(serverDir / "root/upload/stored.bin") &&
                                      fs::file_size(serverDir / "root/upload/stored.bin") == data.size(); }));
    EXPECT_TRUE(ReadFile(serverDir / "root/upload/stored.bin") == data) << "stored bytes differ";
    EXPECT_EQ(events, std::vector<std::string>{});

    // Active mode: the server connects to us, and we are still the TLS client on it.
    ftp->Reset();
    ftp->PassiveMode(false);
    ASSERT_TRUE(LogIn(server)) << testing::PrintToString(events);
    ASSERT_TRUE(Step([&] { ftp->Binary(); return 0; }));
    const std::string copy2 = dir / "copy2.bin";
    ASSERT_TRUE(Step([&] { return ftp->Retrieve("pub/every-byte.bin", copy2); })) << testing::PrintToString(events);
    EXPECT_TRUE(ReadFile(copy2) == data) << "retrieved bytes differ (active)";
    EXPECT_EQ(events, std::vector<std::string>{});
}

TEST_F(FtpsTest, ASessionThatCannotBeSecuredEndsWithTheReason) {
    {
        // A certificate for another name: nothing, the password included, goes out.
        TempDir serverDir;
        Vsftpd server(serverDir, ca.Path("wronghost"), true);
        ASSERT_NE(server.Port(), 0) << server.Log();
        ftp->Port(server.Port());
        ASSERT_EQ(ftp->Connect("127.0.0.1"), 0);
        ASSERT_TRUE(tav::RunMessagesUntil([&] { return !events.empty(); }, kWait));
        EXPECT_EQ(events, std::vector<std::string>{"ObjectError 7"});
        EXPECT_EQ(ftp->TLSError(), "the server's certificate is for another host, not 127.0.0.1");
        EXPECT_EQ(ftp->State(), 0);
    }
    {
        // Trusting another authority only.
        events.clear();
        TempDir serverDir;
        Vsftpd server(serverDir, ca.Path("good"), true);
        ftp->TLSCAFile(ca.Path("other.pem"));
        ftp->Port(server.Port());
        ASSERT_EQ(ftp->Connect("127.0.0.1"), 0);
        ASSERT_TRUE(tav::RunMessagesUntil([&] { return !events.empty(); }, kWait));
        EXPECT_EQ(events, std::vector<std::string>{"ObjectError 7"});
        EXPECT_NE(ftp->TLSError().find("unknown issuer"), std::string::npos) << ftp->TLSError();
    }
    {
        // A server without TLS: the session is not carried on in the clear.
        events.clear();
        TempDir serverDir;
        Vsftpd server(serverDir, "", false);
        ftp->TLSCAFile(ca.Path("ca.pem"));
        ftp->Port(server.Port());
        ASSERT_EQ(ftp->Connect("127.0.0.1"), 0);
        ASSERT_TRUE(tav::RunMessagesUntil([&] { return !events.empty(); }, kWait));
        EXPECT_EQ(events, std::vector<std::string>{"ObjectError 7"});
        EXPECT_EQ(ftp->TLSError().substr(0, 40), "the server refused to secure the session") << ftp->TLSError();
        EXPECT_EQ(ftp->State(), 0);
    }
    // The switch holds for a whole session: it cannot change once one has started.
    uint16_t port = 0;
    const int silent = ListenOnLoopback(port);
    ftp->Port(port);
    ASSERT_EQ(ftp->Connect("127.0.0.1"), 0);
    EXPECT_THROW(ftp->UseTLS(false), tav::SockError);
    EXPECT_TRUE(ftp->UseTLS());
    ftp->Reset();
    ::close(silent);
}

TEST_F(FtpsTest, AStalledHandshakeEndsAfterItsTimeLimit) {
    // A server that agrees to AUTH TLS and then says nothing more.
    uint16_t port = 0;
    const int listener = ListenOnLoopback(port);
    ASSERT_GE(listener, 0);
    std::thread server([listener] {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 20000) != 1) return;
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        (void)!::send(fd, "220 hello\r\n", 11, MSG_NOSIGNAL);
        std::string got;
        char buf[512];
        pollfd q{fd, POLLIN, 0};
        while (got.find("\r\n") == std::string::npos && ::poll(&q, 1, 20000) == 1) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        if (got == "AUTH TLS\r\n") (void)!::send(fd, "234 go ahead\r\n", 14, MSG_NOSIGNAL);
        while (::poll(&q, 1, 20000) == 1 && ::read(fd, buf, sizeof buf) > 0) {
        }
        ::close(fd);
    });
    ftp->TLSHandshakeTimeout(300);
    ftp->Port(port);
    EXPECT_EQ(ftp->Connect("127.0.0.1"), 0);
    EXPECT_TRUE(tav::RunMessagesUntil([&] { return !events.empty(); }, kWait));
    EXPECT_EQ(events, std::vector<std::string>{"ObjectError 7"});
    EXPECT_EQ(ftp->TLSError(), "the TLS handshake did not finish within 0.3 s");
    EXPECT_EQ(ftp->State(), 0);
    ftp.reset();  // closes the connection: the server thread ends
    server.join();
    ::close(listener);
}

TEST_F(FtpsTest, ToolListsGetsAndPutsOverFtpsAndSaysWhyItCannot) {
    if (ToolPath().empty()) GTEST_SKIP() << "the tool was not built";
    TempDir serverDir;
    Vsftpd server(serverDir, ca.Path("good"), true);
    ASSERT_NE(server.Port(), 0) << server.Log();
    WriteFile(serverDir / "root/pub/every-byte.bin", data);
    const std::string out = dir / "out", err = dir / "err", copy = dir / "copy.bin", cert = ca.Path("ca.pem");

    EXPECT_EQ(RunTool({"ls", server.Url("pub"), "--cacert", cert}, out, err), 0) << ReadFile(err);
    EXPECT_NE(ReadFile(out).find("every-byte.bin"), std::string::npos);
    EXPECT_EQ(RunTool({"get", server.Url("pub/every-byte.bin"), "--cacert", cert, "-o", copy}, out, err), 0)
        << ReadFile(err);
    EXPECT_TRUE(ReadFile(copy) == data) << "retrieved bytes differ";
    EXPECT_EQ(RunTool({"put", copy, server.Url("upload/put.bin"), "--cacert", cert}, out, err), 0) << ReadFile(err);
    EXPECT_TRUE(ReadFile(serverDir / "root/upload/put.bin") == data) << "stored bytes differ";

    // The system's store does not know the test authority; --insecure takes any certificate.
    EXPECT_EQ(RunTool({"ls", server.Url("pub")}, out, err), 1);
    EXPECT_EQ(ReadFile(err), "tavsock: ls " + server.Url("pub") +
                                 ": the server's certificate comes from an unknown issuer (not a trusted authority)\n");
    EXPECT_EQ(RunTool({"ls", server.Url("pub"), "--insecure"}, out, err), 0) << ReadFile(err);
}

}  // namespace
