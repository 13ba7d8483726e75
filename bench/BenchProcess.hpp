// Shared pieces of the benchmarks that run outside programs (servers, curl, the tool): the
// web root they fetch from, nginx serving it, and runs of ours against theirs, interleaved,
// with medians. Starting, timing and stopping programs is the test-support library's.
#pragma once

#include "support/Nginx.hpp"
#include "support/Process.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

using tav::support::Usage;

/// Fills `dir`/www with big.bin (`bigBytes` of zeros, sparse, so that the server reads them
/// from memory and the network path is what is timed) and small.bin (1 KiB). False when the
/// big file cannot be made.
inline bool MakeWebRoot(const std::string& dir, int64_t bigBytes) {
    const std::string www = dir + "/www";
    if (::mkdir(www.c_str(), 0755) != 0 && errno != EEXIST) return false;
    const int fd = ::open((www + "/big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const bool sized = ::ftruncate(fd, bigBytes) == 0;
    ::close(fd);
    std::ofstream(www + "/small.bin", std::ios::binary) << std::string(1024, 's');
    return sized;
}

/// nginx serving `dir`/www. `tls` empty: plain HTTP, with sendfile. Otherwise the port speaks
/// TLS and `tls` holds the server block's TLS directives (certificate, key, protocols).
inline bool StartNginx(tav::support::Nginx& nginx, const std::string& dir, const std::string& tls = "") {
    return nginx.Start(dir, [&](uint16_t port) {
        // TLS bypasses sendfile; it is only worth asking for on the plain port.
        return std::string(tls.empty() ? "  sendfile on;\n" : "") + "  server { listen 127.0.0.1:" + std::to_string(port) +
               (tls.empty() ? "" : " ssl") + "; root " + dir + "/www;" + (tls.empty() ? "" : "\n" + tls) + " }\n";
    });
}

/// Runs `ours` and `theirs` five times each, interleaved so both meet the same machine, and
/// collects their wall times; false (after a line naming `bench` and both statuses) when any
/// run failed.
inline bool Interleaved(const char* bench, const std::vector<std::string>& ours, const std::vector<std::string>& theirs,
                        std::vector<double>& mine, std::vector<double>& other) {
    for (int i = 0; i < 5; ++i) {
        const Usage a = tav::support::Run(ours);
        const Usage b = tav::support::Run(theirs);
        if (a.status != 0 || b.status != 0) {
            std::printf("%s: a 1 GiB GET failed (tavsock %d, curl %d)\n", bench, a.status, b.status);
            return false;
        }
        mine.push_back(a.seconds);
        other.push_back(b.seconds);
    }
    return true;
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

/// Times a 1 GiB GET by `ours` against `theirs` (curl --http1.0) as Interleaved does and prints
/// both medians and the ratio under `label`; false when a run failed.
inline bool GiBAgainstCurl(const char* bench, const char* label, const std::vector<std::string>& ours,
                           const std::vector<std::string>& theirs) {
    std::vector<double> mine, other;
    if (!Interleaved(bench, ours, theirs, mine, other)) return false;
    const double mt = Median(mine), mc = Median(other);
    std::printf("%s, median of 5 (interleaved): tavsock get %.0f MiB/s, curl --http1.0 %.0f MiB/s, "
                "ratio %.2fx (goal >= 0.90x)\n",
                label, 1024 / mt, 1024 / mc, mc / mt);
    return true;
}

}  // namespace bench
