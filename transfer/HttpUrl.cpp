// URL and proxy parsing for the HTTP client.
#include "transfer/HttpUrl.hpp"

#include "base/SockErrors.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <vector>

namespace tav {

namespace {
constexpr int32_t kErrMalformedURL = 4;

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }
bool NeedsEncoding(unsigned char c) { return c == ' ' || c > 0x7E; }

/// The value of the leading decimal digits of `text` (0 when there are none), held at the
/// largest Long.
int32_t LeadingNumber(const std::string& text) {
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = std::min<int64_t>(value * 10 + (c - '0'), std::numeric_limits<int32_t>::max());
    }
    return static_cast<int32_t>(value);
}

/// `text` without its fragment; raises when a control character is anywhere in it.
std::string Checked(const std::string& text) {
    if (std::any_of(text.begin(), text.end(), [](char c) { return IsControl(static_cast<unsigned char>(c)); }))
        RaiseSockError(kErrMalformedURL);
    return text.substr(0, text.find('#'));
}

/// What is inside a URL's brackets ("::1", "fe80::1%25eth0"), as the host: the IPv6 address,
/// and "%zone" when it names one (written "%25zone" in a URL, as any "%" there). Anything that
/// is not an IPv6 address raises.
std::string Ipv6Literal(const std::string& inside) {
    const size_t percent = inside.find('%');
    const std::string address = inside.substr(0, percent);
    in6_addr parsed{};
    if (::inet_pton(AF_INET6, address.c_str(), &parsed) != 1) RaiseSockError(kErrMalformedURL);
    if (percent == std::string::npos) return address;
    const std::string zone = inside.substr(std::min(inside.size(), percent + 3));
    const bool zoneChars = std::all_of(zone.begin(), zone.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == '~';
    });
    if (inside.compare(percent, 3, "%25") != 0 || zone.empty() || !zoneChars) RaiseSockError(kErrMalformedURL);
    return address + "%" + zone;
}

std::string Encoded(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (!NeedsEncoding(c)) {
            out += ch;
            continue;
        }
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}
}  // namespace

bool HttpUrl::StartsWithNoCase(const std::string& text, const char* prefix) {
    const size_t n = std::strlen(prefix);
    if (text.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != prefix[i]) return false;
    }
    return true;
}

HttpUrl HttpUrl::Parse(const std::string& text, bool isProxy) {
    const std::string source = Checked(text);
    HttpUrl p;
    std::string rest = source;
    if (StartsWithNoCase(source, "http://")) {
        if (source.size() < 8) RaiseSockError(kErrMalformedURL);
        rest = source.substr(7);
    } else if (!isProxy && StartsWithNoCase(source, "https://")) {
        if (source.size() < 9) RaiseSockError(kErrMalformedURL);
        rest = source.substr(8);
        p.secure = true;
        p.port = 443;
    }
    const size_t slash = rest.find('/');
    if (slash == std::string::npos) {
        p.host = rest;
    } else {
        if (isProxy || slash == 0) RaiseSockError(kErrMalformedURL);
        p.host = rest.substr(0, slash);
        p.target = Encoded(rest.substr(slash));
    }
    if (std::any_of(p.host.begin(), p.host.end(), [](char c) { return NeedsEncoding(static_cast<unsigned char>(c)); }))
        RaiseSockError(kErrMalformedURL);
    // ":port" or "" after the host. An IPv6 address comes in brackets, or its colons would
    // read as the port's; without them a second colon is an error, not part of the port.
    std::string port;
    if (!p.host.empty() && p.host[0] == '[') {
        const size_t close = p.host.find(']');
        if (close == std::string::npos) RaiseSockError(kErrMalformedURL);
        port = p.host.substr(close + 1);
        if (!port.empty() && port[0] != ':') RaiseSockError(kErrMalformedURL);
        p.host = Ipv6Literal(p.host.substr(1, close - 1));
    } else if (const size_t colon = p.host.find(':'); colon != std::string::npos) {
        if (colon == 0) RaiseSockError(kErrMalformedURL);
        port = p.host.substr(colon);
        p.host.resize(colon);
    }
    if (!port.empty()) {
        if (port.size() == 1 || port.find(':', 1) != std::string::npos) RaiseSockError(kErrMalformedURL);
        p.port = LeadingNumber(port.substr(1));
        // The server address keeps 16 bits of the port: a larger number would silently
        // connect to another port (65616 to 80).
        if (p.port > 65535) RaiseSockError(kErrMalformedURL);
    }
    return p;
}

namespace {
bool HasControl(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return IsControl(static_cast<unsigned char>(c)); });
}

/// `path` (starting with "/") without its "." and ".." segments, as a browser reads them.
std::string WithoutDotSegments(const std::string& path) {
    std::vector<std::string> kept;
    bool trailing = false;
    for (size_t at = 1;;) {
        const size_t slash = path.find('/', at);
        const std::string segment = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        const bool last = slash == std::string::npos;
        if (segment == "." || segment == "..") {
            if (segment == ".." && !kept.empty()) kept.pop_back();
            trailing = last;  // "/a/." and "/a/b/.." name a folder: "/a/"
        } else {
            kept.push_back(segment);
        }
        if (last) break;
        at = slash + 1;
    }
    std::string out;
    for (const std::string& segment : kept) out += "/" + segment;
    return out.empty() || trailing ? out + "/" : out;
}

/// Splits "authority/path?query" at the authority's end.
void SplitAuthority(const std::string& rest, std::string& authority, std::string& pathQuery) {
    const size_t end = std::min(rest.find('/'), rest.find('?'));
    authority = rest.substr(0, end);
    pathQuery = end == std::string::npos ? "" : rest.substr(end);
}
}  // namespace

std::string HttpUrl::Resolve(const std::string& base, const std::string& reference) {
    if (HasControl(base) || HasControl(reference)) return "";
    const std::string ref = reference.substr(0, reference.find('#'));
    std::string scheme = "http", authority, pathQuery;
    const std::string b = base.substr(0, base.find('#'));
    const size_t baseRest = StartsWithNoCase(b, "https://") ? (scheme = "https", 8) : StartsWithNoCase(b, "http://") ? 7 : 0;
    SplitAuthority(b.substr(baseRest), authority, pathQuery);

    // A scheme: letters first, then letters, digits, "+", "-", "." up to a ":".
    const size_t colon = ref.find(':');
    const bool hasScheme = colon != std::string::npos && colon > 0 && std::isalpha(static_cast<unsigned char>(ref[0])) &&
                           std::all_of(ref.begin(), ref.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
                               return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
                           });
    std::string path, query;
    if (hasScheme || ref.compare(0, 2, "//") == 0) {
        if (hasScheme) {
            if (!StartsWithNoCase(ref, "http://") && !StartsWithNoCase(ref, "https://")) return "";
            scheme = StartsWithNoCase(ref, "https://") ? "https" : "http";
        }
        SplitAuthority(ref.substr(hasScheme ? colon + 3 : 2), authority, pathQuery);
        path = pathQuery.substr(0, pathQuery.find('?'));
        query = pathQuery.substr(path.size());
    } else {
        const std::string basePath = pathQuery.substr(0, pathQuery.find('?'));
        const std::string refPath = ref.substr(0, ref.find('?'));
        query = !ref.empty() ? ref.substr(refPath.size()) : pathQuery.substr(basePath.size());
        if (refPath.empty())
            path = basePath;
        else if (refPath[0] == '/')
            path = refPath;
        else
            path = basePath.substr(0, basePath.rfind('/') + 1) + refPath;
    }
    if (authority.empty()) return "";
    if (path.empty() || path[0] != '/') path.insert(0, "/");
    return scheme + "://" + authority + WithoutDotSegments(path) + query;
}

std::string HttpUrl::HostText() const {
    // A zone names an interface of this machine: it means nothing to the server or a proxy.
    return Ipv6() ? "[" + host.substr(0, host.find('%')) + "]" : host;
}

std::string HttpUrl::HostHeader() const {
    // Virtual hosts on another port are told apart by it.
    return port == (secure ? 443 : 80) ? HostText() : HostText() + ":" + std::to_string(port);
}

std::string HttpUrl::AbsoluteTarget(const std::string& url) {
    return Encoded(Checked(url));
}

}  // namespace tav
