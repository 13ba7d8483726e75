// The HTTP client's URL and proxy parsing against a reference parse.
//
// The input is a URL and, when its first byte says so, a proxy. Both are assigned to a
// manager through its URL and Proxy properties, as a host assigns them, and what the manager
// made of them (host, port, request target, or library error 4) must be what the reference
// parse gives.
#include "FuzzInput.hpp"

#include "transfer/HttpTransferMgrAccess.hpp"

#include <tavsock/SockError.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>

#include <cstdint>
#include <string>

namespace {

using A = tav::HttpTransferMgrAccess;

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
// without one it is 80, or 443 for https.
Parsed Reference(const std::string& source, bool isProxy, const std::string& url) {
    Parsed r;
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
    r.target = slash == std::string::npos ? "/" : rest.substr(slash);
    if (slash != std::string::npos && (isProxy || slash == 0)) return Malformed();
    if (isProxy) r.target = url;

    const size_t colon = host.find(':');
    if (colon != std::string::npos) {
        if (colon == 0 || colon == host.size() - 1) return Malformed();
        std::string digits;
        for (size_t i = colon + 1; i < host.size() && host[i] >= '0' && host[i] <= '9'; ++i) digits += host[i];
        digits.erase(0, digits.find_first_not_of('0'));
        if (digits.size() > 5 || (digits.size() == 5 && digits > "65535")) return Malformed();
        r.port = digits.empty() ? 0 : std::stoi(digits);
        host.resize(colon);
    }
    r.host = host;
    return r;
}

// Assigns with `assign` and checks the outcome against `expected`.
template <typename Assign>
void Check(tav::TavHTTPTransferMgr& mgr, Assign assign, const Parsed& expected, const std::string& what) {
    bool malformed = false;
    try {
        assign();
    } catch (const tav::SockError& e) {
        FUZZ_CHECK(e.Number() == kMalformed, what + ": error " + std::to_string(e.Number()));
        malformed = true;
    }
    FUZZ_CHECK(malformed == expected.malformed, what + (malformed ? ": malformed, reference: not" : ": taken, reference: malformed"));
    if (malformed) return;
    FUZZ_CHECK(A::Host(mgr) == expected.host, what + ": host " + A::Host(mgr) + ", reference " + expected.host);
    FUZZ_CHECK(A::Port(mgr) == expected.port,
               what + ": port " + std::to_string(A::Port(mgr)) + ", reference " + std::to_string(expected.port));
    FUZZ_CHECK(A::Target(mgr) == expected.target, what + ": target " + A::Target(mgr) + ", reference " + expected.target);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::shared_ptr<tav::TavHTTPTransferMgr> mgr = tav::TavHTTPTransferMgr::Create();
    fuzz::FuzzInput in(data, size);
    const bool withProxy = in.Byte() & 1;
    const std::string proxy = withProxy ? in.Text(in.Byte()) : std::string();
    const std::string url = in.Rest();

    // From a known state: no proxy, a URL that parses, whatever the last input left.
    const std::string known = "\x7f known host";
    try {
        mgr->Proxy("");
    } catch (const tav::SockError&) {
    }
    mgr->URL(known);

    if (proxy.empty()) {
        Check(*mgr, [&] { mgr->URL(url); }, Reference(url, false, url), "URL");
        return 0;
    }
    try {
        mgr->URL(url);
    } catch (const tav::SockError&) {
    }
    // An https URL through a proxy is parsed as well (the tunnel goes to the server it names),
    // so a malformed one makes the proxy assignment fail too.
    const bool tunnelled = StartsWithNoCase(url, "https://");
    Parsed expected = Reference(proxy, true, url);
    if (tunnelled && !expected.malformed && Reference(url, false, url).malformed) expected = Malformed();
    Check(*mgr, [&] { mgr->Proxy(proxy); }, expected, "Proxy");
    if (tunnelled) return 0;
    // Through a proxy a new http URL is the request target, unparsed.
    const std::string next = url + "#next";
    mgr->URL(next);
    FUZZ_CHECK(A::Target(*mgr) == next, "target through the proxy " + A::Target(*mgr));
    return 0;
}
