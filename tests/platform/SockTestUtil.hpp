// Helpers for the socket layer tests: a started stack per test and loopback sockets.
#pragma once

#include "platform/SockIntf.hpp"

#include <gtest/gtest.h>

#include <vector>

/// The call fails with -1 (or INVALID_SOCKET) and leaves `err` as the last error.
#define EXPECT_WSA_FAIL(call, err)                                                     \
    do {                                                                               \
        EXPECT_EQ(static_cast<int>(call), -1);                                         \
        EXPECT_EQ(::tav::sockintf::intWSAGetLastError(), (err));                       \
    } while (0)

namespace tav::sockintf::test {

inline SOCKADDR_IN Loopback(uint16_t hostPort) {
    SOCKADDR_IN a;
    a.sin_family = AF_INET_W;
    a.sin_port = inthtons(hostPort);
    a.sin_addr = inthtonl(0x7F000001);
    return a;
}

/// Starts the stack for one test, closes the sockets the test made, then cleans up.
class StackTest : public ::testing::Test {
protected:
    static constexpr int kRead = 0, kWrite = 1, kExcept = 2;

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
    int Close(SOCKET s) {
        std::erase(owned_, s);
        return intclosesocket(s);
    }
    SOCKET NonBlocking(SOCKET s) {
        uint32_t on = 1;
        EXPECT_EQ(intioctlsocket(s, FIONBIO_W, &on), 0);
        return s;
    }

    /// A socket of `type` bound to 127.0.0.1 at a free port, whose address goes to `addr`.
    SOCKET Bound(int type, SOCKADDR_IN& addr) {
        const SOCKET s = Own(intsocket(AF_INET_W, type, 0));
        addr = Loopback(0);
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

    /// A connected pair of blocking stream sockets.
    void Pair(SOCKET& client, SOCKET& server) {
        SOCKADDR_IN addr;
        const SOCKET l = Listener(addr);
        client = Own(intsocket(AF_INET_W, SOCK_STREAM_W, IPPROTO_TCP_W));
        ASSERT_EQ(intconnect(client, &addr, sizeof addr), 0) << intWSAGetLastError();
        server = Own(intaccept(l, nullptr, nullptr));
    }

    /// True when `s` gets into set `which` (kRead, kWrite, kExcept) within `seconds`.
    static bool WaitFor(SOCKET s, int which, int seconds = 10) {
        FD_SET_W set;
        set.Set(s);
        const TIMEVAL_W tv{seconds, 0};
        FD_SET_W* sets[3] = {};
        sets[which] = &set;
        return intselect(0, sets[0], sets[1], sets[2], &tv) == 0 && set.IsSet(s);
    }

private:
    std::vector<SOCKET> owned_;
};

}  // namespace tav::sockintf::test
