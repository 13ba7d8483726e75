// The text of an HTTP/1.0 request, and of the CONNECT that asks a proxy for a tunnel.
#pragma once

#include <cstdint>
#include <string>

namespace tav {

/// One request as the host gave it (Execute2's arguments) and as the URL made it. The target
/// and host come checked from HttpUrl; Headers and Data are the host's own text, sent as given.
struct HttpRequest {
    std::string operation = "GET";
    std::string target = "/";  // the path, or the whole URL for a proxy
    std::string host;          // the Host line's value (with the port when not the default)
    std::string userAgent;     // the User-Agent line's value ("" for no such line; headers may name their own)
    std::string headers;       // extra header lines, CR LF separated ("" for none)
    std::string data;          // the body ("" for none)
    std::string contentType;
    int64_t rangeFrom = 0;     // > 0: "Range: bytes=N-" asks for the body from byte N on

    /// The request line, Accept, Host, Accept-Language and User-Agent lines, the extra headers, then with
    /// Data its Content-Length (two more than Data's length: the CR LF after it is counted
    /// in), Content-type, an empty line and Data; always ending with an empty line.
    std::string Text() const;
    /// "CONNECT host:port HTTP/1.0" with its Host line and the empty line; `host` as
    /// HttpUrl::HostText gives it (an IPv6 address in brackets).
    static std::string ConnectText(const std::string& host, int32_t port);
};

}  // namespace tav
