// A .netrc reader for the transfer commands (-n, --netrc-file): the login and password a file
// of "machine NAME login USER password PASS" entries gives for one host.
#pragma once

#include <optional>
#include <string>

namespace tavtool {

struct NetrcLogin {
    std::string login;
    std::string password;
};

/// The entry for `host` in the text of a .netrc file: the first "machine" entry whose name
/// equals `host` exactly, else the "default" entry, else nothing. Tokens are separated by
/// blanks (space, tab, CR, LF); a token in double quotes may hold blanks and the escapes \"
/// and \\. "account" values are skipped; "macdef NAME" skips the macro text up to the next
/// empty line. Unknown words are skipped. Reads the text once, never past its end; the
/// result is never longer than the text.
std::optional<NetrcLogin> NetrcLookup(const std::string& text, const std::string& host);

}  // namespace tavtool
