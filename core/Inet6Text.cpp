#include "core/Inet6Text.hpp"

#include <arpa/inet.h>
#include <net/if.h>

#include <cstdlib>

namespace tav::Inet6Text {

namespace {

/// Zone text to an interface index; false for an empty or unknown zone.
bool ParseZone(const std::string& zone, uint32_t& scope) {
    if (zone.empty()) return false;
    if (zone.find_first_not_of("0123456789") == std::string::npos) {
        if (zone.size() > 10) return false;
        const unsigned long v = std::strtoul(zone.c_str(), nullptr, 10);
        if (v > UINT32_MAX) return false;
        scope = static_cast<uint32_t>(v);
        return true;
    }
    scope = ::if_nametoindex(zone.c_str());
    return scope != 0;
}

}  // namespace

bool Parse(const std::string& text, Bytes& bytes, uint32_t& scope) {
    std::string body = text;
    if (body.size() >= 2 && body.front() == '[' && body.back() == ']') body = body.substr(1, body.size() - 2);
    scope = 0;
    if (const size_t pct = body.find('%'); pct != std::string::npos) {
        if (!ParseZone(body.substr(pct + 1), scope)) return false;
        body.resize(pct);
    }
    // inet_pton stops at nothing: a NUL inside the text must not cut it short.
    if (body.find('\0') != std::string::npos) return false;
    return ::inet_pton(AF_INET6, body.c_str(), bytes.data()) == 1;
}

std::string Format(const Bytes& bytes, uint32_t scope) {
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET6, bytes.data(), text, sizeof text) == nullptr) return std::string();
    std::string out = text;
    if (scope != 0) {
        char name[IF_NAMESIZE] = {};
        out += '%';
        out += ::if_indextoname(scope, name) != nullptr ? std::string(name) : std::to_string(scope);
    }
    return out;
}

}  // namespace tav::Inet6Text
