#include "TransferUrl.hpp"

#include "Netrc.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tavtool {
namespace {

int32_t DefaultPort(const std::string& scheme) {
    if (scheme == "https") return 443;
    if (scheme == "ftp" || scheme == "ftps") return 21;
    return 80;
}

bool HasControl(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

/// What a URL's brackets hold ("::1", "fe80::1%25eth0") as the host the clients take
/// ("fe80::1%eth0"); UsageError naming `shown` when it is no IPv6 address.
std::string Ipv6Host(const std::string& inside, const std::string& shown) {
    const size_t percent = inside.find('%');
    const std::string address = inside.substr(0, percent);
    const std::string zone = percent == std::string::npos ? "" : inside.substr(std::min(inside.size(), percent + 3));
    in6_addr parsed{};
    const bool zoneOk = percent == std::string::npos ||
                        (inside.compare(percent, 3, "%25") == 0 && !zone.empty() && std::all_of(zone.begin(), zone.end(), [](char c) {
                             return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' || c == '~';
                         }));
    if (::inet_pton(AF_INET6, address.c_str(), &parsed) != 1 || !zoneOk)
        throw UsageError("not an IPv6 address (\"[::1]\", \"[fe80::1%25eth0]\") in brackets: " + shown);
    return percent == std::string::npos ? address : address + "%" + zone;
}

std::string ReadNetrc(const TransferOptions& o) {
    std::string name = o.netrcFile;
    if (name.empty()) {
        const char* home = std::getenv("HOME");
        if (!home) return "";
        name = std::string(home) + "/.netrc";
    }
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        // No ~/.netrc is no login from it; a file named on the command line must be there.
        if (o.netrcFile.empty()) return "";
        throw UsageError("cannot read " + o.netrcFile + ": " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) && std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

void RefuseCommandText(const std::string& what, const std::string& value) {
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw UsageError(what + " holds CR, LF or NUL: " + value);
}

TransferUrl ParseTransferUrl(const std::string& text) {
    TransferUrl u;
    // A raw control character is refused before the URL is even shown in a message.
    if (HasControl(text)) throw UsageError("a URL may not hold control characters: " + text);
    std::string rest = text;
    const size_t sep = text.find("://");
    u.scheme = "http";
    if (sep != std::string::npos) {
        u.scheme = text.substr(0, sep);
        std::transform(u.scheme.begin(), u.scheme.end(), u.scheme.begin(), [](unsigned char c) { return std::tolower(c); });
        rest = text.substr(sep + 3);
        if (u.scheme != "http" && u.scheme != "https" && u.scheme != "ftp" && u.scheme != "ftps")
            throw UsageError("no client for the scheme of " + text);
    }
    const size_t pathAt = rest.find_first_of("/?#");
    std::string authority = rest.substr(0, pathAt);
    u.path = pathAt == std::string::npos ? "" : rest.substr(pathAt);
    u.path = u.path.substr(0, u.path.find('#'));
    if (!u.path.empty() && u.path[0] != '/') u.path.insert(0, "/");
    std::string shownAuthority = authority;
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        const std::string info = authority.substr(0, at);
        authority = authority.substr(at + 1);
        const size_t colon = info.find(':');
        u.hasLogin = true;
        u.user = PercentDecoded(info.substr(0, colon));
        u.password = colon == std::string::npos ? "" : PercentDecoded(info.substr(colon + 1));
        if (u.user.empty()) throw UsageError("empty user name in a URL");
        shownAuthority = info.substr(0, colon) + (colon == std::string::npos ? "" : ":***") + "@" + authority;
    }
    u.shown = (sep == std::string::npos ? "" : text.substr(0, sep + 3)) + shownAuthority + u.path;
    // An IPv6 address comes in brackets ("[::1]:8080"); its colons are not the port's.
    size_t colon = authority.rfind(':');
    const bool bracketed = !authority.empty() && authority[0] == '[';
    if (bracketed) {
        const size_t close = authority.find(']');
        if (close == std::string::npos) throw UsageError("no \"]\" after the IPv6 address in " + u.shown);
        if (close + 1 < authority.size() && authority[close + 1] != ':') throw UsageError("bad port in " + u.shown);
        u.host = Ipv6Host(authority.substr(1, close - 1), u.shown);
        colon = close + 1 < authority.size() ? close + 1 : std::string::npos;
    } else {
        u.host = authority.substr(0, colon);
    }
    u.port = DefaultPort(u.scheme);
    if (colon != std::string::npos) {
        const std::optional<int64_t> port = ParseNumber(authority.substr(colon + 1));
        if (!port || *port < 1 || *port > 65535) throw UsageError("bad port in " + u.shown);
        u.port = static_cast<int32_t>(*port);
    }
    if (u.host.empty()) throw UsageError("no host in " + u.shown);
    if (!bracketed && !std::all_of(u.host.begin(), u.host.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'; }))
        throw UsageError("not a host name: " + u.host);
    RefuseCommandText("the user name in " + u.shown, u.user);
    RefuseCommandText("the password in " + u.shown, u.password);
    if (u.Ftp()) RefuseCommandText("the path of " + u.shown, u.FtpPath());
    return u;
}

std::string TransferUrl::HostText() const {
    const size_t percent = host.find('%');
    if (host.find(':') == std::string::npos) return host;
    return "[" + (percent == std::string::npos ? host : host.substr(0, percent) + "%25" + host.substr(percent + 1)) + "]";
}

std::string TransferUrl::ForHttp() const {
    const std::string named = port == DefaultPort(scheme) ? "" : ":" + std::to_string(port);
    return scheme + "://" + HostText() + named + (path.empty() ? "/" : path);
}

std::string TransferUrl::FtpPath() const { return PercentDecoded(path.empty() ? path : path.substr(1)); }

Login LoginFor(const TransferUrl& url, const TransferOptions& o) {
    if (url.hasLogin) return {true, url.user, url.password};
    if (o.hasUser) return {true, o.user, o.password};
    if (o.netrc) {
        if (const std::optional<NetrcLogin> entry = NetrcLookup(ReadNetrc(o), url.host)) {
            RefuseCommandText("the .netrc login for " + url.host, entry->login + entry->password);
            return {!entry->login.empty(), entry->login, entry->password};
        }
    }
    return {};
}

std::string BasicAuthorization(const Login& login) {
    static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string in = login.user + ":" + login.password;
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t n = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += i + 1 < in.size() ? kAlphabet[(n >> 6) & 63] : '=';
        out += i + 2 < in.size() ? kAlphabet[n & 63] : '=';
    }
    return "Authorization: Basic " + out + "\r\n";
}

std::string RemoteName(const TransferUrl& url) {
    const std::string path = url.path.substr(0, url.path.find('?'));
    const std::string name = PercentDecoded(path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1));
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        throw UsageError("-O cannot take a file name from " + url.shown);
    return name;
}

}  // namespace tavtool
