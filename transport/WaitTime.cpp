#include "transport/WaitTime.hpp"

#include <cstdio>
#include <ctime>

namespace tav::waittime {

int64_t Now() {
    // Every read asks for the time. The marks are seconds apart, so the clock the kernel
    // keeps per tick (a few milliseconds) is precise enough and cheaper to read; converting to
    // local time takes the time-zone lock, and the seconds since midnight only change with the
    // wall-clock second, so the conversion is made once per second and per thread.
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    thread_local time_t cachedSecond = -1;
    thread_local int64_t cachedWhole = 0;
    if (ts.tv_sec != cachedSecond) {
        std::tm local{};
        const time_t seconds = ts.tv_sec;
        ::localtime_r(&seconds, &local);
        cachedWhole = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
        cachedSecond = ts.tv_sec;
    }
    // A leap second (tm_sec 60) stays within the day.
    const int64_t value = cachedWhole * kPerSecond + ts.tv_nsec / 100000;
    return value < kPerDay ? value : kPerDay - 1;
}

bool Reached(int64_t now, int64_t mark) noexcept {
    int64_t ahead = (mark - now) % kPerDay;
    if (ahead < 0) ahead += kPerDay;
    return ahead == 0 || ahead > kPerDay / 2;
}

std::string Text(int64_t value) {
    char buf[32];
    const bool negative = value < 0;
    const uint64_t v = negative ? static_cast<uint64_t>(-value) : static_cast<uint64_t>(value);
    std::snprintf(buf, sizeof buf, "%s%llu.%04llu", negative ? "-" : "", static_cast<unsigned long long>(v / kPerSecond),
                  static_cast<unsigned long long>(v % kPerSecond));
    return buf;
}

}  // namespace tav::waittime
