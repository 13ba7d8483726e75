// The HTTP client's URL and proxy parsing against a reference parse.
//
// The input is a URL and, when its first byte says so, a proxy. What the URL part makes of
// them (host, port, request target, or library error 4) must be what the reference parse
// gives, and no text it hands on may hold a byte that could end a request line.
#include "FuzzInput.hpp"

#include "transfer/HttpUrl.hpp"

#include <tavsock/SockError.hpp>

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstdint>
#include <algorithm>
#include <string>

namespace {

constexpr int32_t kMalformed = static_cast<int32_t>(0x80040204u);

struct Parsed {
    bool malformed = false;
    std::string host;
    int32_t port = 80;
    std::string target;
};

Parsed Malformed() {
    Parsed r;
    r.malformed = true;
    return r;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char ch = text[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
        if (ch != prefix[i]) return false;
    }
    return true;
}

// "http://" or, for a URL (not a proxy), "https://" (any case) is optional; then the host, an
// optional ":port" and, for a URL, the path that becomes the request target. A port is the
// decimal digits after the colon, up to the first other character, and must name a TCP port;
// without one it is 80, or 443 for https. An IPv6 address comes in brackets, a zone after it
// as "%25" and letters, digits, "-._~"; the host is then the address (and "%zone") alone.
bool Control(unsigned char c) { return c < 0x20 || c == 0x7F; }

// A space and bytes above 0x7E as %XX (upper-case hex digits).
std::string Encode(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c != ' ' && c <= 0x7E) {
            out += static_cast<char>(c);
            continue;
        }
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += hex;
    }
    return out;
}

// A control character anywhere is malformed; the fragment is dropped before anything else.
Parsed Reference(const std::string& whole, bool isProxy) {
    Parsed r;
    for (unsigned char c : whole)
        if (Control(c)) return Malformed();
    const std::string source = whole.substr(0, whole.find('#'));
    std::string rest = source;
    if (StartsWithNoCase(source, "http://")) {
        if (source.size() == 7) return Malformed();
        rest = source.substr(7);
    } else if (!isProxy && StartsWithNoCase(source, "https://")) {
        if (source.size() == 8) return Malformed();
        rest = source.substr(8);
        r.port = 443;
    }
    const size_t slash = rest.find('/');
    std::string host = rest.substr(0, slash);
    r.target = slash == std::string::npos ? "/" : Encode(rest.substr(slash));
    if (slash != std::string::npos && (isProxy || slash == 0)) return Malformed();
    for (unsigned char c : host)
        if (c == ' ' || c > 0x7E) return Malformed();

    std::string port;  // ":..." or ""
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos) return Malformed();
        port = host.substr(close + 1);
        if (!port.empty() && port[0] != ':') return Malformed();
        host = host.substr(1, close - 1);
        const size_t zoneAt = host.find("%25");
        std::string zone = zoneAt == std::string::npos ? "" : host.substr(zoneAt + 3);
        host.resize(std::min(host.size(), zoneAt));
        in6_addr a{};
        if (host.find('%') != std::string::npos || ::inet_pton(AF_INET6, host.c_str(), &a) != 1) return Malformed();
        for (unsigned char c : zone)
            if (!std::isalnum(c) && c != '-' && c != '.' && c != '_' && c != '~') return Malformed();
        if (zoneAt != std::string::npos && zone.empty()) return Malformed();
        if (zoneAt != std::string::npos) host += "%" + zone;
    } else if (const size_t colon = host.find(':'); colon != std::string::npos) {
        if (colon == 0) return Malformed();
        port = host.substr(colon);
        host.resize(colon);
    }
    if (!port.empty()) {
        if (port.size() == 1 || port.find(':', 1) != std::string::npos) return Malformed();
        std::string digits;
        for (size_t i = 1; i < port.size() && port[i] >= '0' && port[i] <= '9'; ++i) digits += port[i];
        digits.erase(0, digits.find_first_not_of('0'));
        if (digits.size() > 5 || (digits.size() == 5 && digits > "65535")) return Malformed();
        r.port = digits.empty() ? 0 : std::stoi(digits);
    }
    r.host = host;
    return r;
}

void Check(const std::string& text, bool isProxy, const std::string& what) {
    const Parsed expected = Reference(text, isProxy);
    tav::HttpUrl got;
    bool malformed = false;
    try {
        got = tav::HttpUrl::Parse(text, isProxy);
    } catch (const tav::SockError& e) {
        FUZZ_CHECK(e.Number() == kMalformed, what + ": error " + std::to_string(e.Number()));
        malformed = true;
    }
    FUZZ_CHECK(malformed == expected.malformed, what + (malformed ? ": malformed, reference: not" : ": taken, reference: malformed"));
    if (malformed) return;
    FUZZ_CHECK(got.host == expected.host, what + ": host " + got.host + ", reference " + expected.host);
    FUZZ_CHECK(got.port == expected.port,
               what + ": port " + std::to_string(got.port) + ", reference " + std::to_string(expected.port));
    FUZZ_CHECK(got.target == expected.target, what + ": target " + got.target + ", reference " + expected.target);
    for (const std::string* part : {&got.host, &got.target})
        for (unsigned char c : *part) FUZZ_CHECK(!Control(c) && c != ' ' && c <= 0x7E, what + ": a raw byte handed on");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    const bool withProxy = in.Byte() & 1;
    const std::string proxy = withProxy ? in.Text(in.Byte()) : std::string();
    const std::string url = in.Rest();
    Check(url, false, "URL");
    if (withProxy) Check(proxy, true, "Proxy");

    // Through a proxy an http URL goes whole on the request line: checked and encoded the same.
    bool malformed = false;
    std::string target;
    try {
        target = tav::HttpUrl::AbsoluteTarget(url);
    } catch (const tav::SockError&) {
        malformed = true;
    }
    bool control = false;
    for (unsigned char c : url) control = control || Control(c);
    FUZZ_CHECK(malformed == control, "absolute target: malformed only with a control character");
    if (!malformed) FUZZ_CHECK(target == Encode(url.substr(0, url.find('#'))), "absolute target " + target);
    return 0;
}
