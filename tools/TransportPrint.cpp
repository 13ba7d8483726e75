#include "TransportPrint.hpp"

#include "NamePrint.hpp"

#include <cstdio>

namespace tavtool {

std::string Options::Value(const std::string& name, const std::string& fallback) const {
    const auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

Options ParseOptions(const Args& args, const std::set<std::string>& withValue, const std::set<std::string>& flags) {
    Options out;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 3 || a.compare(0, 2, "--") != 0) {
            out.positional.push_back(a);
        } else if (withValue.count(a)) {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            out.values[a] = args[++i];
        } else if (flags.count(a)) {
            out.flags.insert(a);
        } else {
            throw UsageError("unknown option " + a);
        }
    }
    return out;
}

int16_t ParsePort(const std::string& text) {
    const std::optional<int64_t> n = ParseNumber(text);
    if (!n || *n < 0 || *n > 65535) throw UsageError("port must be 0..65535, not '" + text + "'");
    return static_cast<int16_t>(static_cast<uint16_t>(*n));
}

int64_t ParseCount(const std::string& text, const char* what, int64_t minimum) {
    const std::optional<int64_t> n = ParseNumber(text);
    if (!n || *n < minimum) throw UsageError(std::string(what) + " must be a number >= " + std::to_string(minimum));
    return *n;
}

std::string UnescapeMark(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (text[++i]) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        default: out += '\\', out += text[i]; break;
        }
    }
    return out;
}

namespace {

/// The end point of address text and a port; null when the text is no address of either family.
std::shared_ptr<tav::TAVSockAddr> Literal(const std::string& text, int16_t port) {
    auto addr = tav::TAVSockAddr::Create();
    addr->IPAddress(text);
    addr->Port(port);
    if (addr->Family() != 23 && !Util().IsWellFormedDottedStr(text)) return nullptr;
    return addr;
}

}  // namespace

std::vector<std::shared_ptr<tav::TAVSockAddr>> AddressesOf(const std::string& host, int16_t port) {
    if (auto literal = Literal(host, port)) return {literal};
    std::vector<std::shared_ptr<tav::TAVSockAddr>> out;
    const auto info = Util().GetHostByName(host);
    for (int32_t i = 1; info && i <= info->IPAddressCount(); ++i)
        if (auto a = Literal(info->IPAddress(i), port)) out.push_back(a);
    return out;
}

std::shared_ptr<tav::TAVSockAddr> AddressOf(const std::string& host, int16_t port) {
    auto all = AddressesOf(host, port);
    return all.empty() ? nullptr : all.front();
}

std::shared_ptr<tav::TAVSockAddr> LocalAddress(const Options& options, int16_t port, const std::string& fallback) {
    auto addr = Literal(options.Value("--bind", fallback), port);
    if (!addr) throw UsageError("--bind needs a dotted IPv4 address or an IPv6 address");
    return addr;
}

std::string Endpoint(const tav::TAVSockAddr& addr) {
    const std::string port = ":" + std::to_string(static_cast<uint16_t>(addr.Port()));
    return addr.Family() == 23 ? "[" + addr.IPAddress() + "]" + port : addr.IPAddress() + port;
}

std::string SocketName(const std::shared_ptr<tav::TAVSocket>& skt) {
    return skt ? "socket " + std::to_string(skt->Handle()) : std::string("(no socket)");
}

std::string Quoted(const std::string& bytes) {
    std::string out = "\"";
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (u < 0x20 || u >= 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02X", u);
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string Shown(const tav::Variant& info) {
    if (info.IsByteArray()) {
        const tav::ByteArray& b = info.AsBytes();
        return "bytes " + Quoted(std::string(b.begin(), b.end())) + " (" + std::to_string(b.size()) + " bytes)";
    }
    if (info.IsString()) return Quoted(info.AsString()) + " (" + std::to_string(info.AsString().size()) + " bytes)";
    return std::string("(") + info.TypeName() + ")";
}

void PrintEvent(const std::string& name, const std::string& detail, const std::string& label) {
    const std::string head = label.empty() ? "" : "[" + label + "] ";
    std::printf("  %s%-16s %s\n", head.c_str(), name.c_str(), detail.c_str());
    std::fflush(stdout);
}

}  // namespace tavtool
