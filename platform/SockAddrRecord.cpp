#include "platform/SockAddrRecord.hpp"

#include <cstring>

namespace tav::sockintf::detail {

uint16_t NativeAddr::Port() const noexcept {
    if (Family() == AF_INET) return V4().sin_port;
    if (Family() == AF_INET6) return V6().sin6_port;
    return 0;
}

bool NativeAddr::IsAny() const noexcept {
    if (Family() == AF_INET) return V4().sin_addr.s_addr == INADDR_ANY;
    if (Family() == AF_INET6) return IN6_IS_ADDR_UNSPECIFIED(&V6().sin6_addr);
    return false;
}

NativeAddr NativeAddr::Any(int family) noexcept {
    NativeAddr a;
    a.ss.ss_family = static_cast<sa_family_t>(family);
    a.len = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    return a;
}

int RecordToNative(const SOCKADDR_IN* name, int namelen, bool inet6, NativeAddr& out) noexcept {
    out = NativeAddr{};
    if (name->sin_family == AF_INET6_W) {
        if (namelen < static_cast<int>(sizeof(SOCKADDR_IN6_W))) return WSAEFAULT;
        SOCKADDR_IN6_W r;
        std::memcpy(static_cast<void*>(&r), name, sizeof r);
        sockaddr_in6 n{};
        n.sin6_family = AF_INET6;
        n.sin6_port = r.sin6_port;
        n.sin6_flowinfo = r.sin6_flowinfo;
        std::memcpy(&n.sin6_addr, r.sin6_addr, sizeof r.sin6_addr);
        n.sin6_scope_id = r.sin6_scope_id;
        std::memcpy(&out.ss, &n, sizeof n);
        out.len = sizeof n;
        return 0;
    }
    if (inet6 && name->sin_family == AF_INET_W) {
        // A dual-stack socket reaches IPv4 peers through their IPv4-mapped addresses.
        sockaddr_in6 n{};
        n.sin6_family = AF_INET6;
        n.sin6_port = name->sin_port;
        n.sin6_addr.s6_addr[10] = 0xFF;
        n.sin6_addr.s6_addr[11] = 0xFF;
        std::memcpy(&n.sin6_addr.s6_addr[12], &name->sin_addr, 4);
        std::memcpy(&out.ss, &n, sizeof n);
        out.len = sizeof n;
        return 0;
    }
    sockaddr_in n{};
    n.sin_family = static_cast<sa_family_t>(static_cast<uint16_t>(name->sin_family));
    n.sin_port = name->sin_port;
    n.sin_addr.s_addr = name->sin_addr;
    std::memcpy(&out.ss, &n, sizeof n);
    out.len = sizeof n;
    return 0;
}

int NativeToRecord(const NativeAddr& a, SOCKADDR_IN* name, int* namelen) noexcept {
    if (a.Family() == AF_INET6 && !IN6_IS_ADDR_V4MAPPED(&a.V6().sin6_addr)) {
        if (*namelen < static_cast<int>(sizeof(SOCKADDR_IN6_W))) return WSAEFAULT;
        SOCKADDR_IN6_W r;
        r.sin6_family = AF_INET6_W;
        r.sin6_port = a.V6().sin6_port;
        r.sin6_flowinfo = a.V6().sin6_flowinfo;
        std::memcpy(r.sin6_addr, &a.V6().sin6_addr, sizeof r.sin6_addr);
        r.sin6_scope_id = a.V6().sin6_scope_id;
        std::memcpy(static_cast<void*>(name), &r, sizeof r);
        *namelen = sizeof r;
        return 0;
    }
    if (*namelen < static_cast<int>(sizeof(SOCKADDR_IN))) return WSAEFAULT;
    SOCKADDR_IN r;
    if (a.Family() == AF_INET6) {
        r.sin_family = AF_INET_W;
        r.sin_port = a.V6().sin6_port;
        std::memcpy(&r.sin_addr, &a.V6().sin6_addr.s6_addr[12], 4);
    } else {
        r.sin_family = static_cast<int16_t>(a.V4().sin_family);
        r.sin_port = a.V4().sin_port;
        r.sin_addr = a.V4().sin_addr.s_addr;
    }
    std::memcpy(static_cast<void*>(name), &r, sizeof r);
    *namelen = sizeof r;
    return 0;
}

}  // namespace tav::sockintf::detail
