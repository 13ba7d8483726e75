// Fixture for the socket object tests: a started stack, sockets made the way the socket
// manager makes them, loopback pairs and waits on readiness (blocking polls, never sleeps);
// and a temporary debug log folder for the tests that read the log.
#pragma once

#include <tavsock/SockError.hpp>
#include <tavsock/TAVSocket.hpp>

#include "platform/DebugLog.hpp"
#include "core/SocketAccess.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/SockTestUtil.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace tav::test {

class SocketObjectTest : public sockintf::test::StackTest {
protected:
    void SetUp() override {
        StackTest::SetUp();
        Diagnostics::Current().ResetForTesting();
    }
    void TearDown() override {
        sockets_.clear();  // closes the handles before the stack stops
        StackTest::TearDown();
    }

    static int64_t Failures() { return Diagnostics::Current().FailureCount(); }
    static const Diagnostics::Failure& LastFailure() { return Diagnostics::Current().LastFailures().back(); }

    /// A socket of `kind` with a non-blocking handle, kept until the test ends.
    std::shared_ptr<TAVSocket> Make(int32_t kind) {
        auto s = SocketAccess::Create();
        EXPECT_NE(SocketAccess::CreateSocket(*s, kind), -1) << sockintf::intWSAGetLastError();
        sockets_.push_back(s);
        return s;
    }
    static std::shared_ptr<TAVSockAddr> Loopback(int16_t port = 0) {
        auto a = TAVSockAddr::Create();
        a->IPAddress("127.0.0.1");
        a->Port(port);
        return a;
    }
    /// A socket of `kind` bound to 127.0.0.1 at a free port.
    std::shared_ptr<TAVSocket> Bound(int32_t kind) {
        auto s = Make(kind);
        EXPECT_EQ(s->Bind(Loopback()), 0) << s->LastError();
        return s;
    }
    std::shared_ptr<TAVSocket> Listener() {
        auto s = Bound(TAVSockKind_Stream);
        EXPECT_EQ(s->Listen(5), 0) << s->LastError();
        return s;
    }
    /// A connected pair: `client` connected by Connect, `server` made by Accept.
    void Pair(std::shared_ptr<TAVSocket>& client, std::shared_ptr<TAVSocket>& server) {
        auto listener = Listener();
        client = Make(TAVSockKind_Stream);
        EXPECT_EQ(client->Connect(listener->LocalAddr()), -1);
        ASSERT_TRUE(WaitFor(*listener, kRead));
        std::shared_ptr<TAVSockAddr> peer;
        server = listener->Accept(nullptr, peer);
        ASSERT_TRUE(server);  // held by the caller only, so a test can end it
        ASSERT_TRUE(WaitFor(*client, kWrite));
    }

    /// True when `s` gets into set `which` within `seconds` (a blocking poll).
    static bool WaitFor(const TAVSocket& s, int which, int seconds = 10) {
        return sockintf::test::WaitFor(s.Handle(), which, seconds);
    }

private:
    std::vector<std::shared_ptr<TAVSocket>> sockets_;
};

/// While it lives, points the debug log at a fresh temporary folder holding the marker of
/// `level` (none for 0) and at its subfolder "log", and lets the calling thread determine its
/// level anew. Other threads determine theirs once, on their first line.
class DebugLogFolder {
public:
    explicit DebugLogFolder(int level = 0) {
        char folder[] = "/tmp/tavsock-log-XXXXXX";
        EXPECT_NE(::mkdtemp(folder), nullptr);
        root_ = folder;
        std::filesystem::create_directory(root_ / "log");
        if (level != 0) Marker(level);
        ::setenv("TAVSOCK_CONFIG_DIR", root_.c_str(), 1);
        ::setenv("TAVSOCK_LOG_DIR", (root_ / "log").c_str(), 1);
        ResetDebugLogForTesting();
    }
    DebugLogFolder(const DebugLogFolder&) = delete;
    DebugLogFolder& operator=(const DebugLogFolder&) = delete;
    ~DebugLogFolder() {
        for (const char* name : {"TAVSOCK_CONFIG_DIR", "TAVSOCK_LOG_DIR"}) ::unsetenv(name);
        ResetDebugLogForTesting();
        std::filesystem::remove_all(root_);
    }

    void Marker(int level) const { std::ofstream(root_ / ("DEBUGTAVSOCK" + std::to_string(level) + ".LVL")); }
    const std::filesystem::path& Root() const { return root_; }

    /// The 300-character records the calling thread has logged so far (its log file is closed
    /// first; the next line reopens it), each checked for its quotes and CR LF.
    static std::vector<std::string> Records() {
        CloseDebugLogFile();
        std::ifstream in(DebugLogFileName(), std::ios::binary);
        const std::string all = (std::ostringstream() << in.rdbuf()).str();
        EXPECT_EQ(all.size() % 304, 0u);
        std::vector<std::string> out;
        for (size_t i = 0; i + 304 <= all.size(); i += 304) {
            EXPECT_EQ(all[i], '"');
            EXPECT_EQ(all.substr(i + 301, 3), "\"\r\n");
            out.push_back(all.substr(i + 1, 300));
        }
        return out;
    }
    /// True when a record of the calling thread contains `text`.
    static bool Logged(const std::string& text) {
        for (const std::string& r : Records())
            if (r.find(text) != std::string::npos) return true;
        return false;
    }
    /// The messages (what follows "Tag>", without the padding) that start with `prefix`.
    static std::vector<std::string> Messages(const std::string& prefix) {
        std::vector<std::string> out;
        for (const std::string& r : Records())
            if (const size_t at = r.find("Tag>" + prefix); at != std::string::npos)
                out.push_back(r.substr(at + 4, r.find_last_not_of(' ') - at - 3));
        return out;
    }

private:
    std::filesystem::path root_;
};

}  // namespace tav::test
