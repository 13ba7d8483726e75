// The URLs of the transfer commands, taken apart by the tool before anything is sent: the
// scheme picks the client, user:pass@ becomes a login (never shown), and text that would
// become protocol syntax (CR, LF, NUL, once percent-decoded) is refused as a usage error.
#pragma once

#include "TransferOptions.hpp"

#include <cstdint>
#include <string>

namespace tavtool {

struct TransferUrl {
    std::string scheme;    // "http", "https", "ftp" or "ftps"
    bool hasLogin = false; // the URL carried user[:pass]@
    std::string user, password;  // percent-decoded
    std::string host;      // a name or an address (IPv6 without brackets, a zone as "%eth0")
    int32_t port = 0;      // the scheme's port unless the URL names one
    std::string path;      // from the "/" after the host on, as written ("" when none); no #fragment
    std::string shown;     // the URL for messages: the password replaced by "***"

    bool Ftp() const { return scheme == "ftp" || scheme == "ftps"; }
    bool Tls() const { return scheme == "https" || scheme == "ftps"; }
    /// The host as a URL writes it: an IPv6 address in brackets ("[::1]", "[fe80::1%25eth0]").
    std::string HostText() const;
    /// "host:port", as messages name a server ("[::1]:8080").
    std::string HostPort() const { return HostText() + ":" + std::to_string(port); }
    /// The URL as the HTTP client takes it: without the login and the fragment.
    std::string ForHttp() const;
    /// An ftp path relative to the login folder: without its leading "/", percent-decoded.
    std::string FtpPath() const;
};

/// Takes `text` apart; a URL without "scheme://" is http. An IPv6 address comes in brackets
/// ("http://[::1]:8080/", a zone as "[fe80::1%25eth0]"), for every scheme. Throws UsageError
/// for an unknown scheme, a missing host, a bad port, brackets unclosed or holding no IPv6
/// address, a raw control character anywhere, or CR, LF or NUL in a decoded ftp path, user
/// or password.
TransferUrl ParseTransferUrl(const std::string& text);

/// %XX sequences decoded; a "%" without two hex digits stays as it is.
std::string PercentDecoded(const std::string& text);

/// Throws UsageError naming `what` when `value` holds CR, LF or NUL, which would end or
/// split the protocol line it goes into.
void RefuseCommandText(const std::string& what, const std::string& value);

struct Login {
    bool given = false;
    std::string user, password;
};

/// The login for `url`: the URL's own user:pass@, else -u, else the .netrc entry (-n,
/// --netrc-file) of its host, else none. Throws UsageError when --netrc-file cannot be read.
Login LoginFor(const TransferUrl& url, const TransferOptions& o);

/// "Authorization: Basic ..." for a login, with CR LF.
std::string BasicAuthorization(const Login& login);

/// The file name -O gives `url`: its last path segment, decoded. Throws UsageError when that
/// is empty, ".", "..", or holds "/" or a control character.
std::string RemoteName(const TransferUrl& url);

}  // namespace tavtool
