// nginx as the server of the HTTP benchmarks: a web root with the files they fetch, and a
// server in the foreground on a free loopback port, plain or over TLS.
#pragma once

#include "BenchProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>

namespace bench {

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

/// nginx in the foreground serving `dir`/www on a free port of 127.0.0.1, with its
/// configuration, logs and temporary folders in `dir`. Killed with its process group by Stop()
/// or at the end of the object's life.
class Nginx {
public:
    Nginx() = default;
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;
    ~Nginx() { Stop(); }

    /// Starts the server and waits until it accepts connections. `tls` empty: plain HTTP, with
    /// sendfile. Otherwise the port speaks TLS and `tls` holds the server block's TLS
    /// directives (certificate, key, protocols). A port taken between choosing and binding it
    /// costs another attempt; false after five.
    bool Start(const std::string& dir, const std::string& tls = "") {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = FreePort();
            WriteConfig(dir, tls);
            Spawn({"/usr/sbin/nginx", "-p", dir, "-e", dir + "/error.log", "-c", dir + "/nginx.conf"}, &pid_);
            if (pid_ <= 0) return false;
            for (int i = 0; i < 500; ++i) {
                if (Listening(port_)) return true;
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                    pid_ = -1;  // exited: the port was taken, or the configuration refused
                    break;
                }
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

    uint16_t Port() const { return port_; }

private:
    void WriteConfig(const std::string& dir, const std::string& tls) const {
        std::ofstream conf(dir + "/nginx.conf");
        conf << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << dir << "/nginx.pid;\nerror_log " << dir
             << "/error.log;\nevents { worker_connections 256; }\nhttp {\n  access_log off;\n";
        // TLS bypasses sendfile; it is only worth asking for on the plain port.
        if (tls.empty()) conf << "  sendfile on;\n";
        conf << "  client_body_temp_path " << dir << "/t1;\n  proxy_temp_path " << dir << "/t2;\n"
             << "  fastcgi_temp_path " << dir << "/t3;\n  uwsgi_temp_path " << dir << "/t4;\n  scgi_temp_path " << dir
             << "/t5;\n  default_type application/octet-stream;\n  server { listen 127.0.0.1:" << port_
             << (tls.empty() ? "" : " ssl") << "; root " << dir << "/www;";
        if (!tls.empty()) conf << "\n" << tls;
        conf << " }\n}\n";
    }

    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

}  // namespace bench
