// The tool's .netrc reader (tools/Netrc.cpp) on any text, and on files written from entries.
//
// The first byte picks the mode. Raw: the rest is a .netrc text and the host asked for comes
// from its front; the reader must not fail, and what it returns is never longer than the
// text. Entries: the rest is cut into up to eight (host, login, password) triples over a small
// alphabet with blanks, quotes and backslashes, written as a .netrc (quoted where needed,
// with a default entry when the mode says so); asking for each host must give the first
// entry of that host, and asking for a host absent from the file the default entry or nothing.
#include "FuzzInput.hpp"

#include "Netrc.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct Entry {
    std::string host, login, password;
};

std::string Token(fuzz::FuzzInput& in) {
    static const char kAlphabet[] = "ab.1 \"\\\tm";
    std::string out;
    for (size_t n = in.Byte() % 6; n > 0; --n) out += kAlphabet[in.Byte() % (sizeof kAlphabet - 1)];
    return out;
}

// A token as a .netrc holds it: bare when it can be, else in quotes with \" and \\.
std::string Written(const std::string& token) {
    if (!token.empty() && token.find_first_of(" \t\r\n\"\\") == std::string::npos) return token;
    std::string out = "\"";
    for (char c : token) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

bool Same(const std::optional<tavtool::NetrcLogin>& got, const Entry* want) {
    if (!want) return !got;
    return got && got->login == want->login && got->password == want->password;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    const uint8_t mode = in.Byte();
    if ((mode & 1) == 0) {
        const std::string host = in.Text(in.Byte() % 8);
        const std::string text = in.Rest();
        const std::optional<tavtool::NetrcLogin> got = tavtool::NetrcLookup(text, host);
        FUZZ_CHECK(!got || got->login.size() + got->password.size() <= text.size(), "longer than the text");
        return 0;
    }
    std::vector<Entry> entries;
    while (!in.Empty() && entries.size() < 8) {
        Entry e;
        e.host = Token(in);
        e.login = Token(in);
        e.password = Token(in);
        entries.push_back(e);
    }
    const bool withDefault = (mode & 2) != 0;
    const Entry fallback{"", "dflt", "pw d"};
    std::string text;
    for (const Entry& e : entries)
        text += "machine " + Written(e.host) + "\n  login " + Written(e.login) + " password " + Written(e.password) + "\n";
    if (withDefault) text += "default login " + Written(fallback.login) + " password " + Written(fallback.password) + "\n";

    for (const Entry& e : entries) {
        const Entry* first = &e;
        for (const Entry& f : entries)
            if (f.host == e.host) {
                first = &f;
                break;
            }
        FUZZ_CHECK(Same(tavtool::NetrcLookup(text, e.host), first), "host " + e.host + " in\n" + text);
    }
    const std::string absent = "absent.example";
    FUZZ_CHECK(Same(tavtool::NetrcLookup(text, absent), withDefault ? &fallback : nullptr), "absent host in\n" + text);
    return 0;
}
