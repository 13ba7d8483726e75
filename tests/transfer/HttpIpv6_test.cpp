// TavHTTPTransferMgr to IPv6 addresses, against a scripted server that listens on ::1 only (so
// whatever it accepts came over IPv6): the request and CONNECT bytes with the brackets, a
// proxy named by its IPv6 address, a zone that names no interface. Real servers on ::1 are in
// the real-server suites.
#include "HttpTestUtil.hpp"

namespace {

using namespace transfertest;
using tav::TavHTTPTransferMgr;

class HttpIpv6Test : public HttpMgrTest {
protected:
    HttpIpv6Test() : HttpMgrTest(true) {}
};

TEST_F(HttpIpv6Test, RequestsAndTunnelsNameTheAddressInBrackets) {
    ASSERT_NE(server.Port(), 0);
    const std::string port = std::to_string(server.Port());
    const std::string tail = "\r\nAccept-Language: en\r\nUser-Agent: " + mgr->UserAgent() + "\r\n\r\n";
    responses = {"HTTP/1.0 200 OK\r\n\r\nsix", "HTTP/1.0 200 OK\r\n\r\n", "HTTP/1.0 403 Tunnel Refused\r\nX-Why: policy\r\n\r\n"};
    EXPECT_EQ(Fetch("http://[::1]:" + port + "/a?b"), (Notified{"DataReceived", "Ready 0"}));
    EXPECT_EQ(body, "six");

    // A proxy by its IPv6 address, with or without "http://": the whole URL on the request
    // line, the proxy's own Host line; for https a tunnel to the bracketed address, which the
    // proxy may refuse like any server (its answer is the header block).
    mgr->Proxy("[::1]:" + port);
    Fetch("http://[2001:db8::1]:81/x");
    mgr->Proxy("http://[::1]:" + port);
    EXPECT_EQ(Fetch("https://[2001:db8::1]/x"), (Notified{"Error 403 Tunnel Refused", "Ready 0"}));
    EXPECT_EQ(mgr->HTTPHeader(), "HTTP/1.0 403 Tunnel Refused\r\nX-Why: policy\r\n\r\n");
    EXPECT_EQ(requests, (Notified{"GET /a?b HTTP/1.0\r\nAccept: */*\r\nHost: [::1]:" + port + tail,
                                  "GET http://[2001:db8::1]:81/x HTTP/1.0\r\nAccept: */*\r\nHost: [::1]:" + port + tail,
                                  "CONNECT [2001:db8::1]:443 HTTP/1.0\r\nHost: [2001:db8::1]:443\r\n\r\n"}));

    // A zone that names no interface here leaves no address: object error 1, nothing sent,
    // and the output file it would have made is not left behind.
    mgr->Proxy("");
    heard.Clear();
    TempDir dir;
    EXPECT_EQ(mgr->Execute("http://[fe80::1%25nosuchif9]:" + port + "/", "GET", "", "", dir / "out"), 0);
    EXPECT_EQ(heard.entries, Notified{"ObjectError 1"});
    EXPECT_EQ(mgr->RequestState(), TavHTTPTransferMgr::Idle);
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_FALSE(server.Waiting());
}

}  // namespace
