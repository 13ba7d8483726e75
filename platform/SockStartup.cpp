// Start-up and clean-up of the stack: a process-wide count, as Windows Sockets keeps per
// process, and the start-up record describing this system.
#include "platform/SockIntf.hpp"
#include "platform/SockLayer.hpp"

#include <sys/resource.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace tav::sockintf {
namespace {

constexpr uint16_t kVersion11 = 0x0101;
constexpr uint16_t kHighVersion = 0x0202;

/// Packed version (low byte major, high byte minor) as a number that orders correctly.
constexpr int VersionOrder(uint16_t packed) { return (packed & 0xFF) * 256 + (packed >> 8); }

uint16_t MaxSockets() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > 65535)
        return 65535;
    return static_cast<uint16_t>(rl.rlim_cur);
}

void FillRecord(WSADATA& data, uint16_t version) {
    data = WSADATA{};
    data.wVersion = version;
    data.wHighVersion = kHighVersion;
    std::snprintf(data.szDescription, sizeof data.szDescription,
                  "TAVSock Windows Sockets 1.1 layer over Linux BSD sockets");
    // Status: "Running on Linux <release>", cut to the field if the release is long.
    utsname u{};
    std::string status = "Running";
    if (::uname(&u) == 0) status = status + " on " + u.sysname + " " + u.release;
    std::strncpy(data.szSystemStatus, status.c_str(), sizeof data.szSystemStatus - 1);
    data.iMaxSockets = MaxSockets();
    data.iMaxUdpDg = static_cast<uint16_t>(MAX_UDP_DATAGRAM);
    data.lpVendorInfo = nullptr;
}

}  // namespace

int intWSAStartup(uint16_t versionRequested, WSADATA* data) {
    if (data == nullptr) return WSAEFAULT;
    const int asked = VersionOrder(versionRequested);
    if (asked < VersionOrder(kVersion11)) {
        FillRecord(*data, kVersion11);
        return WSAVERNOTSUPPORTED;
    }
    // 1.x callers get the 1.1 calls; a 2.x caller is told the version it may use.
    uint16_t version = kVersion11;
    if (asked >= VersionOrder(0x0002))
        version = asked > VersionOrder(kHighVersion) ? kHighVersion : versionRequested;
    FillRecord(*data, version);
    detail::gStartupCount.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int intWSACleanup() {
    int count = detail::gStartupCount.load(std::memory_order_relaxed);
    do {
        if (count <= 0) return detail::Fail(WSANOTINITIALISED);
    } while (!detail::gStartupCount.compare_exchange_weak(count, count - 1, std::memory_order_relaxed));
    return 0;
}

int WSAStartupCount() { return detail::gStartupCount.load(std::memory_order_relaxed); }

}  // namespace tav::sockintf
