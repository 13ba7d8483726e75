#include "Progress.hpp"

#include <cmath>
#include <cstdio>
#include <string>

namespace tavtool {
namespace {

std::string Bytes(double n) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (n >= 1024 && u < 4) {
        n /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", n, units[u]);
    return buf;
}

}  // namespace

void Progress::Update(int64_t got, int64_t length) {
    if (!enabled_ || std::chrono::steady_clock::now() - drawn_ < std::chrono::milliseconds(200)) return;
    Draw(got, length, false);
}

void Progress::End(int64_t got, int64_t length) {
    if (shown_) Draw(got, length, true);
}

void Progress::Draw(int64_t got, int64_t length, bool last) {
    const auto now = std::chrono::steady_clock::now();
    drawn_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const auto bytes = static_cast<double>(got);
    const double rate = seconds > 0 ? bytes / seconds : 0;
    std::string line = Bytes(bytes);
    if (length > 0) {
        char pct[16];
        std::snprintf(pct, sizeof pct, " (%.0f%%)", 100.0 * bytes / static_cast<double>(length));
        line += " of " + Bytes(static_cast<double>(length)) + pct;
    }
    line += ", " + Bytes(rate) + "/s";
    if (length > 0 && rate > 0 && got < length)
        line += ", " + std::to_string(static_cast<long long>(std::ceil((static_cast<double>(length) - bytes) / rate))) +
                " s left";
    std::fprintf(stderr, "\r%-72s%s", line.c_str(), last ? "\n" : "");
    std::fflush(stderr);
    shown_ = true;
}

}  // namespace tavtool
