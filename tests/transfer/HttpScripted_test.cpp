// TavHTTPTransferMgr against a scripted server: the request byte for byte, responses cut
// where real servers would not cut them, and the failures real servers will not produce.
#include "HttpTestUtil.hpp"

namespace {

using namespace transfertest;
using tav::TavHTTPTransferMgr;

using HttpScriptedTest = HttpMgrTest;

/// The receive low-water mark the kernel holds for this process's connection to the peer on
/// `peerPort` (0 when there is none).
int32_t ReceiveMarkOfPeer(uint16_t peerPort) {
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET ||
            ntohs(peer.sin_port) != peerPort)
            continue;
        int mark = 0;
        len = sizeof mark;
        if (::getsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &mark, &len) == 0) return mark;
    }
    return 0;
}

TEST_F(HttpScriptedTest, CallbackObjectGetsWhatTheEventsGetInTheSameOrder) {
    // A body, a refusal and an overlong body: every kind of notification, each with the
    // arguments it carries, once by the events and once by a callback object only.
    Notified byRoute[2];
    logTransfers = true;
    for (const bool callback : {false, true}) {
        if (callback) UseCallback();
        responses = {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.0 404 Gone\r\n\r\n",
                     "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\n123456"};
        for (int i = 0; i < 3; ++i) {
            const Notified got = Fetch(Url());
            byRoute[callback].insert(byRoute[callback].end(), got.begin(), got.end());
            EXPECT_EQ(std::count(heard.routes.begin(), heard.routes.end(), callback ? "callback" : "event"), long(heard.routes.size()));
        }
        EXPECT_EQ(body, "hello");
    }
    EXPECT_EQ(byRoute[0], (Notified{"Transferred 5", "DataReceived", "Ready 0", "Error 404 Gone", "Ready 0",
                                    "Transferred 6", "ObjectError 4", "Ready 0"}));
    EXPECT_EQ(byRoute[1], byRoute[0]);
}

TEST_F(HttpScriptedTest, RequestIsComposedByteForByte) {
    const std::string ok = "HTTP/1.0 200 OK\r\n\r\nx";
    responses = {ok};
    // Plain GET: request line, the three fixed lines and the empty line. A space and bytes
    // above 0x7E in the path go out encoded, and the fragment stays home.
    Fetch(Url("/a b/\xC3\xA9.html#part two"));
    // Headers without a final CR LF get one; three characters of Data are announced as 5 and
    // followed by CR LF, then the closing CR LF. The host names its own User-Agent.
    heard.Clear();
    const std::string agent = mgr->UserAgent();
    mgr->UserAgent("probe/1");
    ASSERT_EQ(mgr->Execute2("", "POST", "a=b", "X-One: 1\r\nX-Two: 2", "", "text/plain"), 0);
    requests.push_back(Answer(server, ok));
    ASSERT_TRUE(RunUntilReady());
    // Data that ends in CR LF gets no second one; Headers ending in CR LF neither. A
    // User-Agent among the Headers (any case) is the only one.
    responses = {ok};
    Fetch("", "PUT", "z\r\n", "X-Three: 3\r\nuser-agent: host/2\r\n");

    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(agent.rfind("tavsock/", 0), 0u);
    // The Host line carries the port, which is not 80.
    const std::string fixed =
        "Accept: */*\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\nAccept-Language: en\r\n";
    const std::string standard = fixed + "User-Agent: " + agent + "\r\n";
    EXPECT_EQ(requests[0], "GET /a%20b/%C3%A9.html HTTP/1.0\r\n" + standard + "\r\n");
    EXPECT_EQ(requests[1], "POST /a%20b/%C3%A9.html HTTP/1.0\r\n" + fixed + "User-Agent: probe/1\r\n" +
                               "X-One: 1\r\nX-Two: 2\r\nContent-Length: 5\r\nContent-type: text/plain\r\n\r\na=b\r\n\r\n");
    EXPECT_EQ(requests[2], "PUT /a%20b/%C3%A9.html HTTP/1.0\r\n" + fixed +
                               "X-Three: 3\r\nuser-agent: host/2\r\nContent-Length: 5\r\nContent-type: application/x-www-form-urlencoded\r\n\r\n"
                               "z\r\n\r\n");
    EXPECT_EQ(body, "x");
}

// Through a proxy the whole URL goes on the request line, encoded as a path is.
TEST_F(HttpScriptedTest, ProxyGetsTheWholeUrlAndItsOwnHostLine) {
    mgr->Proxy("HTTP://localhost:" + std::to_string(server.Port()));
    const std::string url = "http://example.invalid:8080/p q?r=1#frag";
    ASSERT_EQ(mgr->Execute(url), 0);  // "localhost" is looked up in the background
    EXPECT_EQ(mgr->RequestState(), TavHTTPTransferMgr::Resolving);
    EXPECT_EQ(Answer(server, "HTTP/1.0 200 OK\r\n\r\nvia proxy"),
              "GET http://example.invalid:8080/p%20q?r=1 HTTP/1.0\r\nAccept: */*\r\nHost: localhost:" + std::to_string(server.Port()) +
                  "\r\nAccept-Language: en\r\nUser-Agent: " + mgr->UserAgent() + "\r\n\r\n");
    ASSERT_TRUE(RunUntilReady());
    EXPECT_EQ(body, "via proxy");
}

// A failed request removes the output file it made; with ReplaceWhenComplete the old file
// stays. A refused connection leaves nothing to wait for: even without a Timeout the request
// ends (error 5 kept, then HTTPReady).
TEST_F(HttpScriptedTest, FailedRequestsLeaveNoFileOfTheirOwnAndReplaceWhenCompleteKeepsTheOldOne) {
    TempDir dir;
    const std::string out = dir / "page.html";
    const std::string refused = "http://127.0.0.1:" + std::to_string(FreePort()) + "/";
    for (const bool replaceWhenComplete : {false, true}) {
        mgr->ReplaceWhenComplete(replaceWhenComplete);
        WriteFile(out, "old content");
        EXPECT_EQ(Fetch(refused, "GET", "", "", out), (Notified{"ObjectError 5", "Ready 0"}));
        EXPECT_EQ(mgr->RequestState(), TavHTTPTransferMgr::Idle);
        EXPECT_EQ(fs::exists(out), replaceWhenComplete);
        WriteFile(out, "old content");
        responses = {"HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!"};
        EXPECT_EQ(Fetch(Url("/x"), "GET", "", "", out), (Notified{"Error 404 Not Found", "Ready 0"}));
        EXPECT_EQ(fs::exists(out), replaceWhenComplete);
    }
    EXPECT_EQ(ReadFile(out), "old content");
    // Not 2xx is an error, 3xx included; without an output file no body is delivered.
    responses = {"HTTP/1.0 301 Moved\r\n\r\n"};
    EXPECT_EQ(Fetch(Url("/y")), (Notified{"Error 301 Moved", "Ready 0"}));

    // With ReplaceWhenComplete (still on) the name keeps the old file, byte for byte, until the
    // response is complete: while the body arrives, after a Reset, a time-out, or a peer that
    // resets the connection in the middle of the body (the socket error is told, and the close
    // that follows ends the request with what came).
    for (const int end : {0, 1, 2}) {
        mgr->Timeout(end == 1 ? 100 : 0);
        heard.Clear();
        ASSERT_EQ(mgr->Execute(Url(), "GET", "", "", out), 0);
        TakeRequest(server);
        ASSERT_TRUE(server.Send("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\npart"));
        ASSERT_TRUE(PumpUntil([&] { return mgr->BytesReceived() == 4; }));
        EXPECT_EQ(ReadFile(out), "old content");
        if (end == 0)
            mgr->Reset();
        else if (end == 2)
            server.Abort();
        ASSERT_TRUE(end == 0 || RunUntilReady());
        EXPECT_EQ(Has("ObjectError 6"), end == 1);
        EXPECT_EQ(Has("ObjectError 5"), end == 2);
        EXPECT_EQ(mgr->ContentLength(), 9);
        EXPECT_EQ(mgr->BytesReceived(), 4);
        EXPECT_EQ(ReadFile(out), "old content") << end;
        server.Close();
    }
    mgr->Timeout(0);
    responses = {"HTTP/1.0 200 OK\r\n\r\nnew content"};
    EXPECT_EQ(Fetch(Url(), "GET", "", "", out), (Notified{"Ready 0"}));
    EXPECT_EQ(ReadFile(out), "new content");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST_F(HttpScriptedTest, BodyLengthAgainstContentLength) {
    responses = {
        "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123456789abcd",   // +4: tolerated
        "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123456789abcde",  // +5: object error 4
        "HTTP/1.0 200 OK\r\ncontent-LENGTH:   10\r\n\r\n01234",          // short: still Ready
        "HTTP/1.0 204 No Content\r\n\r\n",                                // empty, no length
    };
    Fetch(Url());
    EXPECT_EQ(body, "0123456789abcd");
    EXPECT_EQ(mgr->BytesReceived(), 14);
    body.clear();
    EXPECT_EQ(Fetch(Url()), (Notified{"ObjectError 4", "Ready 0"}));
    Fetch(Url());
    EXPECT_EQ(body, "01234");
    EXPECT_EQ(mgr->ContentLength(), 10);
    EXPECT_EQ(mgr->BytesReceived(), 5);

    // Byte-array mode with an empty body: one element holding 0.
    mgr->RetrieveMode(tav::TAVRetrieveByteArray);
    Fetch(Url());
    EXPECT_TRUE(bodyIsBytes);
    EXPECT_EQ(body, std::string(1, '\0'));
    EXPECT_EQ(mgr->ContentLength(), -1);
    EXPECT_EQ(mgr->BytesReceived(), 0);
}

TEST_F(HttpScriptedTest, StalledAndEndlessServersDoNotHangTheRequest) {
    TempDir dir;
    const std::string out = dir / "stalled.bin", partial = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\npart";
    // Stops in the middle of the body, accepts and never answers, sends a header block that
    // never ends; the server keeps each connection open.
    responses = {partial, "", "HTTP/1.0 200 OK\r\n" + std::string(110 * 1024, 'h')};
    hold = true;
    mgr->Timeout(300);
    // The time-outs; the file the request made is deleted.
    EXPECT_EQ(Fetch(Url(), "GET", "", "", out), (Notified{"ObjectError 6", "Ready 0"}));
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(Fetch(Url()), (Notified{"ObjectError 6", "Ready 0"}));
    // The endless header block stops at 100 KiB, before any time-out.
    mgr->Timeout(0);
    EXPECT_EQ(Fetch(Url()), (Notified{"ObjectError 4", "Ready 0"}));
    EXPECT_LE(mgr->HTTPHeader().size(), TavHTTPTransferMgr::kMaxHeaderBytes);
}

// A body that pours in is read in large pieces (the socket's receive mark is raised, never
// above what the announced length still owes); when the server then slows to a trickle its
// bytes keep arriving as they come, so a time-out shorter than the trickle is not reached.
TEST_F(HttpScriptedTest, ABodyThatSlowsToATrickleAfterPouringInKeepsArriving) {
    const size_t burst = 1024 * 1024, drops = 6, tail = 100;
    std::string expected(burst + drops + tail, '\0');
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<char>('a' + i % 23);
    mgr->Timeout(200);
    heard.Clear();
    ASSERT_EQ(mgr->Execute(Url()), 0);
    TakeRequest(server);
    ASSERT_TRUE(server.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(expected.size()) + "\r\n\r\n" +
                            expected.substr(0, burst)));
    int32_t mark = 0;
    ASSERT_TRUE(PumpUntil([&] {
        mark = std::max(mark, ReceiveMarkOfPeer(server.Port()));
        return mgr->BytesReceived() == static_cast<int64_t>(burst);
    }));
    EXPECT_GT(mark, 1);
    EXPECT_LE(ReceiveMarkOfPeer(server.Port()), static_cast<int32_t>(drops + tail));
    for (size_t i = 0; i < drops; ++i) {
        ASSERT_TRUE(server.Send(expected.substr(burst + i, 1)));
        tav::RunMessagesUntil([] { return false; }, std::chrono::milliseconds(80));
    }
    EXPECT_FALSE(Has("ObjectError 6"));
    EXPECT_TRUE(PumpUntil([&] { return mgr->BytesReceived() == static_cast<int64_t>(burst + drops); }));
    ASSERT_TRUE(server.Send(expected.substr(burst + drops)));
    server.Close();
    ASSERT_TRUE(RunUntilReady());
    EXPECT_FALSE(Has("ObjectError 6"));
    EXPECT_EQ(body.size(), expected.size());
    EXPECT_TRUE(body == expected);  // not printed: a megabyte
}

// A response is over when its body reached the announced Content-Length, its last chunk
// (decoded, counted decoded, whatever Content-Length says), or has none (HEAD, 204): a server that keeps the connection
// open (HTTP/1.1) is not waited for, even without a Timeout (a 100 Continue before it is
// skipped). One that still owes bytes is timed out.
TEST_F(HttpScriptedTest, ResponseEndsAtItsLengthWhileTheServerKeepsTheConnection) {
    hold = true;
    const struct {
        const char* method;
        std::string response;
        std::string body;
    } cases[] = {{"GET", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody", "body"},
                 {"GET", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", ""},
                 {"HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n", ""},
                 {"GET", "HTTP/1.1 204 No Content\r\n\r\n", ""},
                 {"GET", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n6;x=y\r\nchunk \r\nb\r\none, two...\r\n0\r\nX-Trailer: t\r\n\r\n",
                  "chunk one, two..."}};
    for (const auto& c : cases) {
        body = "-";
        responses = {c.response};
        EXPECT_EQ(Fetch(Url(), c.method), (Notified{"DataReceived", "Ready 0"})) << c.response;
        EXPECT_EQ(body, c.body);
        EXPECT_EQ(mgr->BytesReceived(), static_cast<int64_t>(c.body.size()));
        server.Close();
    }
    mgr->Timeout(60);
    responses = {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nbody"};
    EXPECT_EQ(Fetch(Url()), (Notified{"ObjectError 6", "Ready 0"}));
}

// RestartAt resumes a file: the rest of a 206 is added to it, a 200 replaces it whole, a 416
// for its own size finds it whole, and a 206 for another range, a 416 for another size or a
// file of another size leaves it as it was.
TEST_F(HttpScriptedTest, RestartAtResumesThePartialFile) {
    TempDir dir;
    const std::string out = dir / "resumed.bin";
    mgr->ReplaceWhenComplete(true);
    mgr->RestartAt(5);
    const std::string partial = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes ";
    const struct {
        std::string response;
        Notified events;
        const char* file;
    } cases[] = {{partial + "5-9/10\r\nContent-Length: 5\r\n\r\n56789", {"Ready 0"}, "0123456789"},
                 {"HTTP/1.0 200 OK\r\n\r\n0123456789", {"Ready 0"}, "0123456789"},
                 {partial + "3-9/10\r\nContent-Length: 7\r\n\r\n3456789", {"ObjectError 4", "Ready 0"}, "01234"},
                 // Nothing left to send: already whole only when the resource is the file's size.
                 {"HTTP/1.1 416 No\r\nContent-Range: bytes */5\r\nContent-Length: 4\r\n\r\nnope", {"Ready 0"}, "01234"},
                 {"HTTP/1.1 416 No\r\nContent-Range: bytes */4\r\nContent-Length: 4\r\n\r\nnope", {"Error 416 No", "Ready 0"}, "01234"}};
    for (const auto& c : cases) {
        WriteFile(out, "01234");
        responses = {c.response};
        EXPECT_EQ(Fetch(Url(), "GET", "", "", out), c.events) << c.response;
        EXPECT_EQ(ReadFile(out), c.file) << c.response;
        EXPECT_NE(requests.back().find("\r\nRange: bytes=5-\r\n"), std::string::npos);
    }
    WriteFile(out, "0123");
    EXPECT_EQ(tav::test::Raised([&] { mgr->Execute(Url(), "GET", "", "", out); }), static_cast<int32_t>(0x80040203u));
    EXPECT_EQ(mgr->OutputFileError(), "cannot append to " + out + ": it holds 4 bytes, not 5");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
    // An output file refused starts nothing.
    EXPECT_EQ(mgr->RequestState(), TavHTTPTransferMgr::Idle);
    EXPECT_FALSE(server.Waiting());
}

TEST_F(HttpScriptedTest, OneRequestAtATimeAndResetKeepsThePartialFile) {
    TempDir dir;
    const std::string out = dir / "partial.bin";
    ASSERT_EQ(mgr->Execute(Url(), "GET", "", "", out), 0);
    TakeRequest(server);
    ASSERT_TRUE(server.Send("HTTP/1.0 200 OK\r\n\r\nfirst bytes"));
    ASSERT_TRUE(PumpUntil([&] { return mgr->BytesReceived() == 11; }));

    EXPECT_EQ(tav::test::Raised([&] { mgr->Execute(Url("/other")); }), static_cast<int32_t>(0x80040202u));
    EXPECT_EQ(mgr->RequestState(), TavHTTPTransferMgr::AwaitingResponse);

    mgr->Reset();
    EXPECT_EQ(mgr->RequestState(), TavHTTPTransferMgr::Idle);
    EXPECT_EQ(ReadFile(out), "first bytes");
    EXPECT_FALSE(Has("Ready 0"));  // Reset tells nobody
    EXPECT_EQ(transferred, 1);
}

// What the URL and Proxy properties keep, and a URL that would inject request syntax: refused
// before anything is sent, directly, through a proxy and for a proxy's tunnel (the parse
// itself is tested on the URL part alone).
TEST_F(HttpScriptedTest, MalformedUrlsAreRefusedAndNothingIsSent) {
    const int32_t malformed = static_cast<int32_t>(0x80040204u);
    for (const char* url : {"http://", "host:65616/x", "https://"}) {
        EXPECT_EQ(tav::test::Raised([&] { mgr->URL(url); }), malformed) << url;
        EXPECT_EQ(mgr->URL(), url);  // the value stays assigned
    }
    const std::string injected = Url("/a HTTP/1.0\r\nX-Injected: 1\r\nY:");
    const std::string urls[] = {injected, "https://example.invalid/a\r\nX-Injected: 1", std::string("http://a\0b/", 11)};
    for (const std::string& proxy : {std::string(), "127.0.0.1:" + std::to_string(server.Port())}) {
        mgr->URL(Url());  // the URL is checked again for the proxy
        mgr->Proxy(proxy);
        for (const std::string& url : urls) {
            SCOPED_TRACE(proxy + " " + url);
            EXPECT_EQ(tav::test::Raised([&] { mgr->Execute(url); }), malformed);
            EXPECT_EQ(mgr->RequestState(), TavHTTPTransferMgr::Idle);
        }
    }
    EXPECT_FALSE(server.Waiting());

    EXPECT_EQ(tav::test::Raised([&] { mgr->Proxy("proxy.example:3128/path"); }), malformed);
    EXPECT_EQ(tav::test::Raised([&] { mgr->Proxy("https://proxy.invalid:3128"); }), malformed);
    EXPECT_EQ(tav::test::Raised([&] { mgr->RetrieveMode(2); }), static_cast<int32_t>(0x80040201u));
    EXPECT_EQ(tav::test::Raised([&] { mgr->UserAgent("a\r\nX-Injected: 1"); }), static_cast<int32_t>(0x80040201u));
    EXPECT_EQ(mgr->RetrieveMode(), tav::TAVRetrieveText);
    EXPECT_NE(std::dynamic_pointer_cast<TavHTTPTransferMgr>(tav::CreateObject("TAVSock.TavHTTPTransferMgr")), nullptr);
}

// A connect that failed at every address forgets them: the name is looked up again.
TEST_F(HttpScriptedTest, SameUrlKeepsTheResolvedAddressANewOneOrAFailedOneResolvesAgain) {
    const std::string url = "http://localhost:" + std::to_string(server.Port()) + "/";
    const std::string refused = "http://localhost:" + std::to_string(FreePort()) + "/";
    const struct {
        std::string url;
        bool resolves;
    } cases[] = {{url, true}, {url, false}, {url + "again", true}, {refused, true}, {refused, true}};
    for (const auto& c : cases) {
        heard.Clear();
        ASSERT_EQ(mgr->Execute(c.url), 0);
        EXPECT_EQ(mgr->RequestState() == TavHTTPTransferMgr::Resolving, c.resolves) << c.url;
        if (c.url != refused) Answer(server, "HTTP/1.0 200 OK\r\n\r\n");
        ASSERT_TRUE(RunUntilReady());
        EXPECT_EQ(Has("ObjectError 5"), c.url == refused) << c.url;
    }
}

TEST_F(HttpScriptedTest, NextRequestStartsFromHTTPReadyAndTheManagerMayBeDroppedThere) {
    int ready = 0;
    std::weak_ptr<TavHTTPTransferMgr> weak = mgr;
    mgr->HTTPReady.Subscribe([&](int32_t) {
        // Idle already: the next request may start here; after it, the last reference goes.
        if (++ready == 1)
            mgr->Execute(Url("/second"));
        else
            mgr.reset();
    });
    ASSERT_EQ(mgr->Execute(Url("/first")), 0);
    EXPECT_EQ(Answer(server, "HTTP/1.0 200 OK\r\n\r\nbody").substr(0, 11), "GET /first ");
    EXPECT_EQ(Answer(server, "HTTP/1.0 200 OK\r\n\r\nbody").substr(0, 12), "GET /second ");
    ASSERT_TRUE(tav::RunMessagesUntil([&] { return weak.expired(); }, kWait));
    EXPECT_EQ(ready, 2);
}

}  // namespace
