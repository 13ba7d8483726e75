#include "core/SocketSupport.hpp"

#include "core/Inet6Text.hpp"
#include "core/SockAddrAccess.hpp"

#include <algorithm>
#include <cstring>

namespace tav::SocketSupport {

namespace sk = tav::sockintf;

bool IsWellFormedDottedStr(const std::string& dotted) { return NetAddrFromDottedStr(dotted) != -1; }

int32_t NetAddrFromDottedStr(const std::string& dotted) {
    return static_cast<int32_t>(sk::intinet_addr(dotted.c_str()));
}

std::string DottedStrFromNetAddr(int32_t netAddr) {
    // The layer's buffer is reused by its next call: copy at once.
    return std::string(sk::intinet_ntoa(static_cast<uint32_t>(netAddr)));
}

int32_t HostToNetLong(int32_t value) { return static_cast<int32_t>(sk::inthtonl(static_cast<uint32_t>(value))); }
int32_t NetToHostLong(int32_t value) { return static_cast<int32_t>(sk::intntohl(static_cast<uint32_t>(value))); }
int16_t HostToNetShort(int16_t value) { return static_cast<int16_t>(sk::inthtons(static_cast<uint16_t>(value))); }
int16_t NetToHostShort(int16_t value) { return static_cast<int16_t>(sk::intntohs(static_cast<uint16_t>(value))); }

ByteArray ByteArrayFromString(const std::string& text) { return ByteArray(text.begin(), text.end()); }

std::string StringFromByteArray(const ByteArray& bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());  // one block copy
}

std::string TextFromAnsiPtr(const char* text) { return text ? std::string(text) : std::string(); }

std::string TextFromPtrCell(const char* const* cell) { return cell ? TextFromAnsiPtr(*cell) : std::string(); }

std::string TextBeforeNul(const std::string& text) {
    size_t nul = text.find('\0');
    return nul == std::string::npos ? std::string() : text.substr(0, nul);
}

int32_t UnsignedPort(int16_t value) { return static_cast<uint16_t>(value); }

int16_t HighWord(int32_t value) {
    // Division, not a shift: negative values truncate toward zero, as the classic helper did.
    return static_cast<int16_t>(static_cast<uint16_t>((value / 65536) & 0xFFFF));
}

int16_t LowWord(int32_t value) { return static_cast<int16_t>(static_cast<uint16_t>(value & 0xFFFF)); }

sk::SOCKADDR_IN AddrRecordFromSockAddr(const TAVSockAddr& addr) {
    sk::SOCKADDR_IN record;
    record.sin_family = sk::AF_INET_W;
    record.sin_port = static_cast<uint16_t>(SockAddrAccess::GetNetPort(addr));
    record.sin_addr = static_cast<uint32_t>(SockAddrAccess::GetNetAddress(addr));
    return record;
}

void SockAddrFromAddrRecord(const sk::SOCKADDR_IN& record, TAVSockAddr& addr) {
    SockAddrAccess::SetNetAddress(addr, static_cast<int32_t>(record.sin_addr));
    SockAddrAccess::SetNetPort(addr, static_cast<int16_t>(record.sin_port));
}

AddressBytes AddressBytesFromText(const std::string& text) {
    AddressBytes out;
    const int32_t v4 = NetAddrFromDottedStr(text);
    uint32_t scope = 0;
    if (v4 == -1 && Inet6Text::Parse(text, out.bytes, scope)) {
        out.family = sk::AF_INET6_W;
        out.length = 16;
        return out;
    }
    std::memcpy(out.bytes.data(), &v4, sizeof v4);
    return out;
}

sk::SOCKADDR_INET_W RecordFromSockAddr(const TAVSockAddr& addr) {
    sk::SOCKADDR_INET_W record;
    if (addr.Family() == sk::AF_INET6_W) {
        record.Ipv6.sin6_family = sk::AF_INET6_W;
        record.Ipv6.sin6_port = static_cast<uint16_t>(SockAddrAccess::GetNetPort(addr));
        const auto& bytes = SockAddrAccess::GetAddress6(addr);
        std::copy(bytes.begin(), bytes.end(), record.Ipv6.sin6_addr);
        record.Ipv6.sin6_scope_id = SockAddrAccess::GetScope6(addr);
    } else {
        record.Ipv4 = AddrRecordFromSockAddr(addr);
    }
    return record;
}

void SockAddrFromRecord(const sk::SOCKADDR_INET_W& record, TAVSockAddr& addr) {
    if (record.si_family == sk::AF_INET6_W) {
        std::array<uint8_t, 16> bytes;
        std::copy(std::begin(record.Ipv6.sin6_addr), std::end(record.Ipv6.sin6_addr), bytes.begin());
        SockAddrAccess::SetAddress6(addr, bytes, record.Ipv6.sin6_scope_id);
        SockAddrAccess::SetNetPort(addr, static_cast<int16_t>(record.Ipv6.sin6_port));
        return;
    }
    SockAddrFromAddrRecord(record.Ipv4, addr);
}

}  // namespace tav::SocketSupport
