// Helpers shared by the tests of every layer: scenarios on fresh threads, pumping the queue,
// raised errors, a temporary debug log folder for the tests that read the log, and for the
// socket layer a started stack per test with loopback sockets.
#pragma once

#include "platform/DebugLog.hpp"
#include "platform/MessageQueue.hpp"
#include "platform/SockIntf.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/SockError.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

/// The call fails with -1 (or INVALID_SOCKET) and leaves `err` as the last error.
#define EXPECT_WSA_FAIL(call, err)                                                     \
    do {                                                                               \
        EXPECT_EQ(static_cast<int>(call), -1);                                         \
        EXPECT_EQ(::tav::sockintf::intWSAGetLastError(), (err));                       \
    } while (0)

namespace tav::test {

/// Runs a scenario on a thread of its own: a fresh message queue and fresh per-thread state
/// (windows, registries, log level, start-up record), all torn down when the scenario ends.
template <class Fn>
void OnFreshThread(Fn fn) {
    std::thread(fn).join();
}

/// Runs the calling thread's queue until `done` holds; generous, so slow machines pass.
inline bool PumpUntil(const std::function<bool()>& done) {
    return tav::RunMessagesUntil(done, std::chrono::seconds(20));
}

/// The number of the SockError that `call` raises, 0 when it raises none.
template <class F>
int32_t Raised(F&& call) {
    try {
        call();
    } catch (const SockError& e) {
        return e.Number();
    }
    return 0;
}

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

namespace tav::sockintf::test {

using tav::test::OnFreshThread;
using tav::test::PumpUntil;

constexpr int kRead = 0, kWrite = 1, kExcept = 2;
constexpr uint32_t kSelectMsg = 0x501;  // what the tests register for readiness notifications

/// True when `s` gets into set `which` (kRead, kWrite, kExcept) within `seconds`.
inline bool WaitFor(SOCKET s, int which, int seconds = 10) {
    FD_SET_W set;
    set.Set(s);
    const TIMEVAL_W tv{seconds, 0};
    FD_SET_W* sets[3] = {};
    sets[which] = &set;
    return intselect(0, sets[0], sets[1], sets[2], &tv) == 0 && set.IsSet(s);
}

/// Starts the stack for one test, closes the sockets the test made, then cleans up.
class StackTest : public ::testing::Test {
protected:
    static constexpr int kRead = test::kRead, kWrite = test::kWrite, kExcept = test::kExcept;

    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(intWSAStartup(0x0101, &data), 0);
    }
    void TearDown() override {
        for (SOCKET s : owned_) intclosesocket(s);
        intWSACleanup();
    }

    SOCKET Own(SOCKET s) {
        EXPECT_NE(s, INVALID_SOCKET) << intWSAGetLastError();
        if (s != INVALID_SOCKET) owned_.push_back(s);
        return s;
    }
    SOCKET NewSocket(int type = SOCK_STREAM_W) { return Own(intsocket(AF_INET_W, type, 0)); }
    int Close(SOCKET s) {
        std::erase(owned_, s);
        return intclosesocket(s);
    }
    SOCKET NonBlocking(SOCKET s) {
        uint32_t on = 1;
        EXPECT_EQ(intioctlsocket(s, FIONBIO_W, &on), 0);
        return s;
    }
    /// What FIONREAD says is waiting on `s`.
    static uint32_t Waiting(SOCKET s) {
        uint32_t n = 0xDEADBEEF;
        EXPECT_EQ(intioctlsocket(s, FIONREAD_W, &n), 0) << intWSAGetLastError();
        return n;
    }

    /// A socket of `type` bound to 127.0.0.1 at a free port, whose address goes to `addr`.
    SOCKET Bound(int type, SOCKADDR_IN& addr) {
        const SOCKET s = NewSocket(type);
        addr = SOCKADDR_IN{};
        addr.sin_family = AF_INET_W;
        addr.sin_addr = inthtonl(0x7F000001);
        int len = sizeof addr;
        EXPECT_EQ(intbind(s, &addr, len), 0) << intWSAGetLastError();
        EXPECT_EQ(intgetsockname(s, &addr, &len), 0) << intWSAGetLastError();
        return s;
    }
    SOCKET Listener(SOCKADDR_IN& addr) {
        const SOCKET s = Bound(SOCK_STREAM_W, addr);
        EXPECT_EQ(intlisten(s, 16), 0) << intWSAGetLastError();
        return s;
    }

    /// A connected pair of blocking stream sockets: {client, server}.
    std::pair<SOCKET, SOCKET> Pair() {
        SOCKADDR_IN addr;
        const SOCKET l = Listener(addr);
        const SOCKET client = NewSocket();
        EXPECT_EQ(intconnect(client, &addr, sizeof addr), 0) << intWSAGetLastError();
        return {client, Own(intaccept(l, nullptr, nullptr))};
    }

private:
    std::vector<SOCKET> owned_;
};

/// One message a test window received; `Low` and `High` are the words of lParam.
struct Message {
    uint32_t msg;
    int32_t w;  // a socket or a request handle
    int Low, High;
};

/// A started stack and a window of the test thread that records every message it gets.
class WindowTest : public StackTest {
protected:
    int Select(SOCKET s, int32_t mask = 0x3F, uint32_t msg = kSelectMsg) { return intWSAAsyncSelect(s, wnd_, msg, mask); }
    /// How many notifications of `event` (low word) came for `s`.
    int Count(SOCKET s, int32_t event) const {
        return static_cast<int>(std::count_if(got_.begin(), got_.end(), [&](const Message& m) { return m.w == s && m.Low == event; }));
    }
    /// Runs the queue until `s` has had `count` notifications of `event`.
    bool WaitCount(SOCKET s, int32_t event, int count = 1) {
        return PumpUntil([&] { return Count(s, event) >= count; });
    }
    /// Lets whatever is ready now be reported. Loopback delivery is done when the sending call
    /// returns, so zero-time polls show every notification the current state can give.
    /// Returns the items handled by the last pass: 0 means the queue has gone quiet.
    static int Settle() {
        int handled = 0;
        for (int i = 0; i < 4; ++i) handled = tav::RunPendingMessages();
        return handled;
    }

    void SetUp() override {
        StackTest::SetUp();
        wnd_ = platform::CreateWindowHandle([this](platform::HWND, uint32_t msg, uintptr_t w, intptr_t l) -> intptr_t {
            const auto v = static_cast<uint32_t>(l);
            got_.push_back({msg, static_cast<int32_t>(w), static_cast<int>(v & 0xFFFF), static_cast<int>(v >> 16)});
            return 0;
        });
        ASSERT_NE(wnd_, 0);
    }
    void TearDown() override {
        platform::DestroyWindowHandle(wnd_);
        StackTest::TearDown();
    }

    platform::HWND wnd_ = 0;
    std::vector<Message> got_;
};

}  // namespace tav::sockintf::test
