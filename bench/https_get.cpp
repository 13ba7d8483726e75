// An https GET of 1 GiB from nginx on 127.0.0.1: `tavsock get URL -o /dev/null` against
// `curl --http1.0 -s -o /dev/null URL`, five runs each, interleaved, median throughput (goal:
// at least 0.9x curl). nginx offers TLS 1.3 with TLS_AES_128_GCM_SHA256 only, so both clients
// use the same cipher; the certificate comes from an authority made here with the openssl
// command line, which both clients are told to trust.
// Skips with one line when nginx, curl, openssl or the tool is missing.
#include "BenchProcess.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>


namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int64_t kBig = int64_t{1} << 30;

using bench::FreePort;
using bench::Listening;
using bench::Median;
using bench::Run;
using bench::Spawn;

/// nginx in the foreground on a free port, serving `root` over TLS 1.3 with one cipher.
class Nginx {
public:
    bool Start(const std::string& dir) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = FreePort();
            std::ofstream(dir + "/nginx.conf")
                << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << dir << "/nginx.pid;\nerror_log " << dir
                << "/error.log;\nevents { worker_connections 256; }\nhttp {\n  access_log off;\n"
                << "  client_body_temp_path " << dir << "/t1;\n  proxy_temp_path " << dir << "/t2;\n"
                << "  fastcgi_temp_path " << dir << "/t3;\n  uwsgi_temp_path " << dir << "/t4;\n  scgi_temp_path " << dir
                << "/t5;\n  default_type application/octet-stream;\n  server { listen 127.0.0.1:" << port_ << " ssl; root "
                << dir << "/www;\n    ssl_certificate " << dir << "/server.pem; ssl_certificate_key " << dir
                << "/server.key;\n    ssl_protocols TLSv1.3;\n"
                << "    ssl_conf_command Ciphersuites TLS_AES_128_GCM_SHA256; }\n}\n";
            Spawn({"/usr/sbin/nginx", "-p", dir, "-e", dir + "/error.log", "-c", dir + "/nginx.conf"}, &pid_);
            for (int i = 0; i < 500; ++i) {
                if (Listening(port_)) return true;
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) == pid_) break;
                ::usleep(10000);  // nginx gives no readiness signal
            }
            Stop();
        }
        return false;
    }
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    ~Nginx() { Stop(); }
    uint16_t Port() const { return port_; }

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

std::string ToolPath() {
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    const fs::path tool = fs::path(std::string(self, static_cast<size_t>(n))).parent_path().parent_path() / "tools/tavsock";
    return ::access(tool.c_str(), X_OK) == 0 ? tool.string() : "";
}

/// An authority and a certificate for localhost and 127.0.0.1 it signed, in `dir`.
bool MakeCertificates(const std::string& dir) {
    const std::string ssl = "/usr/bin/openssl";
    std::ofstream(dir + "/server.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    return Spawn({ssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                  dir + "/ca.key", "-out", dir + "/ca.pem", "-days", "2", "-subj", "/CN=bench authority"})
                   .status == 0 &&
           Spawn({ssl, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                  dir + "/server.key", "-out", dir + "/server.csr", "-subj", "/CN=localhost"})
                   .status == 0 &&
           Spawn({ssl, "x509", "-req", "-in", dir + "/server.csr", "-CA", dir + "/ca.pem", "-CAkey", dir + "/ca.key",
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
    const std::string tool = ToolPath();
    if (::access("/usr/sbin/nginx", X_OK) != 0 || ::access("/usr/bin/curl", X_OK) != 0 ||
        ::access("/usr/bin/openssl", X_OK) != 0 || tool.empty()) {
        std::printf("bench_https_get: skipped (needs /usr/sbin/nginx, /usr/bin/curl, /usr/bin/openssl and the tool)\n");
        return 0;
    }
    char tmpl[] = "/tmp/tavsock-bench-https-XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    ::chmod(dir.c_str(), 0755);
    fs::create_directory(dir + "/www");
    {
        // Sparse: the server reads zeros from memory, so the network and TLS path is timed.
        const int fd = ::open((dir + "/www/big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::ftruncate(fd, kBig) != 0) return 1;
        ::close(fd);
        std::ofstream(dir + "/www/small.bin", std::ios::binary) << std::string(1024, 's');
    }
    int result = 0;
    if (!MakeCertificates(dir)) {
        std::printf("bench_https_get: the openssl command line could not make the certificates\n");
        fs::remove_all(dir);
        return 1;
    }
    {
        Nginx nginx;
        if (!nginx.Start(dir)) {
            std::printf("bench_https_get: nginx did not start\n");
            fs::remove_all(dir);
            return 1;
        }
        const std::string base = "https://localhost:" + std::to_string(nginx.Port());
        const std::string big = base + "/big.bin", ca = dir + "/ca.pem";
        std::printf("negotiated by TavHTTPTransferMgr: %s\n", NegotiatedCipher(base + "/small.bin", ca).c_str());

        std::vector<double> tav, curl;
        for (int i = 0; i < 5; ++i) {
            const Run t = Spawn({tool, "get", big, "--cacert", ca, "-o", "/dev/null"});
            const Run c = Spawn({"/usr/bin/curl", "--http1.0", "--cacert", ca, "-s", "-o", "/dev/null", big});
            if (t.status != 0 || c.status != 0) {
                std::printf("bench_https_get: a 1 GiB GET failed (tavsock %d, curl %d)\n", t.status, c.status);
                result = 1;
                break;
            }
            tav.push_back(t.seconds);
            curl.push_back(c.seconds);
        }
        if (result == 0) {
            const double mt = Median(tav), mc = Median(curl);
            std::printf("1 GiB https GET, median of 5 (interleaved): tavsock get %.0f MiB/s, curl --http1.0 %.0f MiB/s, "
                        "ratio %.2fx (goal >= 0.90x)\n",
                        1024 / mt, 1024 / mc, mc / mt);
        }
    }
    fs::remove_all(dir);
    return result;
}
