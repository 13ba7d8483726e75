// Host look-ups over the reentrant resolver calls, and the Windows HOSTENT layout.
#include "platform/HostDb.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tav::sockintf::hostdb {
namespace {

/// Resolver scratch space starts here and doubles on ERANGE up to kMaxScratch.
constexpr size_t kScratch = 2048;
constexpr size_t kMaxScratch = 1 << 20;

void CopyHost(const hostent& he, HostRecord& out) {
    out.name = he.h_name != nullptr ? he.h_name : "";
    out.aliases.clear();
    for (char** a = he.h_aliases; a != nullptr && *a != nullptr; ++a) out.aliases.emplace_back(*a);
    out.addrType = static_cast<int16_t>(he.h_addrtype == AF_INET    ? AF_INET_W
                                        : he.h_addrtype == AF_INET6 ? AF_INET6_W
                                                                    : he.h_addrtype);
    out.addrLength = static_cast<int16_t>(he.h_length);
    out.addresses.clear();
    out.addresses6.clear();
    if (he.h_addrtype == AF_INET6) {
        for (char** p = he.h_addr_list; p != nullptr && *p != nullptr; ++p) {
            Inet6Address a;
            std::memcpy(a.bytes.data(), *p, a.bytes.size());
            out.addresses6.push_back(a);
        }
        return;
    }
    for (char** p = he.h_addr_list; p != nullptr && *p != nullptr; ++p) {
        uint32_t a;
        std::memcpy(&a, *p, sizeof a);
        out.addresses.push_back(a);
    }
}

/// Runs a *_r host call with a growing scratch buffer; returns 0 or the Windows error.
template <class Call>
int RunHostCall(Call&& call, HostRecord& out) {
    std::vector<char> scratch(kScratch);
    hostent he{};
    hostent* result = nullptr;
    int herr = 0;
    for (;;) {
        const int rc = call(&he, scratch.data(), scratch.size(), &result, &herr);
        if (rc == ERANGE && scratch.size() < kMaxScratch) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        break;
    }
    if (result == nullptr) return WsaErrorFromHostErrno(herr);
    CopyHost(*result, out);
    return 0;
}

/// An IPv6 text (brackets and a zone allowed) read into `out`; false for anything else.
bool ParseInet6(std::string text, Inet6Address& out) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (text.find(':') == std::string::npos) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* res = nullptr;
    if (::getaddrinfo(text.c_str(), nullptr, &hints, &res) != 0) return false;
    const auto* a = reinterpret_cast<const sockaddr_in6*>(res->ai_addr);
    std::memcpy(out.bytes.data(), &a->sin6_addr, out.bytes.size());
    out.scope = a->sin6_scope_id;
    ::freeaddrinfo(res);
    return true;
}

/// The IPv6 addresses of `host`, each once, in the resolver's order; `canonical` gets the
/// name the resolver gives. 0, or the Windows error when there are none.
int ResolveInet6(const std::string& host, std::vector<Inet6Address>& out, std::string& canonical) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0) return rc == EAI_AGAIN ? WSATRY_AGAIN : rc == EAI_NONAME ? WSAHOST_NOT_FOUND : WSANO_DATA;
    if (res->ai_canonname != nullptr) canonical = res->ai_canonname;
    for (const addrinfo* p = res; p != nullptr; p = p->ai_next) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(p->ai_addr);
        Inet6Address one;
        std::memcpy(one.bytes.data(), &a->sin6_addr, one.bytes.size());
        one.scope = a->sin6_scope_id;
        if (std::find(out.begin(), out.end(), one) == out.end()) out.push_back(one);
    }
    ::freeaddrinfo(res);
    return out.empty() ? WSANO_DATA : 0;
}

size_t AlignUp(uintptr_t base, size_t offset, size_t align) {
    const uintptr_t p = base + offset;
    return offset + ((align - p % align) % align);
}

/// Offsets of the parts of a serialized record in a buffer starting at `base`.
struct Layout {
    size_t aliasArray, addrArray, addrs, strings, total;
};

Layout LayoutFor(const HostRecord& rec, uintptr_t base) {
    Layout l{};
    l.aliasArray = AlignUp(base, sizeof(HOSTENT), alignof(char*));
    l.addrArray = l.aliasArray + (rec.aliases.size() + 1) * sizeof(char*);
    l.addrs = l.addrArray + (rec.addresses.size() + 1) * sizeof(char*);
    l.strings = l.addrs + rec.addresses.size() * sizeof(uint32_t);
    l.total = l.strings + rec.name.size() + 1;
    for (const std::string& a : rec.aliases) l.total += a.size() + 1;
    return l;
}

}  // namespace

int WsaErrorFromHostErrno(int herr) noexcept {
    switch (herr) {
    case HOST_NOT_FOUND: return WSAHOST_NOT_FOUND;
    case TRY_AGAIN: return WSATRY_AGAIN;
    case NO_DATA: return WSANO_DATA;
    default: return WSANO_RECOVERY;  // NO_RECOVERY and resolver-internal failures
    }
}

int ResolveByName(const char* name, HostRecord& out) {
    std::string host;
    if (name == nullptr || *name == '\0') {
        char local[256] = {};
        if (::gethostname(local, sizeof local - 1) != 0) return WSANO_RECOVERY;
        host = local;
    } else {
        host = name;
    }
    in_addr numeric{};
    if (::inet_aton(host.c_str(), &numeric) != 0) {
        out = HostRecord{};
        out.name = host;
        out.addresses.push_back(numeric.s_addr);
        return 0;
    }
    if (Inet6Address literal; ParseInet6(host, literal)) {
        out = HostRecord{};
        out.name = host;
        out.addresses6.push_back(literal);
        return 0;
    }
    const int err4 = RunHostCall(
        [&](hostent* he, char* buf, size_t len, hostent** res, int* herr) {
            return ::gethostbyname_r(host.c_str(), he, buf, len, res, herr);
        },
        out);
    std::vector<Inet6Address> v6;
    std::string canonical;
    if (ResolveInet6(host, v6, canonical) != 0) return err4;
    if (err4 != 0) {
        // Known by IPv6 addresses only.
        out = HostRecord{};
        out.name = canonical.empty() ? host : canonical;
    }
    out.addresses6 = std::move(v6);
    return 0;
}

int ResolveByAddr(const char* addr, int len, int type, HostRecord& out) {
    if (addr == nullptr || len < 4) return WSAEFAULT;
    if (type != AF_INET_W && type != AF_INET6_W) return WSAEAFNOSUPPORT;
    const bool v6 = type == AF_INET6_W;
    if (v6 && len < 16) return WSAEFAULT;
    // Copied first: the caller's bytes need not be aligned for an address.
    in6_addr a{};
    const socklen_t size = v6 ? sizeof(in6_addr) : sizeof(in_addr);
    std::memcpy(&a, addr, size);
    return RunHostCall(
        [&](hostent* he, char* buf, size_t blen, hostent** res, int* herr) {
            return ::gethostbyaddr_r(&a, size, v6 ? AF_INET6 : AF_INET, he, buf, blen, res, herr);
        },
        out);
}

int SerializeHostEnt(const HostRecord& rec, char* buf, int buflen, int& needed) noexcept {
    const Layout l = LayoutFor(rec, reinterpret_cast<uintptr_t>(buf));
    needed = static_cast<int>(l.total);
    if (buf == nullptr || buflen < 0 || static_cast<size_t>(buflen) < l.total) return WSAENOBUFS;

    char* strings = buf + l.strings;
    auto putString = [&](const std::string& s) {
        char* at = strings;
        std::memcpy(at, s.c_str(), s.size() + 1);
        strings += s.size() + 1;
        return at;
    };
    HOSTENT ent{};
    ent.h_name = putString(rec.name);
    ent.h_aliases = reinterpret_cast<char**>(buf + l.aliasArray);
    ent.h_addrtype = rec.addrType;
    ent.h_length = rec.addrLength;
    ent.h_addr_list = reinterpret_cast<char**>(buf + l.addrArray);
    // Pointer arrays are written with memcpy so a caller's buffer of plain bytes is fine.
    for (size_t i = 0; i < rec.aliases.size(); ++i) {
        char* p = putString(rec.aliases[i]);
        std::memcpy(buf + l.aliasArray + i * sizeof(char*), &p, sizeof p);
    }
    char* const null = nullptr;
    std::memcpy(buf + l.aliasArray + rec.aliases.size() * sizeof(char*), &null, sizeof null);
    for (size_t i = 0; i < rec.addresses.size(); ++i) {
        char* p = buf + l.addrs + i * sizeof(uint32_t);
        std::memcpy(p, &rec.addresses[i], sizeof(uint32_t));
        std::memcpy(buf + l.addrArray + i * sizeof(char*), &p, sizeof p);
    }
    std::memcpy(buf + l.addrArray + rec.addresses.size() * sizeof(char*), &null, sizeof null);
    std::memcpy(buf, &ent, sizeof ent);
    return 0;
}

}  // namespace tav::sockintf::hostdb
