// What an HTTP request takes from a URL or a proxy setting: scheme, host, port and the request
// target, checked so that nothing in the text can become request syntax.
#pragma once

#include <cstdint>
#include <string>

namespace tav {

/// One parsed URL ("http://" or "https://", any case, optional) or proxy ("http://" optional,
/// no path). Values only; Parse raises library error 4 when the text is malformed:
///  - empty after the scheme, "/" right after it, a path in a proxy, ":" first or last in the
///    host part, a port above 65535;
///  - a control character anywhere (below 0x20, or 0x7F: CR, LF, NUL among them), which
///    would otherwise end the request line or start a header;
///  - a space or a byte above 0x7E in the host part (no host name holds one);
///  - an IPv6 address without its brackets ("::1:8080" cannot tell address from port), and
///    in brackets anything but an IPv6 address, an unclosed "[", or text after "]" other
///    than ":port".
/// An IPv6 address is written in brackets ("http://[::1]:8080/", "[2001:db8::1]:3128" for a
/// proxy), optionally with a zone for a link-local address, "%" encoded as in any URL
/// ("[fe80::1%25eth0]"): host then holds "fe80::1%eth0", what TAVSockAddr takes. The zone
/// names an interface of this machine, so it is never sent (Host line, CONNECT).
/// In the request target (the path and query) a space and every byte above 0x7E are sent
/// percent-encoded ("%20", "%C3%A9"), as a browser sends a URL that was typed with them. A
/// fragment ("#..." to the end) belongs to the reader of the page and is never sent.
struct HttpUrl {
    bool secure = false;     // "https://"
    std::string host;        // a name or an address (IPv6 without its brackets)
    int32_t port = 80;       // 443 for https, unless the text names one
    std::string target = "/";

    /// True when the host is an IPv6 address (the only host holding a ":").
    bool Ipv6() const { return host.find(':') != std::string::npos; }
    /// The host as servers and proxies are told it: an IPv6 address in brackets, without a zone.
    std::string HostText() const;
    /// The Host line's value: HostText, with ":port" when the port is not the scheme's own.
    std::string HostHeader() const;

    /// Parses `source` as a URL, or as a proxy when `isProxy`.
    static HttpUrl Parse(const std::string& source, bool isProxy);
    /// `url` in the form a proxy gets it on the request line (absolute): checked as Parse
    /// checks it, its fragment dropped and its path encoded; library error 4 when malformed.
    static std::string AbsoluteTarget(const std::string& url);
    /// `reference` (a redirect's Location) resolved against `base` (the URL of the request,
    /// "http://" when it names no scheme): an absolute "http://" or "https://" URL without
    /// "." and ".." path segments or a fragment; "" when it cannot be followed (another
    /// scheme, no host, a control character in either text).
    static std::string Resolve(const std::string& base, const std::string& reference);
    /// True when `text` starts with `prefix` (lower case), ignoring the case of `text`.
    static bool StartsWithNoCase(const std::string& text, const char* prefix);
};

}  // namespace tav
