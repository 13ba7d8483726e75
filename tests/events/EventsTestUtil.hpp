// Helpers shared by the event-machinery tests.
#pragma once

#include <tavsock/MessageLoop.hpp>

#include "core/DebugLog.hpp"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace tav::test {

// Runs a scenario on a thread of its own: a fresh message queue and fresh per-thread window
// state (registry, class flag), all torn down when the scenario ends.
template <class Fn>
void OnFreshThread(Fn fn) {
    std::thread t(fn);
    t.join();
}

// Runs the calling thread's queue until `done` holds; generous, so slow machines pass.
inline bool PumpUntil(const std::function<bool()>& done) {
    return tav::RunMessagesUntil(done, std::chrono::seconds(20));
}

// Points the debug log's marker and log folders at a fresh temporary folder holding the marker
// of `level`, for the threads started while it lives (each thread reads the level once).
class DebugLogFolder {
public:
    explicit DebugLogFolder(int level) {
        char folder[] = "/tmp/tavsock-events-log-XXXXXX";
        root_ = ::mkdtemp(folder) ? folder : "/tmp";
        std::ofstream(root_ + "/DEBUGTAVSOCK" + std::to_string(level) + ".LVL");
        ::setenv("TAVSOCK_CONFIG_DIR", root_.c_str(), 1);
        ::setenv("TAVSOCK_LOG_DIR", root_.c_str(), 1);
    }
    DebugLogFolder(const DebugLogFolder&) = delete;
    DebugLogFolder& operator=(const DebugLogFolder&) = delete;
    ~DebugLogFolder() {
        ::unsetenv("TAVSOCK_CONFIG_DIR");
        ::unsetenv("TAVSOCK_LOG_DIR");
        if (root_ != "/tmp") std::filesystem::remove_all(root_);
    }

    // What the calling thread has logged so far; closes its log file.
    static std::string ThreadLog() {
        tav::CloseDebugLogFile();
        std::ifstream in(tav::DebugLogFileName(), std::ios::binary);
        return (std::ostringstream() << in.rdbuf()).str();
    }

private:
    std::string root_;
};

}  // namespace tav::test
