#include "transport/WaitTime.hpp"

#include <cstdio>
#include <ctime>

namespace tav::waittime {

int64_t Now() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    // The local time of a second is worked out once: sockets are often made many to a
    // second, and the time-zone conversion costs more than everything else here.
    thread_local time_t lastSeconds = -1;
    thread_local int64_t lastWhole = 0;
    const time_t seconds = ts.tv_sec;
    if (seconds != lastSeconds) {
        std::tm local{};
        ::localtime_r(&seconds, &local);
        lastWhole = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
        lastSeconds = seconds;
    }
    const int64_t whole = lastWhole;
    // A leap second (tm_sec 60) stays within the day.
    const int64_t value = whole * kPerSecond + ts.tv_nsec / 100000;
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
