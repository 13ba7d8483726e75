// nginx as a test or benchmark server: in the foreground, one worker, its configuration, logs
// and temporary folders in a folder of the caller's, on a free port of 127.0.0.1.
#pragma once

#include "support/Loopback.hpp"
#include "support/Process.hpp"

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace tav::support {

/// Writes `dir`/nginx.conf with `http` (server blocks and options) inside its http block;
/// the command line that runs it.
inline std::vector<std::string> NginxCommand(const std::string& dir, const std::string& http) {
    std::ofstream(dir + "/nginx.conf")
        << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << dir << "/nginx.pid;\nerror_log " << dir
        << "/nginx-error.log;\nevents { worker_connections 256; }\nhttp {\n  access_log off;\n"
        << "  client_body_temp_path " << dir << "/t-body;\n  proxy_temp_path " << dir << "/t-proxy;\n"
        << "  fastcgi_temp_path " << dir << "/t-fcgi;\n  uwsgi_temp_path " << dir << "/t-uwsgi;\n"
        << "  scgi_temp_path " << dir << "/t-scgi;\n  default_type application/octet-stream;\n"
        << http << "}\n";
    return {"/usr/sbin/nginx", "-p", dir, "-e", dir + "/nginx-error.log", "-c", dir + "/nginx.conf"};
}

/// nginx serving what `http(port)` configures for the port it is given. Stopped with its
/// process group by Stop() or at the end of the object's life.
class Nginx {
public:
    /// Starts the server and waits until it accepts connections (another free port when one
    /// was taken between choosing and binding it); false when it never listened.
    bool Start(const std::string& dir, const std::function<std::string(uint16_t port)>& http) {
        mPort = StartOnFreePort(mProcess, [&](uint16_t port) { return NginxCommand(dir, http(port)); }, dir + "/nginx.log");
        return mPort != 0;
    }
    void Stop() { mProcess.Stop(); }
    uint16_t Port() const { return mPort; }

private:
    Process mProcess;
    uint16_t mPort = 0;
};

}  // namespace tav::support
