// Programs run by tests and benchmarks (servers, peers, curl, the tool): started with
// posix_spawn in a process group of their own, so that Stop reaches whatever they fork, with
// nothing of the caller inherited but the standard streams chosen here; killed and reaped at
// the end of the object's life. Also a scratch folder and the tool's path in the build tree.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace tav::support {

/// Where a program's standard streams go. `out` and `err` are files (appended to when
/// `append`, else truncated); `err` empty: with the output. `pipes`: input and output are pipes
/// of the Process instead (WriteInput, ReadOutput).
struct Stdio {
    Stdio(std::string out = "/dev/null", std::string err = "") : out(std::move(out)), err(std::move(err)) {}
    std::string out;
    std::string err;
    std::string cwd;
    bool append = false;
    bool pipes = false;
};

/// Standard input and output as pipes of the Process.
inline Stdio Pipes() {
    Stdio io;
    io.pipes = true;
    return io;
}

/// What a program run to its end used: wall time, peak resident size, exit status (-1 when
/// it did not exit normally or could not start).
struct Usage {
    double seconds = 0;
    long maxRssKiB = 0;
    int status = -1;
};

class Process {
public:
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() { Stop(); }

    /// The full path of `program` found on PATH; "" when it is not installed.
    static std::string Find(const std::string& program) {
        const char* path = std::getenv("PATH");
        std::istringstream dirs(path ? path : "/usr/bin:/bin");
        for (std::string dir; std::getline(dirs, dir, ':');)
            if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return dir + "/" + program;
        return "";
    }

    /// Starts argv[0] (a full path); false when it could not be spawned.
    bool Start(const std::vector<std::string>& argv, const Stdio& io = {}) {
        Stop();
        int in[2] = {-1, -1}, out[2] = {-1, -1};
        if (io.pipes) {
            // A peer that ends while we still write to it must not end the caller with SIGPIPE.
            ::signal(SIGPIPE, SIG_IGN);
            if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
                for (int fd : {in[0], in[1]})
                    if (fd >= 0) ::close(fd);
                return false;
            }
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const int mode = O_WRONLY | O_CREAT | (io.append ? O_APPEND : O_TRUNC);
        if (io.pipes) {
            posix_spawn_file_actions_adddup2(&actions, in[0], 0);
            posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        } else {
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 1, io.out.c_str(), mode, 0644);
        }
        // "/dev/stderr" keeps the caller's: reopening it by name fails inside the spawn.
        if (io.err.empty())
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        else if (io.err != "/dev/stderr")
            posix_spawn_file_actions_addopen(&actions, 2, io.err.c_str(), mode, 0644);
        if (!io.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, io.cwd.c_str());
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // the caller's sockets stay here
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        // The program dies with the caller's thread (setpriv asks the kernel for that, and exec
        // keeps it): a test that crashes, or is killed at its time-out, leaves no server behind.
        static const std::string kSetpriv = "/usr/bin/setpriv";
        static const bool haveSetpriv = ::access(kSetpriv.c_str(), X_OK) == 0;
        static const std::string kDeathSig[] = {"--pdeathsig", "KILL", "--"};
        std::vector<char*> args;
        if (haveSetpriv && !argv.empty() && ::access(argv[0].c_str(), X_OK) == 0) {
            args.push_back(const_cast<char*>(kSetpriv.c_str()));
            for (const std::string& a : kDeathSig) args.push_back(const_cast<char*>(a.c_str()));
        }
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        mStarted = std::chrono::steady_clock::now();
        const int rc = ::posix_spawn(&mPid, args[0], &actions, &attr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (io.pipes) {
            ::close(in[0]);
            ::close(out[1]);
            mInput = in[1];
            mOutput = out[0];
        }
        if (rc != 0) {
            mPid = -1;
            Stop();
        }
        return rc == 0;
    }

    /// True while the program has not ended.
    bool Running() {
        int status = 0;
        if (mPid > 0 && ::waitpid(mPid, &status, WNOHANG) == mPid) mPid = -1;
        return mPid > 0;
    }

    /// Waits for the program's end: its wall time since Start, peak resident size and status.
    Usage Wait() {
        Usage u;
        if (mPid <= 0) return u;
        int status = 0;
        rusage usage{};
        while (::wait4(mPid, &status, 0, &usage) < 0 && errno == EINTR) {
        }
        mPid = -1;
        u.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - mStarted).count();
        u.maxRssKiB = usage.ru_maxrss;
        u.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return u;
    }

    /// Kills the program's process group and reaps it; closes the pipes.
    void Stop() {
        if (mPid > 0) ::kill(-mPid, SIGKILL);
        Wait();
        CloseInput();
        if (mOutput >= 0) ::close(std::exchange(mOutput, -1));
    }

    bool WriteInput(const std::string& data) {
        size_t done = 0;
        while (mInput >= 0 && done < data.size()) {
            const ssize_t n = ::write(mInput, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return done == data.size();
    }
    /// End of input for the program.
    void CloseInput() {
        if (mInput >= 0) ::close(std::exchange(mInput, -1));
    }
    /// Reads the program's output until `bytes` bytes came, it closed its output, or `timeout`
    /// passed (waiting in poll, not sleeping).
    std::string ReadOutput(size_t bytes, std::chrono::milliseconds timeout) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (mOutput >= 0 && got.size() < bytes) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{mOutput, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(mOutput, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

private:
    pid_t mPid = -1;
    int mInput = -1;
    int mOutput = -1;
    std::chrono::steady_clock::time_point mStarted;
};

/// Runs a program to its end; what it used (status -1 when it could not start).
inline Usage Run(const std::vector<std::string>& argv, const Stdio& io = {}) {
    Process p;
    return p.Start(argv, io) ? p.Wait() : Usage{};
}

/// The tool of the build tree this program belongs to (tools/ beside its own folder); ""
/// when it was not built.
inline std::string ToolPath() {
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    const std::filesystem::path tool =
        std::filesystem::path(std::string(self, static_cast<size_t>(n))).parent_path().parent_path() / "tools/tavsock";
    return ::access(tool.c_str(), X_OK) == 0 ? tool.string() : "";
}

/// A new folder <base>/<prefix>-XXXXXX (base: the system's temporary folder when empty),
/// readable by all since servers that drop privileges read from it; removed with everything
/// in it at the end of the object's life.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "tavsock", const std::string& base = "") {
        namespace fs = std::filesystem;
        std::string name = ((base.empty() ? fs::temp_directory_path() : fs::path(base)) / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(name.data())) {
            ::chmod(name.c_str(), 0755);
            mPath = name;
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ec;
        if (!mPath.empty()) std::filesystem::remove_all(mPath, ec);
    }
    /// Empty when the folder could not be made.
    const std::string& Path() const { return mPath; }
    std::string operator/(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

}  // namespace tav::support
