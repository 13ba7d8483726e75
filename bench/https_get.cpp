// An https GET of 1 GiB from nginx on 127.0.0.1: `tavsock get URL -o /dev/null` against
// `curl --http1.0 -s -o /dev/null URL`, five runs each, interleaved, median throughput (goal:
// at least 0.9x curl). nginx offers TLS 1.3 with TLS_AES_128_GCM_SHA256 only, so both clients
// use the same cipher; the certificate comes from an authority made here with the openssl
// command line, which both clients are told to trust.
// Skips with one line when nginx, curl, openssl or the tool is missing.
#include "BenchProcess.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int64_t kBig = int64_t{1} << 30;

using tav::support::Run;
using tav::support::Usage;

/// An authority and a certificate for localhost and 127.0.0.1 it signed, in `dir`.
bool MakeCertificates(const std::string& dir) {
    const std::string ssl = "/usr/bin/openssl";
    std::ofstream(dir + "/server.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    return Run({ssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                  dir + "/ca.key", "-out", dir + "/ca.pem", "-days", "2", "-subj", "/CN=bench authority"})
                   .status == 0 &&
           Run({ssl, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                  dir + "/server.key", "-out", dir + "/server.csr", "-subj", "/CN=localhost"})
                   .status == 0 &&
           Run({ssl, "x509", "-req", "-in", dir + "/server.csr", "-CA", dir + "/ca.pem", "-CAkey", dir + "/ca.key",
                  "-CAcreateserial", "-CAserial", dir + "/ca.srl", "-out", dir + "/server.pem", "-days", "2", "-extfile",
                  dir + "/server.ext"})
                   .status == 0;
}

/// The protocol and cipher TavHTTPTransferMgr gets from `url` (one small GET in this process).
std::string NegotiatedCipher(const std::string& url, const std::string& ca) {
    auto mgr = tav::TavHTTPTransferMgr::Create();
    mgr->TLSCAFile(ca);
    bool ready = false;
    mgr->HTTPReady.Subscribe([&](int32_t) { ready = true; });
    mgr->Execute(url);
    tav::RunMessagesUntil([&] { return ready; }, std::chrono::seconds(10));
    return mgr->TLSVersion() + " " + mgr->TLSCipher() + (mgr->TLSError().empty() ? "" : " (" + mgr->TLSError() + ")");
}

}  // namespace

int main() {
    const std::string tool = tav::support::ToolPath();
    if (::access("/usr/sbin/nginx", X_OK) != 0 || ::access("/usr/bin/curl", X_OK) != 0 ||
        ::access("/usr/bin/openssl", X_OK) != 0 || tool.empty()) {
        std::printf("bench_https_get: skipped (needs /usr/sbin/nginx, /usr/bin/curl, /usr/bin/openssl and the tool)\n");
        return 0;
    }
    const tav::support::TempDir scratch("tavsock-bench-https");
    const std::string& dir = scratch.Path();
    if (dir.empty() || !bench::MakeWebRoot(dir, kBig)) {
        std::printf("bench_https_get: could not make the web root under /tmp\n");
        return 1;
    }
    if (!MakeCertificates(dir)) {
        std::printf("bench_https_get: the openssl command line could not make the certificates\n");
        return 1;
    }
    int result = 0;
    tav::support::Nginx nginx;  // after the folder: the server stops before its files go
    // One cipher on offer, so that both clients are timed with the same one.
    if (!bench::StartNginx(nginx, dir, "    ssl_certificate " + dir + "/server.pem; ssl_certificate_key " + dir +
                              "/server.key;\n    ssl_protocols TLSv1.3;\n"
                              "    ssl_conf_command Ciphersuites TLS_AES_128_GCM_SHA256;")) {
        std::printf("bench_https_get: nginx did not start\n");
        return 1;
    }
    const std::string base = "https://localhost:" + std::to_string(nginx.Port());
    const std::string big = base + "/big.bin", ca = dir + "/ca.pem";
    std::printf("negotiated by TavHTTPTransferMgr: %s\n", NegotiatedCipher(base + "/small.bin", ca).c_str());

    if (!bench::GiBAgainstCurl("bench_https_get", "1 GiB https GET", {tool, "get", big, "--cacert", ca, "-o", "/dev/null"},
                               {"/usr/bin/curl", "--http1.0", "--cacert", ca, "-s", "-o", "/dev/null", big}))
        result = 1;
    return result;
}
