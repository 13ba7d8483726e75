// Helpers for the look-up tests: a started stack per test and checks of raised library errors.
#pragma once

#include <tavsock/SockError.hpp>

#include "names/StartupRecord.hpp"
#include "platform/SockIntf.hpp"

#include <gtest/gtest.h>

/// The statement raises library error 1, "Invalid Parameter".
#define EXPECT_INVALID_PARAMETER(statement)                                                 \
    do {                                                                                    \
        try {                                                                               \
            (void)(statement);                                                              \
            ADD_FAILURE() << #statement " raised nothing";                                  \
        } catch (const ::tav::SockError& e) {                                               \
            EXPECT_EQ(static_cast<uint32_t>(e.Number()), 0x80040201u);                      \
            EXPECT_EQ(e.Source(), "TAV Winsock Library");                                   \
            EXPECT_EQ(e.Description(), "Invalid Parameter");                                \
        }                                                                                   \
    } while (0)

namespace tav::test {

/// Starts the stack as a socket manager does (filling the thread's start-up record) for one
/// test and cleans up afterwards.
class StartedStack : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(sockintf::intWSAStartup(0x0101, &ThreadStartupRecord()), 0); }
    void TearDown() override { sockintf::intWSACleanup(); }
};

}  // namespace tav::test
