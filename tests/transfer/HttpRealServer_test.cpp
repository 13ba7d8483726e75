// TavHTTPTransferMgr and `tavsock get` against servers nobody here wrote: python3's
// http.server, nginx and lighttpd, plain and over TLS. Servers run on free ports in a private
// folder and are killed (process groups) when their test or suite ends.
#include "HttpTestUtil.hpp"

namespace {

using namespace transfertest;
using tav::TavHTTPTransferMgr;

using PythonServerTest = HttpMgrTest;
using HttpToolTest = HttpMgrTest;  // its scripted server only
using LighttpdTest = HttpMgrTest;
struct NginxTest : RealServersTest {
    static void SetUpTestSuite() { StartServers(false); }
};

TEST_F(PythonServerTest, BodiesAsBytesAndTextAndItsErrors) {
    if (!Installed(kPython)) GTEST_SKIP() << "python3 is not installed";
    TempDir dir;
    fs::create_directory(dir / "www");
    const std::string binary = EveryByteValue(3 * 1024 * 1024 + 77);
    WriteFile(dir / "www/every-byte.bin", binary);
    WriteFile(dir / "www/hello.txt", "hello, world\n");
    // The same on IPv4 and on IPv6 loopback (a server there only: nothing else can answer).
    for (const std::string address : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(address);
        const bool v6 = address == "::1";
        Process python;
        const uint16_t port = StartOnFreePort(python, [&](uint16_t port) {
            return std::vector<std::string>{kPython, "-m", "http.server", std::to_string(port), "--bind", address};
        }, dir / "python.log", dir / "www", v6);
        ASSERT_NE(port, 0) << ReadFile(dir / "python.log");
        const std::string url = "http://" + (v6 ? "[::1]" : address) + ":" + std::to_string(port);

        mgr->RetrieveMode(tav::TAVRetrieveByteArray);
        Fetch(url + "/every-byte.bin");
        EXPECT_TRUE(bodyIsBytes);
        EXPECT_TRUE(body == binary) << "bytes differ";
        EXPECT_EQ(mgr->ContentLength(), static_cast<int64_t>(binary.size()));
        EXPECT_EQ(lastCount, static_cast<int32_t>(binary.size()));
        EXPECT_EQ(mgr->HTTPHeader().substr(0, 13), "HTTP/1.0 200 ");

        mgr->RetrieveMode(tav::TAVRetrieveText);
        Fetch(url + "/hello.txt");
        EXPECT_FALSE(bodyIsBytes);
        EXPECT_EQ(body, "hello, world\n");

        EXPECT_EQ(Fetch(url + "/missing"), (Notified{"Error 404 File not found", "Ready 0"}));
    }
}

TEST_F(NginxTest, BodyStreamsIntoTheOutputFile) {
    const std::string& binary = Binary();
    TempDir dir;
    const std::string out = dir / "copy.bin";
    EXPECT_EQ(Fetch(Url(Plain, "/every-byte.bin"), "GET", "", "", out), (Notified{"Ready 0"}));  // no HTTPDataReceived with a file
    EXPECT_TRUE(ReadFile(out) == binary) << "file differs";
    EXPECT_EQ(mgr->BytesReceived(), static_cast<int64_t>(binary.size()));
    EXPECT_EQ(mgr->ContentLength(), mgr->BytesReceived());
    EXPECT_GT(transferred, 1);

    // The same over IPv6.
    EXPECT_EQ(Fetch(Url(Plain, "/every-byte.bin", "[::1]"), "GET", "", "", out), (Notified{"Ready 0"}));
    EXPECT_TRUE(ReadFile(out) == binary) << "file differs";

    // A body nginx refuses for a static file: the error, and no file left behind.
    EXPECT_EQ(Fetch(Url(Plain, "/hello.txt"), "POST", "x=1", "", out), (Notified{"Error 405 Not Allowed", "Ready 0"}));
    EXPECT_FALSE(fs::exists(out));

    // Resumed: the rest is added (206); at the file's end nginx's 416 means it is already
    // whole; a file longer than the resource is not its start, and stays as it was.
    const std::string longer = binary + "x";
    const struct {
        std::string have, result;
        Notified events;
    } resumes[] = {{binary.substr(0, 1000), binary, {"Ready 0"}},
                   {binary, binary, {"Ready 0"}},
                   {longer, longer, {"Error 416 Requested Range Not Satisfiable", "Ready 0"}}};
    for (const auto& r : resumes) {
        WriteFile(out, r.have);
        mgr->RestartAt(static_cast<int64_t>(r.have.size()));
        lastCount = 0;  // counts start again with each answer
        EXPECT_EQ(Fetch(Url(Plain, "/every-byte.bin"), "GET", "", "", out), r.events) << r.have.size();
        EXPECT_TRUE(ReadFile(out) == r.result) << r.have.size();
    }
}

// lighttpd sends its TLS close_notify with the response and then waits for ours before it
// closes the connection: a client that waits for the close instead sits out the server's own
// time limit (seconds), or the Timeout below (which would end a whole body too, but only after
// 3 s). The one time bound of these tests: what is measured is a wait of seconds against one
// of milliseconds. The output file is kept whole.
TEST_F(LighttpdTest, HttpAndHttpsGetsEndWithTheResponse) {
    if (!Installed(kLighttpd) || !Installed(kOpenssl)) GTEST_SKIP() << "lighttpd or openssl is not installed";
    TempDir dir;
    const std::string d = dir.Path();
    fs::create_directory(d + "/www");
    WriteFile(d + "/www/hello.txt", "hello, world\n");
    TestAuthority ca(d);
    ASSERT_TRUE(ca.MakeAuthority("ca") && ca.Issue("good", "DNS:localhost,IP:127.0.0.1", 30, "ca")) << ca.Log();
    Process lighttpd;
    const auto ports = StartOnFreePorts(lighttpd, 2, [&](const std::vector<uint16_t>& p) {
        WriteFile(d + "/lighttpd.conf",
                  "server.document-root = \"" + d + "/www\"\nserver.bind = \"127.0.0.1\"\nserver.port = " +
                      std::to_string(p[0]) + "\nserver.modules += (\"mod_openssl\")\nserver.errorlog = \"" + d +
                      "/lighttpd-error.log\"\n$SERVER[\"socket\"] == \"127.0.0.1:" + std::to_string(p[1]) +
                      "\" {\n  ssl.engine = \"enable\"\n  ssl.pemfile = \"" + d + "/good.pem\"\n  ssl.privkey = \"" + d +
                      "/good.key\"\n}\n");
        return std::vector<std::string>{kLighttpd, "-D", "-f", d + "/lighttpd.conf"};
    }, d + "/lighttpd.log", d);
    ASSERT_EQ(ports.size(), 2u) << ReadFile(d + "/lighttpd.log") << ReadFile(d + "/lighttpd-error.log");
    mgr->TLSCAFile(d + "/ca.pem");
    mgr->Timeout(3000);
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        const std::string url = (tls ? "https" : "http") + ("://127.0.0.1:" + std::to_string(ports[tls]) + "/hello.txt");
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(Fetch(url), (Notified{"DataReceived", "Ready 0"}));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
        EXPECT_EQ(body, "hello, world\n");
        const std::string out = d + (tls ? "/out-https" : "/out-http");
        EXPECT_EQ(Fetch(url, "GET", "", "", out), (Notified{"Ready 0"}));
        EXPECT_EQ(ReadFile(out), "hello, world\n");
    }
    EXPECT_EQ(mgr->TLSError(), "");
    EXPECT_NE(mgr->TLSVersion(), "");
}

TEST_F(HttpToolTest, GetExitStatusTellsWholeBodiesFromEverythingElse) {
    if (ToolPath().empty()) GTEST_SKIP() << "the tavsock tool was not built";
    TempDir dir;
    const std::string out = dir / "out", err = dir / "err";
    // `tavsock get` while the scripted server answers `response` ("": nothing at all).
    auto get = [&](std::vector<std::string> args, const std::string& response) {
        args.insert(args.begin(), {ToolPath(), "get", Url()});
        Process tool;
        EXPECT_TRUE(tool.Start(args, {out, err}));
        response.empty() ? (void)TakeRequest(server) : (void)Answer(server, response);
        return tool.Wait().status;
    };

    EXPECT_EQ(get({"--show-header"}, "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nwhole\n"), 0);
    EXPECT_EQ(ReadFile(out), "whole\n");  // streamed to standard output
    EXPECT_EQ(ReadFile(err), "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\n");

    EXPECT_EQ(get({}, "HTTP/1.0 200 OK\r\nContent-Length: 60\r\n\r\nshort"), 1);
    EXPECT_EQ(ReadFile(err), "tavsock get: " + Url() + ": body of 5 bytes, 60 announced\n");

    EXPECT_EQ(get({"-o", dir / "f"}, "HTTP/1.0 403 Forbidden\r\n\r\n"), 1);
    EXPECT_EQ(ReadFile(err), "tavsock get: " + Url() + ": HTTP 403 Forbidden\n");
    EXPECT_FALSE(fs::exists(dir / "f"));

    EXPECT_EQ(get({"--timeout", "0.3"}, ""), 1);
    EXPECT_EQ(ReadFile(err), "tavsock get: " + Url() + ": no progress for 0.3 s\n");

    EXPECT_EQ(RunTool({"get", "http://", "-o", dir / "x"}, out, err), 2);
    EXPECT_EQ(RunTool({"get", Url(), "--bogus"}, out, err), 2);
}

}  // namespace
