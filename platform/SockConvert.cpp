// Byte-order and dotted-text conversions of the socket interface layer. They need no start-up
// of the stack, as in Windows Sockets.
#include "platform/SockIntf.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>

namespace tav::sockintf {

uint32_t inthtonl(uint32_t v) { return htonl(v); }
uint16_t inthtons(uint16_t v) { return htons(v); }
uint16_t intntohs(uint16_t v) { return ntohs(v); }
uint32_t intntohl(uint32_t v) { return ntohl(v); }

uint32_t intinet_addr(const char* cp) {
    if (cp == nullptr) return INADDR_NONE;
    // inet_aton accepts the same shorthand forms (a, a.b, a.b.c, octal and hex parts) as the
    // Windows call; the all-ones address and malformed text both come back as INADDR_NONE.
    in_addr a{};
    if (inet_aton(cp, &a) == 0) return INADDR_NONE;
    return a.s_addr;
}

const char* intinet_ntoa(uint32_t in) {
    thread_local char buf[16];
    const auto* b = reinterpret_cast<const unsigned char*>(&in);
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buf;
}

}  // namespace tav::sockintf
