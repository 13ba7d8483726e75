// The FTP client's 227 and 229 reply parses and PORT and EPRT texts against reference parses.
//
// First the input's text is parsed as the text of a 227 reply: address text and port must be
// what the reference parse gives; and as the text of a 229 reply: accepted exactly when a
// pattern of the same rule matches, with its port. Then an address and port drawn from the
// input make a PORT command through TAVSockAddr's dotted text, as the client makes it; the
// command must read back to the same address and port, with the fields as plain decimal
// numbers, and the 227 reply a server would send for that address and port must parse to them
// too. The same numbers make an IPv6 address (runs of zero groups, or an IPv4-mapped one) for
// an EPRT command that must read back to it, and a 229 reply with a delimiter drawn from them
// that must parse to the port exactly when delimiter and port are allowed.
#include "FuzzInput.hpp"

#include "core/Inet6Text.hpp"
#include "core/SockAddrAccess.hpp"
#include "transfer/FtpData.hpp"

#include <tavsock/TAVSockAddr.hpp>

#include <arpa/inet.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

namespace {

using A = tav::FtpData;

// The numeric value at the start of a field, as the classic conversion reads it: blanks
// (spaces, tabs), a sign, decimal digits with an optional fraction and exponent; 0 without.
double Value(const std::string& field) {
    size_t i = field.find_first_not_of(" \t");
    if (i == std::string::npos) return 0;
    const size_t from = i;
    if (field[i] == '+' || field[i] == '-') ++i;
    auto digits = [&] {
        const size_t start = i;
        while (i < field.size() && field[i] >= '0' && field[i] <= '9') ++i;
        return i - start;
    };
    size_t n = digits();
    if (i < field.size() && field[i] == '.') {
        ++i;
        n += digits();
    }
    if (n == 0) return 0;
    if (i < field.size() && (field[i] == 'e' || field[i] == 'E')) {
        size_t k = i + 1;
        if (k < field.size() && (field[k] == '+' || field[k] == '-')) ++k;
        if (k < field.size() && field[k] >= '0' && field[k] <= '9') {
            i = k;
            digits();
        }
    }
    return std::strtod(field.substr(from, i - from).c_str(), nullptr);
}

struct Pasv {
    bool ok = false;
    std::string host;
    uint16_t port = 0;
};

Pasv Reference(const std::string& reply) {
    Pasv r;
    const size_t first = reply.find_first_not_of(" \t\r\n");
    std::string text = first == std::string::npos ? "" : reply.substr(first, reply.find_last_not_of(" \t\r\n") - first + 1);
    const size_t open = text.find('(');
    if (open != std::string::npos) {
        text = text.substr(open + 1);
        text = text.substr(0, text.find(')'));
    } else {
        const size_t digit = text.find_first_of("0123456789");
        text = digit == std::string::npos ? "" : text.substr(digit);
    }
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == ',')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    if (fields.size() < 5) return r;
    const double port = Value(fields[4]) * 256 + (fields.size() > 5 ? Value(fields[5]) : 0);
    // A port number so large that it cannot be rounded to an integer is refused.
    if (!std::isfinite(port) || std::fabs(port) >= 0x1p62) return r;
    r.ok = true;
    r.host = fields[0] + "." + fields[1] + "." + fields[2] + "." + fields[3];
    r.port = static_cast<uint16_t>(std::llround(port) & 0xFFFF);
    return r;
}

// The PORT command read back: six plain decimal numbers 0..255 (no sign, no leading zero).
bool ReadPort(const std::string& command, uint32_t& address, uint16_t& port) {
    if (command.rfind("PORT ", 0) != 0) return false;
    std::vector<std::string> fields(1);
    for (char c : command.substr(5)) {
        if (c == ',')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    if (fields.size() != 6) return false;
    uint32_t v[6];
    for (int i = 0; i < 6; ++i) {
        const std::string& f = fields[i];
        if (f.empty() || f.size() > 3 || f.find_first_not_of("0123456789") != std::string::npos) return false;
        if (f.size() > 1 && f[0] == '0') return false;
        v[i] = static_cast<uint32_t>(std::stoul(f));
        if (v[i] > 255) return false;
    }
    address = v[0] << 24 | v[1] << 16 | v[2] << 8 | v[3];
    port = static_cast<uint16_t>(v[4] << 8 | v[5]);
    return true;
}

// The 229 rule as a pattern: from the first "(", the delimiter three times, one to five
// digits, the delimiter and ")"; the delimiter printable and no digit, the port 1..65535.
int ExtendedReference(const std::string& reply) {
    static const std::regex pattern(R"(\(([!-/:-~])\1\1([0-9]{1,5})\1\))");
    const size_t open = reply.find('(');
    std::smatch m;
    if (open == std::string::npos ||
        !std::regex_search(reply.begin() + static_cast<std::ptrdiff_t>(open), reply.end(), m, pattern,
                           std::regex_constants::match_continuous))
        return 0;
    const long port = std::stol(m[2].str());
    return port >= 1 && port <= 65535 ? static_cast<int>(port) : 0;
}

// The EPRT command read back: the family 2, an IPv6 address without a zone, a plain decimal port.
bool ReadEprt(const std::string& command, tav::Inet6Text::Bytes& address, uint16_t& port) {
    static const std::regex pattern(R"(EPRT \|2\|([0-9a-f:.]+)\|([1-9][0-9]{0,4}|0)\|)");
    std::smatch m;
    uint32_t scope = 0;
    if (!std::regex_match(command, m, pattern) || !tav::Inet6Text::Parse(m[1].str(), address, scope) || scope != 0)
        return false;
    const long value = std::stol(m[2].str());
    port = static_cast<uint16_t>(value);
    return value <= 65535;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    const uint32_t address = static_cast<uint32_t>(in.Word()) << 16 | in.Word();
    const uint16_t port = in.Word();
    const std::string reply = in.Rest();

    // A 227 reply's text as the server sent it.
    std::string host;
    uint16_t parsedPort = 0;
    const bool ok = A::ParsePassiveReply(reply, false, host, parsedPort);
    const Pasv expected = Reference(reply);
    FUZZ_CHECK(ok == expected.ok, std::string(ok ? "parsed" : "refused") + " where the reference " +
                                      (expected.ok ? "parses" : "refuses"));
    if (ok) {
        FUZZ_CHECK(host == expected.host, "address text " + host + ", reference " + expected.host);
        FUZZ_CHECK(parsedPort == expected.port,
                   "port " + std::to_string(parsedPort) + ", reference " + std::to_string(expected.port));
    }

    // The PORT command for an address and port, through the socket address's dotted text.
    const auto addr = tav::TAVSockAddr::Create();
    tav::SockAddrAccess::SetNetAddress(*addr, static_cast<int32_t>(htonl(address)));
    const std::string command = A::PortCommand(addr->IPAddress(), port);
    uint32_t readAddress = 0;
    uint16_t readPort = 0;
    FUZZ_CHECK(ReadPort(command, readAddress, readPort), "malformed " + command);
    FUZZ_CHECK(readAddress == address && readPort == port,
               command + " for " + std::to_string(address) + " port " + std::to_string(port));

    // And the 227 reply for them parses back to them.
    const std::string numbers = command.substr(5);
    const std::string serverReply = " Entering Passive Mode (" + numbers + ").";
    FUZZ_CHECK(A::ParsePassiveReply(serverReply, false, host, parsedPort), "refused " + serverReply);
    FUZZ_CHECK(host == addr->IPAddress() && parsedPort == port, "read back " + host + " port " + std::to_string(parsedPort));

    // A 229 reply's text as the server sent it.
    const int extended = ExtendedReference(reply);
    FUZZ_CHECK(A::ParseExtendedPassiveReply(reply, parsedPort) == (extended != 0),
               std::string("229 ") + (extended ? "refused where the reference parses" : "parsed where the reference refuses"));
    if (extended) FUZZ_CHECK(parsedPort == extended, "229 port " + std::to_string(parsedPort));

    // An IPv6 address from the same numbers: the low byte says which groups are not zero.
    tav::Inet6Text::Bytes six{};
    for (int group = 0; group < 8; ++group) {
        if ((address >> group & 1) == 0) continue;
        const uint16_t value = static_cast<uint16_t>((address >> 8) ^ (group << 4)) | 1;
        six[2 * group] = static_cast<uint8_t>(value >> 8);
        six[2 * group + 1] = static_cast<uint8_t>(value);
    }
    if (address >> 31) {  // an IPv4-mapped address, written with its dotted tail
        six = {};
        six[10] = six[11] = 0xFF;
        for (int i = 0; i < 4; ++i) six[12 + i] = static_cast<uint8_t>(address >> (8 * (3 - i)));
    }
    const std::string eprt = A::ExtendedPortCommand(six, port);
    tav::Inet6Text::Bytes readSix{};
    FUZZ_CHECK(ReadEprt(eprt, readSix, readPort), "malformed " + eprt);
    FUZZ_CHECK(readSix == six && readPort == port, eprt + " does not read back");

    // And a 229 reply for the port with a delimiter from the numbers.
    const char d = static_cast<char>(address >> 24);
    const std::string epsv = std::string(" Entering Extended Passive Mode (") + d + d + d + std::to_string(port) + d + ").";
    const bool allowed = d >= '!' && d <= '~' && !(d >= '0' && d <= '9') && port != 0;
    FUZZ_CHECK(A::ParseExtendedPassiveReply(epsv, parsedPort) == allowed, "229 with delimiter " + std::to_string(d));
    if (allowed) FUZZ_CHECK(parsedPort == port, "229 read back port " + std::to_string(parsedPort));
    return 0;
}
