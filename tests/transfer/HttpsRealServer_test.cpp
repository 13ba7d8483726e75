// https through TavHTTPTransferMgr and `tavsock get` against nginx, with a certificate
// authority the tests make with the openssl command line: a good certificate, an expired one,
// one for another host, one from an authority nobody trusts; tinyproxy tunnelling with
// CONNECT, and plain requests through it; and servers that break the handshake off (close,
// stall, answer in plain text).
#include "HttpTestUtil.hpp"

namespace {

using namespace transfertest;
using tav::TavHTTPTransferMgr;

using HttpsTest = RealServersTest;

TEST_F(HttpsTest, TrustedCertificateCarriesEveryByteByAddressAndByName) {
    mgr->TLSCAFile(Path("ca.pem"));
    mgr->RetrieveMode(tav::TAVRetrieveByteArray);
    EXPECT_EQ(Fetch(Url(Good, "/every-byte.bin")), (Notified{"DataReceived", "Ready 0"}));
    EXPECT_TRUE(body == Binary()) << "bytes differ";
    EXPECT_EQ(mgr->ContentLength(), static_cast<int64_t>(Binary().size()));
    EXPECT_EQ(mgr->HTTPHeader().substr(0, 13), "HTTP/1.1 200 ");
    EXPECT_EQ(mgr->TLSError(), "");
    EXPECT_EQ(mgr->TLSVersion().substr(0, 4), "TLSv");
    EXPECT_FALSE(mgr->TLSCipher().empty());

    // By name (checked against the DNS entry, sent as SNI), into a file, trusting a folder.
    mgr->TLSCAFile("");
    mgr->TLSCAFolder(Path("cafolder"));
    const std::string out = Path("copy.bin");
    EXPECT_EQ(Fetch(Url(Good, "/every-byte.bin", "localhost"), "GET", "", "", out), (Notified{"Ready 0"}));
    EXPECT_TRUE(ReadFile(out) == Binary()) << "file differs";
    fs::remove(out);

    // By IPv6 address, checked against the certificate's IPv6 entry; an address, of either
    // family, is never sent as the server name (SNI), a name is.
    EXPECT_EQ(Fetch(Url(Good, "/hello.txt", "[::1]")), (Notified{"DataReceived", "Ready 0"}));
    EXPECT_EQ(body, "hello, world\n");
    for (const std::string host : {"[::1]", "127.0.0.1", "localhost"}) {
        Fetch(Url(Good, "/sni", host));
        EXPECT_EQ(body, host == "localhost" ? "[localhost]" : "[]") << host;
    }

    // A status other than 2xx comes through the encrypted connection as it would in clear.
    EXPECT_EQ(Fetch(Url(Good, "/missing")), (Notified{"Error 404 Not Found", "Ready 0"}));
}

TEST_F(HttpsTest, RefusedCertificatesEndTheRequestWithTheReason) {
    const std::string out = Path("refused.bin");
    const struct {
        Server server;
        std::string caFile, reason, host = "127.0.0.1";
    } cases[] = {
        {Expired, "ca.pem", "the server's certificate has expired"},
        {WrongHost, "ca.pem", "the server's certificate is for another host, not 127.0.0.1"},
        {WrongHost, "ca.pem", "the server's certificate is for another host, not ::1", "[::1]"},
        {Foreign, "ca.pem", "the server's certificate comes from an unknown issuer (not a trusted authority)"},
        // Our authority is not in the system's store; an authority file that cannot be read
        // is said so.
        {Good, "", "unknown issuer"},
        {Good, "no-such-file.pem", "no-such-file.pem could not be read"},
    };
    for (const auto& c : cases) {
        mgr->TLSCAFile(c.caFile.empty() ? "" : Path(c.caFile));
        EXPECT_EQ(Fetch(Url(c.server, "/hello.txt", c.host), "GET", "", "", out), (Notified{"ObjectError 8", "Ready 0"})) << c.reason;
        EXPECT_NE(mgr->TLSError().find(c.reason), std::string::npos) << mgr->TLSError();
        EXPECT_EQ(mgr->HTTPHeader(), "");  // nothing was asked, nothing answered
        EXPECT_FALSE(fs::exists(out)) << "the output file of a refused request stays behind";
    }

    // Switched off, every check goes: the wrong host's body comes.
    mgr->TLSCAFile("");
    mgr->DangerouslyAcceptAnyCertificate(true);
    EXPECT_EQ(Fetch(Url(WrongHost, "/hello.txt")), (Notified{"DataReceived", "Ready 0"}));
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
        heard.Clear();
        ScriptedPeer server;
        ASSERT_EQ(mgr->Execute("https://127.0.0.1:" + std::to_string(server.Port()) + "/"), 0);
        ASSERT_TRUE(server.Accept());
        EXPECT_FALSE(server.Receive([](const std::string& s) { return !s.empty(); }).empty());  // a ClientHello
        ASSERT_TRUE(c.answer.empty() || server.Send(c.answer));
        if (c.close) server.Close();
        ASSERT_TRUE(RunUntilReady());
        EXPECT_EQ(heard.entries, (Notified{"ObjectError 8", "Ready 0"}));
        EXPECT_EQ(mgr->TLSError().substr(0, c.reason.size()), c.reason) << mgr->TLSError();
    }
    EXPECT_THROW(mgr->TLSHandshakeTimeout(-1), tav::SockError);
}

// The certificate is checked against the server's name or address, not the proxy's; over
// IPv6 the proxy is named by its address and CONNECT names the server's in brackets.
TEST_F(HttpsTest, TinyproxyTunnelsWithConnectAndCarriesPlainRequests) {
    if (!transfertest::Installed(kTinyproxy)) GTEST_SKIP() << "tinyproxy is not installed";
    mgr->TLSCAFile(Path("ca.pem"));
    mgr->RetrieveMode(tav::TAVRetrieveByteArray);
    for (const bool v6 : {false, true}) {
        TempDir pdir;
        Process proxy;
        const uint16_t proxyPort = StartTinyproxy(proxy, pdir.Path(), v6);
        ASSERT_NE(proxyPort, 0) << ReadFile(pdir / "tinyproxy.log");
        mgr->Proxy((v6 ? "[::1]:" : "127.0.0.1:") + std::to_string(proxyPort));
        const std::string host = v6 ? "[::1]" : "localhost";
        EXPECT_EQ(Fetch(Url(Good, "/every-byte.bin", host)), (Notified{"DataReceived", "Ready 0"}));
        EXPECT_TRUE(body == Binary()) << "bytes differ";
        // The header block is the server's: the tunnel's own answer is not part of it.
        EXPECT_EQ(mgr->HTTPHeader().substr(0, 13), "HTTP/1.1 200 ");
        EXPECT_NE(mgr->HTTPHeader().find("nginx"), std::string::npos);
        EXPECT_EQ(Fetch(Url(WrongHost, "/hello.txt", host)), (Notified{"ObjectError 8", "Ready 0"}));
        EXPECT_EQ(mgr->TLSError(), "the server's certificate is for another host, not " + std::string(v6 ? "::1" : "localhost"));
        if (v6) continue;
        // In plain http the proxy carries the request itself, and says so in the answer.
        mgr->Proxy("http://localhost:" + std::to_string(proxyPort));
        EXPECT_EQ(Fetch(Url(Plain, "/every-byte.bin")), (Notified{"DataReceived", "Ready 0"}));
        EXPECT_TRUE(body == Binary()) << "bytes differ";
        EXPECT_NE(mgr->HTTPHeader().find("tinyproxy"), std::string::npos) << mgr->HTTPHeader();
    }
}

TEST_F(HttpsTest, ToolGetSaysWhyACertificateWasRefusedAndExitsOne) {
    if (ToolPath().empty()) GTEST_SKIP() << "the tool was not built";
    TempDir dir;
    const std::string out = dir / "out", err = dir / "err", file = dir / "copy.bin";
    const std::string ca = Path("ca.pem");

    EXPECT_EQ(RunTool({"get", Url(Good, "/every-byte.bin", "localhost"), "--cacert", ca, "-o", file}, out, err), 0)
        << ReadFile(err);
    EXPECT_TRUE(ReadFile(file) == Binary()) << "file differs";

    EXPECT_EQ(RunTool({"get", Url(WrongHost, "/hello.txt", "localhost"), "--cacert", ca}, out, err), 1);
    EXPECT_EQ(ReadFile(err), "tavsock get: " + Url(WrongHost, "/hello.txt", "localhost") +
                                 ": the server's certificate is for another host, not localhost\n");
    EXPECT_EQ(ReadFile(out), "");  // nothing of a refused server's answer reaches the output

    EXPECT_EQ(RunTool({"get", Url(Foreign, "/hello.txt"), "--insecure"}, out, err), 0) << ReadFile(err);
    EXPECT_EQ(ReadFile(out), "hello, world\n");
    EXPECT_EQ(RunTool({"get", Url(Good, "/hello.txt"), "--capath", Path("cafolder")}, out, err), 0) << ReadFile(err);
    EXPECT_EQ(RunTool({"get", Url(Good, "/"), "--cacert"}, out, err), 2);

    // A redirect from https to http would send the request in the clear: refused.
    EXPECT_EQ(RunTool({"get", "-L", Url(Good, "/to-http", "localhost"), "--cacert", ca}, out, err), 1);
    EXPECT_EQ(ReadFile(err), "tavsock get: " + Url(Good, "/to-http", "localhost") +
                                 ": refusing the redirect from https to http: http://127.0.0.1:1/x\n");
}

}  // namespace
