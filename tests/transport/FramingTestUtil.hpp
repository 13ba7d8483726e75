// Shared helpers of the transport tests: a framing context over plain fields, and the debug
// log pointed at a temporary folder.
#pragma once

#include "core/DebugLog.hpp"
#include "transport/MessageFramer.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace tavtest {

/// A socket's framing settings and a manager's hand-over, as plain fields; records what it is
/// handed. `onMessage` runs inside the hand-over, after the message was recorded.
struct FakeFramingContext : tav::FramingContext {
    int32_t handle = 7;
    std::string begin, end;
    int32_t maxSize = 1048576;
    std::vector<std::string> messages;
    std::function<void(const std::string&)> onMessage;
    bool serving = true;

    int32_t Handle() const override { return handle; }
    std::string_view MsgBeginMark() const override { return begin; }
    std::string_view MsgEndMark() const override { return end; }
    int32_t MaxRecvHoldBufferSize() const override { return maxSize; }
    std::string LogPrefix() const override { return "Tag>T"; }
    std::string Source(const char* procedure) const override { return std::string("TAVSock.TavTCPSocketMgr.") + procedure; }
    void DeliverMessage(std::string message) override {
        messages.push_back(message);
        if (onMessage) onMessage(messages.back());
    }
    bool StillServing() const override { return serving; }
};

/// Turns the level-2 debug log on for the test's lifetime, in a temporary folder, and reads
/// back the messages of the lines written.
class ScopedDebugLog {
public:
    ScopedDebugLog() {
        char templ[] = "/tmp/tavsock-tcplog-XXXXXX";
        if (!mkdtemp(templ)) throw std::runtime_error("mkdtemp");
        root_ = templ;
        std::ofstream(root_ / "DEBUGTAVSOCK2.LVL");  // marker and log in one folder
        setenv("TAVSOCK_CONFIG_DIR", root_.c_str(), 1);
        setenv("TAVSOCK_LOG_DIR", root_.c_str(), 1);
        tav::ResetDebugLogForTesting();
    }
    ~ScopedDebugLog() {
        tav::ResetDebugLogForTesting();
        unsetenv("TAVSOCK_CONFIG_DIR");
        unsetenv("TAVSOCK_LOG_DIR");
        std::filesystem::remove_all(root_);
    }
    ScopedDebugLog(const ScopedDebugLog&) = delete;
    ScopedDebugLog& operator=(const ScopedDebugLog&) = delete;

    /// The messages written so far (each record's text after its time stamp, right-trimmed);
    /// records are 300 characters, so long messages come back cut.
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        const std::string name = tav::DebugLogFileName();
        if (name.empty()) return out;
        std::ifstream in(name, std::ios::binary);
        const std::string all = (std::ostringstream() << in.rdbuf()).str();
        for (size_t i = 0; i + 304 <= all.size(); i += 304) {
            std::string record = all.substr(i + 1, 300);
            const size_t at = record.find("    ");
            std::string message = at == std::string::npos ? record : record.substr(at + 4);
            message.erase(message.find_last_not_of(' ') + 1);
            out.push_back(message);
        }
        return out;
    }

private:
    std::filesystem::path root_;
};

}  // namespace tavtest
