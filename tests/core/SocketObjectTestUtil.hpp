// Fixture for the socket object tests: a started stack, sockets made the way the socket
// manager makes them, loopback pairs and waits on readiness (blocking polls, never sleeps).
#pragma once

#include <tavsock/SockError.hpp>
#include <tavsock/TAVSocket.hpp>

#include "core/SocketAccess.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/SockTestUtil.hpp"
#include "support/Address.hpp"

#include <gtest/gtest.h>

#include <memory>
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

}  // namespace tav::test
