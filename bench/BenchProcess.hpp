// Shared pieces of the benchmarks that run outside programs (servers, curl, the tool):
// spawning with wall time and peak resident size, free loopback ports, medians, the tool's
// path and a scratch folder.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

struct Run {
    double seconds = 0;
    long maxRssKiB = 0;
    int status = -1;
};

/// Runs argv with stdout and stderr to /dev/null; wall time, peak resident size, exit status.
inline Run Spawn(std::vector<std::string> argv, pid_t* background = nullptr, const std::string& log = "/dev/null") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    Run r;
    pid_t pid = -1;
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = ::posix_spawn(&pid, raw[0], &actions, &attr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return r;
    if (background) {
        *background = pid;
        return r;
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.maxRssKiB = usage.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

/// Runs `ours` and `theirs` five times each, interleaved so both meet the same machine, and
/// collects their wall times; false (after a line naming `bench` and both statuses) when any
/// run failed.
inline bool Interleaved(const char* bench, const std::vector<std::string>& ours, const std::vector<std::string>& theirs,
                        std::vector<double>& mine, std::vector<double>& other) {
    for (int i = 0; i < 5; ++i) {
        const Run a = Spawn(ours);
        const Run b = Spawn(theirs);
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

inline uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

inline bool Listening(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

/// The tavsock tool of the build this benchmark belongs to (tools/ beside bench/); empty when
/// it was not built.
inline std::string ToolPath() {
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    const std::filesystem::path tool =
        std::filesystem::path(std::string(self, static_cast<size_t>(n))).parent_path().parent_path() / "tools/tavsock";
    return ::access(tool.c_str(), X_OK) == 0 ? tool.string() : "";
}

/// A new folder /tmp/<prefix>-XXXXXX, readable by all (servers that drop privileges read
/// from it); removed with everything in it at the end of the object's life.
class TempDir {
public:
    explicit TempDir(const std::string& prefix) {
        std::string name = "/tmp/" + prefix + "-XXXXXX";
        if (::mkdtemp(name.data())) {
            ::chmod(name.c_str(), 0755);
            path_ = name;
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    /// Empty when the folder could not be made.
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace bench
