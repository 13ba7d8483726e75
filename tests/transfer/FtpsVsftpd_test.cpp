// Explicit FTP over TLS through TavFTPTransferMgr and `tavsock ls/get/put ftps://` against
// vsftpd with ssl_enable, forced encryption of logins and data, and require_ssl_reuse (a data
// connection that does not resume the control connection's session is refused). The
// certificates come from an authority the tests make with the openssl command line.
#include "transfer/FtpTestUtil.hpp"

namespace transfertest {
namespace {

class FtpsTest : public FtpClientTest {
protected:
    void SetUp() override {
        if (!Installed(kVsftpd) || !Installed(kOpenssl)) GTEST_SKIP() << "vsftpd or openssl is not installed";
        FtpClientTest::SetUp();
        ASSERT_TRUE(ca.MakeAuthority("ca") && ca.MakeAuthority("other") &&
                    ca.Issue("good", "DNS:localhost,IP:127.0.0.1,IP:::1", 30, "ca") &&
                    ca.Issue("wronghost", "DNS:other.example", 30, "ca"))
            << ca.Log();
        data = EveryByteValue(2 * 1024 * 1024 + 333);
        ftp->PairReplies(true);
        ftp->UseTLS(true);
        ftp->TLSCAFile(ca.Path("ca.pem"));
    }
    /// Starts an operation and runs it to its FTPReady; false when it failed instead.
    bool Step(const std::function<int32_t()>& start) {
        const size_t from = notes.entries.size();
        return start() == 0 && Finish(from).find("Error") == std::string::npos;
    }
    /// Connects; true once logged in and protected (FTPReady).
    bool LogIn(const Vsftpd& server) {
        ftp->Port(server.Port());
        return server.Started() && Step([&] { return ftp->Connect(server.Host()); });
    }

    TempDir dir;
    TestAuthority ca{dir.Path()};
    std::string data;
};

TEST_F(FtpsTest, ListRetrieveAndStoreByteIdenticalInPassiveAndActiveModeOverBothFamilies) {
    // The certificate names both loopback addresses; over IPv6 it is checked against ::1. In
    // active mode the server connects to us, and we are still the TLS client on it.
    for (const bool ipv6 : {false, true}) {
        Vsftpd server(ca.Path("good"), "", ipv6);
        WriteFile(server.Path("root/pub/every-byte.bin"), data);
        for (const bool passive : {true, false}) {
            SCOPED_TRACE(std::string(ipv6 ? "IPv6" : "IPv4") + (passive ? " passive" : " active"));
            ftp->Reset();
            ftp->PassiveMode(passive);
            notes.Clear();
            ASSERT_TRUE(LogIn(server)) << notes.Joined() << server.Log();
            EXPECT_EQ(ftp->TLSVersion(), "TLSv1.2");
            EXPECT_FALSE(ftp->TLSCipher().empty());
            ASSERT_TRUE(Step([&] { return ftp->Binary(), 0; }));
            ASSERT_TRUE(!passive || Step([&] { return ftp->NameList("pub"); })) << notes.Joined();
            EXPECT_TRUE(!passive || notes.Joined().find("every-byte.bin") != std::string::npos) << notes.Joined();
            const std::string copy = dir / (passive ? "copy.bin" : "copy-active.bin");
            ASSERT_TRUE(Step([&] { return ftp->Retrieve("pub/every-byte.bin", copy); })) << notes.Joined();
            EXPECT_TRUE(ReadFile(copy) == data) << "retrieved bytes differ";
            EXPECT_EQ(ftp->ByteCount(), static_cast<int64_t>(data.size()));
            if (!passive) continue;
            const std::string stored = server.Path("root/upload/stored.bin");
            ASSERT_TRUE(Step([&] { return ftp->Store("upload/stored.bin", copy); })) << notes.Joined();
            EXPECT_TRUE(PumpUntil([&] { return fs::exists(stored) && fs::file_size(stored) == data.size(); }));
            EXPECT_TRUE(ReadFile(stored) == data) << "stored bytes differ";
        }
    }
}

TEST_F(FtpsTest, ASessionThatCannotBeSecuredEndsWithTheReason) {
    const struct {
        std::string cert, trusted, reason;
    } cases[] = {
        {"wronghost", "ca", "the server's certificate is for another host, not 127.0.0.1"},
        {"good", "other", "the server's certificate comes from an unknown issuer (not a trusted authority)"},
        // A server without TLS: the session is not carried on in the clear.
        {"", "ca", "the server refused to secure the session"},
    };
    for (const auto& c : cases) {
        notes.Clear();
        Vsftpd server(c.cert.empty() ? "" : ca.Path(c.cert));
        ASSERT_TRUE(server.Started()) << server.Log();
        ftp->TLSCAFile(ca.Path(c.trusted + ".pem"));
        ftp->Port(server.Port());
        ASSERT_EQ(ftp->Connect("127.0.0.1"), 0);
        ASSERT_TRUE(PumpUntil([&] { return notes.Joined() == "ObjectError:7"; })) << notes.Joined();
        EXPECT_EQ(ftp->TLSError().substr(0, c.reason.size()), c.reason) << ftp->TLSError();
        EXPECT_EQ(ftp->State(), 0);
    }
}

TEST_F(FtpsTest, AStalledHandshakeEndsAfterItsTimeLimit) {
    // A server that agrees to AUTH TLS and then says nothing more.
    DialogServer server;
    ftp->TLSHandshakeTimeout(300);
    ftp->Port(server.Port());
    ASSERT_EQ(ftp->Connect("127.0.0.1"), 0);
    // The switch holds for a whole session: it cannot change once one has started.
    EXPECT_THROW(ftp->UseTLS(false), tav::SockError);
    EXPECT_TRUE(ftp->UseTLS());
    ASSERT_TRUE(server.Accept());
    Play(server, {"<220 hello\r\n", ">AUTH TLS", "<234 go ahead\r\n", "=ObjectError:7"});
    EXPECT_EQ(ftp->TLSError(), "the TLS handshake did not finish within 0.3 s");
    EXPECT_EQ(ftp->State(), 0);
}

TEST_F(FtpsTest, ToolListsGetsAndPutsOverFtpsAndSaysWhyItCannot) {
    if (ToolPath().empty()) GTEST_SKIP() << "the tool was not built";
    Vsftpd server(ca.Path("good"));
    ASSERT_TRUE(server.Started()) << server.Log();
    WriteFile(server.Path("root/pub/every-byte.bin"), data);
    const std::string out = dir / "out", err = dir / "err", copy = dir / "copy.bin", cert = ca.Path("ca.pem");

    EXPECT_EQ(RunTool({"ls", server.Url("pub"), "--cacert", cert}, out, err), 0) << ReadFile(err);
    EXPECT_NE(ReadFile(out).find("every-byte.bin"), std::string::npos);
    EXPECT_EQ(RunTool({"get", server.Url("pub/every-byte.bin"), "--cacert", cert, "-o", copy}, out, err), 0)
        << ReadFile(err);
    EXPECT_TRUE(ReadFile(copy) == data) << "retrieved bytes differ";
    EXPECT_EQ(RunTool({"put", copy, server.Url("upload/put.bin"), "--cacert", cert}, out, err), 0) << ReadFile(err);
    EXPECT_TRUE(ReadFile(server.Path("root/upload/put.bin")) == data) << "stored bytes differ";

    // The system's store does not know the test authority; --insecure takes any certificate.
    EXPECT_EQ(RunTool({"ls", server.Url("pub")}, out, err), 1);
    EXPECT_EQ(ReadFile(err), "tavsock ls: " + server.Url("pub") +
                                 ": the server's certificate comes from an unknown issuer (not a trusted authority)\n");
    EXPECT_EQ(RunTool({"ls", server.Url("pub"), "--insecure"}, out, err), 0) << ReadFile(err);
}

}  // namespace
}  // namespace transfertest
