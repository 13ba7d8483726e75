// IPv6 address text: the forms of RFC 4291 (with or without brackets, with a %zone for a
// scoped address) read into 16 bytes and a scope, and written back in the RFC 5952 form.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tav::Inet6Text {

using Bytes = std::array<uint8_t, 16>;

/// Reads `text` as an IPv6 address: "::1", "[::1]", "fe80::1%eth0" or "fe80::1%2" (the zone
/// an interface name or index). False for anything else (an IPv4 dotted text included, an
/// unknown interface name, text with a port), `bytes` and `scope` then unspecified.
bool Parse(const std::string& text, Bytes& bytes, uint32_t& scope);

/// The RFC 5952 text of an address, without brackets; a non-zero scope follows as "%name"
/// (the interface name, or its index when no interface has it).
std::string Format(const Bytes& bytes, uint32_t scope);

}  // namespace tav::Inet6Text
