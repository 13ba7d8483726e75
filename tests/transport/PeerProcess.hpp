// A peer program (socat, nc) run by a test: started with posix_spawn in a process group of
// its own, fed through a pipe on its standard input, read through a pipe on its standard
// output, and killed with its whole group and reaped when the test ends.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace tav::peertest {

class PeerProcess {
public:
    PeerProcess() = default;
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;
    ~PeerProcess() { Stop(); }

    /// The full path of `program` found on PATH; "" when it is not installed.
    static std::string Find(const std::string& program) {
        const char* path = std::getenv("PATH");
        std::istringstream dirs(path ? path : "/usr/bin:/bin");
        for (std::string dir; std::getline(dirs, dir, ':');)
            if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return dir + "/" + program;
        return "";
    }

    /// Starts argv[0] (a full path). Its standard input and output are pipes of this object,
    /// nothing else of the test process is inherited. False when it could not be spawned.
    bool Start(const std::vector<std::string>& argv) {
        Stop();
        // A peer that ends while we still write to it must not end the test with SIGPIPE.
        ::signal(SIGPIPE, SIG_IGN);
        int in[2] = {-1, -1}, out[2] = {-1, -1};
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            for (int fd : {in[0], in[1]})
                if (fd >= 0) ::close(fd);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // the sockets of the test stay here
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setpgroup(&attr, 0);  // its own group, so Stop reaches what it forks
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, args[0], &actions, &attr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
        if (rc != 0) {
            pid_ = -1;
            Stop();
        }
        return rc == 0;
    }

    bool WriteInput(const std::string& data) {
        size_t done = 0;
        while (input_ >= 0 && done < data.size()) {
            const ssize_t n = ::write(input_, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return done == data.size();
    }
    /// End of input for the peer.
    void CloseInput() {
        if (input_ >= 0) ::close(std::exchange(input_, -1));
    }

    /// Reads the peer's output until `bytes` bytes came, it closed its output, or `timeout`
    /// passed (waiting in poll, not sleeping).
    std::string ReadOutput(size_t bytes, std::chrono::milliseconds timeout) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (output_ >= 0 && got.size() < bytes) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{output_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(output_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

    /// True while the peer has not ended.
    bool Running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        return true;
    }

    /// Kills the peer's process group and reaps the peer; closes the pipes.
    void Stop() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
        CloseInput();
        if (output_ >= 0) ::close(std::exchange(output_, -1));
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
};

}  // namespace tav::peertest
