// Shared pieces of the tool's transport commands and demo parts: option parsing, end points,
// and the one-line forms of events.
#pragma once

#include "Tool.hpp"

#include <tavsock/TAVSockAddr.hpp>
#include <tavsock/TAVSocket.hpp>
#include <tavsock/Variant.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tavtool {

/// Arguments split into positionals and `--name [value]` options.
struct Options {
    Args positional;
    std::map<std::string, std::string> values;  // options that take a value
    std::set<std::string> flags;                // options without one

    bool Has(const std::string& name) const { return flags.count(name) || values.count(name); }
    std::string Value(const std::string& name, const std::string& fallback) const;
};

/// Splits `args`. `withValue` and `flags` name the accepted options (with their dashes);
/// anything else starting with "--", or a value option at the end, throws UsageError.
Options ParseOptions(const Args& args, const std::set<std::string>& withValue, const std::set<std::string>& flags);

/// A port 0..65535 from decimal text (UsageError otherwise), as the object model's Integer.
int16_t ParsePort(const std::string& text);
/// A whole number >= minimum from decimal text; UsageError otherwise.
int64_t ParseCount(const std::string& text, const char* what, int64_t minimum);
/// A mark as given on the command line, with \n, \r, \t and \\ turned into their characters.
std::string UnescapeMark(const std::string& text);

/// The addresses of `host` with `port`: the address itself for IPv4 dotted or IPv6 text
/// (brackets allowed), else every address a look-up of the name finds now, IPv4 first.
/// Empty when the name does not resolve.
std::vector<std::shared_ptr<tav::TAVSockAddr>> AddressesOf(const std::string& host, int16_t port);
/// The first of AddressesOf; null when the name does not resolve.
std::shared_ptr<tav::TAVSockAddr> AddressOf(const std::string& host, int16_t port);
/// The local end point of a command: --bind, else `fallback`, and `port`. Servers fall back
/// to 127.0.0.1; clients to 0.0.0.0, so the system picks the address that reaches the peer.
std::shared_ptr<tav::TAVSockAddr> LocalAddress(const Options& options, int16_t port,
                                               const std::string& fallback = "127.0.0.1");
/// The local end point of a client: --bind if given, else any address of `family` (2 IPv4,
/// 23 IPv6: that of the peer) and any port.
inline std::shared_ptr<tav::TAVSockAddr> ClientAddress(const Options& options, int16_t family = 2) {
    return LocalAddress(options, 0, family == 23 ? "::" : "0.0.0.0");
}

/// "127.0.0.1:5000" or "[::1]:5000"; ports above 32767 shown as the port they are, not as negative Integers.
std::string Endpoint(const tav::TAVSockAddr& addr);
/// "socket 7" with the handle, for event lines.
std::string SocketName(const std::shared_ptr<tav::TAVSocket>& skt);
/// Text in double quotes with C escapes for what does not print (\n, \x00, ...).
std::string Quoted(const std::string& bytes);
/// Received data for a line of output: text quoted with C escapes for what does not print,
/// bytes as text too with a "bytes" prefix, and the length.
std::string Shown(const tav::Variant& info);

/// Prints one event line ("  [label] <name padded> <detail>"; no brackets without a label)
/// and flushes, so output interleaves correctly with other processes.
void PrintEvent(const std::string& name, const std::string& detail, const std::string& label = "");

}  // namespace tavtool
