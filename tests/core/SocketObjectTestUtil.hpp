// Fixture for the socket object tests: a started stack, sockets made the way the socket
// manager makes them, loopback pairs and waits on readiness (blocking polls, never sleeps).
#pragma once

#include <tavsock/SockError.hpp>
#include <tavsock/TAVSocket.hpp>

#include "core/SocketAccess.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/SockIntf.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace tav::test {

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

class SocketObjectTest : public ::testing::Test {
protected:
    static constexpr int kRead = 0, kWrite = 1, kExcept = 2;

    void SetUp() override {
        sockintf::WSADATA data;
        ASSERT_EQ(sockintf::intWSAStartup(0x0101, &data), 0);
        Diagnostics::Current().ResetForTesting();
    }
    void TearDown() override {
        sockets_.clear();  // closes the handles before the stack stops
        sockintf::intWSACleanup();
    }

    static int64_t Failures() { return Diagnostics::Current().FailureCount(); }

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
        sockintf::FD_SET_W set;
        set.Set(s.Handle());
        const sockintf::TIMEVAL_W tv{seconds, 0};
        sockintf::FD_SET_W* sets[3] = {};
        sets[which] = &set;
        return sockintf::intselect(0, sets[0], sets[1], sets[2], &tv) == 0 && set.IsSet(s.Handle());
    }

private:
    std::vector<std::shared_ptr<TAVSocket>> sockets_;
};

}  // namespace tav::test
