// TavHTTPTransferMgr and `tavsock get` against servers nobody here wrote: python3's
// http.server, nginx, and tinyproxy in front of them. Each test starts its servers on free
// ports in a private folder and kills them (process groups) when it ends.
#include "HttpTestUtil.hpp"

namespace {

using namespace transfertest;
using tav::TavHTTPTransferMgr;

/// The files the servers offer: every byte value over an odd length, and a small text.
class RealServerTest : public HttpMgrTest {
protected:
    void SetUp() override {
        HttpMgrTest::SetUp();
        fs::create_directory(dir / "www");
        binary = EveryByteValue(3 * 1024 * 1024 + 77);
        WriteFile(dir / "www/every-byte.bin", binary);
        WriteFile(dir / "www/hello.txt", "hello, world\n");
    }
    void TearDown() override {
        HttpMgrTest::TearDown();
        for (Process* p : {&python, &nginx, &proxy}) p->Stop();
    }
    /// nginx on 127.0.0.1 and ::1 at the same port.
    uint16_t StartNginx() {
        return StartOnFreePort(nginx, [&](uint16_t port) {
            const std::string p = std::to_string(port);
            return NginxCommand(dir.Path(), "  server { listen 127.0.0.1:" + p + "; listen [::1]:" + p + "; root " + dir.Path() + "/www; }\n");
        }, dir / "nginx.log");
    }
    static std::string Url(uint16_t port, const std::string& path, const std::string& host = "127.0.0.1") {
        return "http://" + host + ":" + std::to_string(port) + path;
    }

    TempDir dir;
    std::string binary;
    Process python, nginx, proxy;
};

TEST_F(RealServerTest, PythonServerBodiesAsBytesAndTextAndItsErrors) {
    if (!Installed(kPython)) GTEST_SKIP() << "python3 is not installed";
    // The same on IPv4 and on IPv6 loopback (a server there only: nothing else can answer).
    for (const std::string address : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(address);
        const bool v6 = address == "::1";
        const std::string host = v6 ? "[::1]" : address;
        python.Stop();
        const uint16_t port = StartOnFreePort(python, [&](uint16_t port) {
            return std::vector<std::string>{kPython, "-m", "http.server", std::to_string(port), "--bind", address};
        }, dir / "python.log", dir / "www", v6);
        ASSERT_NE(port, 0) << ReadFile(dir / "python.log");

        mgr->RetrieveMode(tav::TAVRetrieveByteArray);
        Fetch(Url(port, "/every-byte.bin", host));
        EXPECT_TRUE(bodyIsBytes);
        EXPECT_TRUE(body == binary) << "bytes differ";
        EXPECT_EQ(mgr->ContentLength(), static_cast<int64_t>(binary.size()));
        EXPECT_EQ(lastCount, static_cast<int32_t>(binary.size()));
        EXPECT_EQ(mgr->HTTPHeader().substr(0, 13), "HTTP/1.0 200 ");

        mgr->RetrieveMode(tav::TAVRetrieveText);
        Fetch(Url(port, "/hello.txt", host));
        EXPECT_FALSE(bodyIsBytes);
        EXPECT_EQ(body, "hello, world\n");

        EXPECT_EQ(Fetch(Url(port, "/missing", host)), (Notified{"Error 404 File not found", "Ready 0"}));
    }
}

TEST_F(RealServerTest, NginxBodyStreamsIntoTheOutputFile) {
    if (!Installed(kNginx)) GTEST_SKIP() << "nginx is not installed";
    const uint16_t port = StartNginx();
    ASSERT_NE(port, 0) << ReadFile(dir / "nginx-error.log");

    const std::string out = dir / "copy.bin";
    EXPECT_EQ(Fetch(Url(port, "/every-byte.bin"), "GET", "", "", out), (Notified{"Ready 0"}));  // no HTTPDataReceived with a file
    EXPECT_TRUE(ReadFile(out) == binary) << "file differs";
    EXPECT_EQ(mgr->BytesReceived(), static_cast<int64_t>(binary.size()));
    EXPECT_EQ(mgr->ContentLength(), mgr->BytesReceived());
    EXPECT_GT(transferred, 1);

    // The same over IPv6.
    EXPECT_EQ(Fetch(Url(port, "/every-byte.bin", "[::1]"), "GET", "", "", out), (Notified{"Ready 0"}));
    EXPECT_TRUE(ReadFile(out) == binary) << "file differs";

    // A body nginx refuses for a static file: the error, and no file left behind.
    EXPECT_EQ(Fetch(Url(port, "/hello.txt"), "POST", "x=1", "", out), (Notified{"Error 405 Not Allowed", "Ready 0"}));
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
        EXPECT_EQ(Fetch(Url(port, "/every-byte.bin"), "GET", "", "", out), r.events) << r.have.size();
        EXPECT_TRUE(ReadFile(out) == r.result) << r.have.size();
    }
}

TEST_F(RealServerTest, TinyproxyCarriesTheRequestToNginx) {
    if (!Installed(kNginx) || !Installed(kTinyproxy)) GTEST_SKIP() << "nginx or tinyproxy is not installed";
    const uint16_t port = StartNginx();
    ASSERT_NE(port, 0) << ReadFile(dir / "nginx-error.log");
    const uint16_t proxyPort = StartTinyproxy(proxy, dir.Path());
    ASSERT_NE(proxyPort, 0) << ReadFile(dir / "tinyproxy.log");

    mgr->Proxy("http://localhost:" + std::to_string(proxyPort));
    mgr->RetrieveMode(tav::TAVRetrieveByteArray);
    Fetch(Url(port, "/every-byte.bin"));
    EXPECT_TRUE(body == binary) << "bytes differ";
    EXPECT_NE(mgr->HTTPHeader().find("tinyproxy"), std::string::npos) << mgr->HTTPHeader();
}

TEST(HttpToolTest, GetExitStatusTellsWholeBodiesFromEverythingElse) {
    if (ToolPath().empty()) GTEST_SKIP() << "the tavsock tool was not built";
    TempDir dir;
    const std::string out = dir / "out", err = dir / "err";
    ScriptedPeer server;
    // `tavsock get` while the scripted server answers `response` ("": nothing at all).
    auto get = [&](std::vector<std::string> args, const std::string& response) {
        args.insert(args.begin(), {ToolPath(), "get", Url(server, "/")});
        Process tool;
        EXPECT_TRUE(tool.Start(args, Files(out, err)));
        response.empty() ? (void)TakeRequest(server) : (void)Answer(server, response);
        return tool.Wait().status;
    };

    EXPECT_EQ(get({"--show-header"}, "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nwhole\n"), 0);
    EXPECT_EQ(ReadFile(out), "whole\n");  // streamed to standard output
    EXPECT_EQ(ReadFile(err), "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\n");

    EXPECT_EQ(get({}, "HTTP/1.0 200 OK\r\nContent-Length: 60\r\n\r\nshort"), 1);
    EXPECT_EQ(ReadFile(err), "tavsock get: " + Url(server, "/") + ": body of 5 bytes, 60 announced\n");

    EXPECT_EQ(get({"-o", dir / "f"}, "HTTP/1.0 403 Forbidden\r\n\r\n"), 1);
    EXPECT_EQ(ReadFile(err), "tavsock get: " + Url(server, "/") + ": HTTP 403 Forbidden\n");
    EXPECT_FALSE(fs::exists(dir / "f"));

    EXPECT_EQ(get({"--timeout", "0.3"}, ""), 1);
    EXPECT_EQ(ReadFile(err), "tavsock get: " + Url(server, "/") + ": no progress for 0.3 s\n");

    EXPECT_EQ(RunTool({"get", "http://", "-o", dir / "x"}, out, err), 2);
    EXPECT_EQ(RunTool({"get", Url(server, "/"), "--bogus"}, out, err), 2);
}

}  // namespace
