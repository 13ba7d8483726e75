// The HTTP client's URL part on its own: host, port and request target, and every text that
// would otherwise become request syntax.
#include "transfer/HttpUrl.hpp"

#include "platform/SockTestUtil.hpp"

#include <gtest/gtest.h>

using tav::HttpUrl;

TEST(HttpUrlTest, HostPortAndTargetOfUrlsAndProxies) {
    const struct {
        std::string text;
        bool proxy;
        const char* host;
        int port;
        const char* target;
        const char* hostHeader;  // the port only when it is not the scheme's; brackets, no zone
    } good[] = {{"HtTp://example.com", false, "example.com", 80, "/", "example.com"},
                {"example.com:8081x/a/b?c", false, "example.com", 8081, "/a/b?c", "example.com:8081"},
                {"host:65535/x", false, "host", 65535, "/x", "host:65535"},
                {"HTTPS://example.invalid/x", false, "example.invalid", 443, "/x", "example.invalid"},
                {"https://example.invalid:8443", false, "example.invalid", 8443, "/", "example.invalid:8443"},
                {"https://h:80", false, "h", 80, "/", "h:80"},
                {"http://h/a b/\xC3\xA9?q=\"x\"", false, "h", 80, "/a%20b/%C3%A9?q=\"x\"", "h"},
                {"h:80/p#frag ment\x80", false, "h", 80, "/p", "h"},
                {"h#/frag", false, "h", 80, "/", "h"},
                {"proxy.example:3128", true, "proxy.example", 3128, "/", "proxy.example:3128"},
                // IPv6 addresses in brackets; a zone's "%" comes encoded.
                {"http://[::1]:8080/a", false, "::1", 8080, "/a", "[::1]:8080"},
                {"https://[2001:DB8::1]", false, "2001:DB8::1", 443, "/", "[2001:DB8::1]"},
                {"[fe80::1%25eth0.5]:81x/p", false, "fe80::1%eth0.5", 81, "/p", "[fe80::1]:81"},
                {"http://[::ffff:127.0.0.1]:3128", true, "::ffff:127.0.0.1", 3128, "/", "[::ffff:127.0.0.1]:3128"},
                {"[::1]", true, "::1", 80, "/", "[::1]"}};
    for (const auto& c : good) {
        const HttpUrl u = HttpUrl::Parse(c.text, c.proxy);
        EXPECT_EQ(u.host, c.host) << c.text;
        EXPECT_EQ(u.port, c.port) << c.text;
        EXPECT_EQ(u.target, c.target) << c.text;
        EXPECT_EQ(u.HostHeader(), c.hostHeader) << c.text;
    }
    // A redirect's Location against the request's URL.
    const struct {
        const char* base;
        const char* location;
        const char* resolved;
    } redirects[] = {{"http://h:81/a/b?q#f", "c", "http://h:81/a/c"},
                     {"h:81/a/b", "../../../c/./d/..", "http://h:81/c/"},
                     {"http://h/a/b?q", "", "http://h/a/b?q"},
                     {"http://h/a/b", "?x#frag", "http://h/a/b?x"},
                     {"https://h/a/b", "/x?y", "https://h/x?y"},
                     {"https://h/a", "//other:8080", "https://other:8080/"},
                     {"http://h/a", "HTTPS://o/p/../q", "https://o/q"},
                     {"http://h/a", "ftp://o/x", ""},
                     {"http://h/a", "http:///x", ""},
                     {"http://h/a", "/x[2J", ""},
                     {"http://[::1]:8080/a/b", "c", "http://[::1]:8080/a/c"},
                     {"http://h/a", "//[2001:db8::1]/x", "http://[2001:db8::1]/x"}};
    for (const auto& r : redirects) EXPECT_EQ(HttpUrl::Resolve(r.base, r.location), r.resolved) << r.location;
    const int32_t malformed = static_cast<int32_t>(0x80040204u);
    const struct {
        std::string text;
        bool proxy;
    } bad[] = {{"http://", false}, {"http:///path", false}, {":80/x", false}, {"host:/x", false},
               {"host:65616/x", false}, {"https://", false}, {"proxy:3128/path", true}, {"https://proxy:3128", true},
               // Control characters anywhere, the fragment included; what no host name holds.
               {"h/a HTTP/1.0\r\nX-Injected: 1\r\nY:", false}, {"h/a\nb", false}, {std::string("h/a\0b", 5), false},
               {"h/\x7f", false}, {"h/#\x1b[2J", false}, {"h\t/", false}, {"ho st/x", false}, {"h\xC3\xA9/x", false},
               {"pro\r\nxy:3128", true},
               // Brackets unclosed, followed by anything but ":port", holding no IPv6 address;
               // an IPv6 address or a second colon without them; a zone not encoded or empty.
               {"http://[::1/x", false}, {"http://[::1]x/", false}, {"http://[::1]:/", false}, {"[::1]:1:2", false},
               {"http://[example.com]/", false}, {"http://[127.0.0.1]/", false}, {"http://[]/", false},
               {"http://::1/", false}, {"fe80::1:80/", false}, {"h:1:2/", false}, {"[fe80::1%eth0]/", false},
               {"[fe80::1%25]/", false}, {"[fe80::1%25a%]/", false}, {"::1:3128", true}, {"[::1]:3128/x", true}};
    for (const auto& c : bad)
        EXPECT_EQ(tav::test::Raised([&] { HttpUrl::Parse(c.text, c.proxy); }), malformed) << c.text;

    // What a proxy gets on its request line: the whole URL, checked the same way.
    EXPECT_EQ(HttpUrl::AbsoluteTarget("http://site.example/a b?\xFF#frag"), "http://site.example/a%20b?%FF");
    EXPECT_EQ(tav::test::Raised([] { HttpUrl::AbsoluteTarget("http://site.example/\r\nX: 1"); }), malformed);
}
