// HTTP GETs from nginx on 127.0.0.1 through TavHTTPTransferMgr against curl, measured in the
// same run:
//  1. one 1 GiB GET: `tavsock get URL -o /dev/null` vs `curl --http1.0 -s -o /dev/null URL`,
//     five runs each, interleaved, median throughput (goal: at least 0.9x curl);
//  2. the resident memory of `tavsock get` writing the 1 GiB body to a file (goal: < 64 MiB);
//  3. 1,000 sequential GETs of a 1 KiB file, a fresh connection each, in this process vs
//     curl fetching the same 1,000 URLs in one process (URL globbing), median of three
//     (goal: at least 0.9x curl's requests per second).
// Skips with one line when nginx, curl or the tool is missing.
#include "BenchProcess.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int64_t kBig = int64_t{1} << 30;
constexpr int kSmallCount = 1000;

using bench::Median;
using tav::support::Run;
using tav::support::Usage;

/// 1,000 GETs of `url`, one after the other, each on a new connection; seconds, or -1.
double SequentialGets(const std::string& url) {
    auto mgr = tav::TavHTTPTransferMgr::Create();
    mgr->RetrieveMode(tav::TAVRetrieveByteArray);
    int ready = 0, ok = 0;
    size_t bytes = 0;
    mgr->HTTPDataReceived.Subscribe([&](tav::Variant& d) { bytes = d.AsBytes().size(); });
    mgr->HTTPReady.Subscribe([&](int32_t) { ++ready; });
    const auto t0 = Clock::now();
    for (int i = 0; i < kSmallCount; ++i) {
        mgr->Execute(url);
        if (!tav::RunMessagesUntil([&] { return ready > i; }, std::chrono::seconds(10))) return -1;
        ok += bytes == 1024;
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    return ok == kSmallCount ? s : -1;
}

}  // namespace

int main() {
    const std::string tool = tav::support::ToolPath();
    if (::access("/usr/sbin/nginx", X_OK) != 0 || ::access("/usr/bin/curl", X_OK) != 0 || tool.empty()) {
        std::printf("bench_http_get: skipped (needs /usr/sbin/nginx, /usr/bin/curl and the tavsock tool)\n");
        return 0;
    }
    const tav::support::TempDir scratch("tavsock-bench-http");
    const std::string& dir = scratch.Path();
    if (dir.empty() || !bench::MakeWebRoot(dir, kBig)) {
        std::printf("bench_http_get: could not make the web root under /tmp\n");
        return 1;
    }
    int result = 0;
    tav::support::Nginx nginx;  // after the folder: the server stops before its files go
    if (!bench::StartNginx(nginx, dir)) {
        std::printf("bench_http_get: nginx did not start\n");
        return 1;
    }
    const std::string base = "http://127.0.0.1:" + std::to_string(nginx.Port());
    const std::string big = base + "/big.bin";

    // 1. Throughput of one 1 GiB GET.
    if (!bench::GiBAgainstCurl("bench_http_get", "1 GiB GET", {tool, "get", big, "-o", "/dev/null"},
                               {"/usr/bin/curl", "--http1.0", "-s", "-o", "/dev/null", big}))
        result = 1;

    // 2. Resident memory while the 1 GiB body goes to a file.
    const std::string copy = dir + "/big.copy";
    const Usage m = Run({tool, "get", big, "-o", copy});
    std::error_code ec;
    const auto size = fs::file_size(copy, ec);
    std::printf("1 GiB GET to a file: peak resident %.1f MiB (goal < 64 MiB), exit %d, file %s\n",
                static_cast<double>(m.maxRssKiB) / 1024, m.status,
                !ec && size == static_cast<uintmax_t>(kBig) ? "complete" : "WRONG SIZE");
    fs::remove(copy, ec);

    // 3. 1,000 sequential small GETs, a fresh connection each.
    const std::string small = base + "/small.bin";
    std::vector<double> tavRate, curlRate;
    for (int i = 0; i < 3; ++i) {
        const double t = SequentialGets(small);
        // --http1.0: nginx closes each connection, so every URL gets a new one as here.
        const Usage c = Run({"/usr/bin/curl", "--http1.0", "-s", "-o", "/dev/null", small + "?[1-1000]"});
        if (t < 0 || c.status != 0) {
            std::printf("bench_http_get: the 1,000 GETs failed (tavsock %s, curl %d)\n", t < 0 ? "failed" : "ok",
                        c.status);
            result = 1;
            break;
        }
        tavRate.push_back(kSmallCount / t);
        curlRate.push_back(kSmallCount / c.seconds);
    }
    if (result == 0 && !tavRate.empty()) {
        const double rt = Median(tavRate), rc = Median(curlRate);
        std::printf("1,000 sequential 1 KiB GETs, median of 3: TavHTTPTransferMgr %.0f req/s, curl %.0f req/s, "
                    "ratio %.2fx (goal >= 0.90x)\n",
                    rt, rc, rt / rc);
    }
    return result;
}
