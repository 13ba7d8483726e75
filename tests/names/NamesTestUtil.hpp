// Helpers for the look-up tests: a started stack per test and checks of raised library errors.
#pragma once

#include "names/StartupRecord.hpp"
#include "platform/SockTestUtil.hpp"

/// The statement raises library error 1, "Invalid Parameter" (the texts of library errors are
/// pinned where they are made).
#define EXPECT_INVALID_PARAMETER(statement) \
    EXPECT_EQ(static_cast<uint32_t>(::tav::test::Raised([&] { (void)(statement); })), 0x80040201u) << #statement

namespace tav::test {

/// Starts the stack as a socket manager does (filling the thread's start-up record) for one
/// test and cleans up afterwards.
class StartedStack : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(sockintf::intWSAStartup(0x0101, &ThreadStartupRecord()), 0); }
    void TearDown() override { sockintf::intWSACleanup(); }
};

}  // namespace tav::test
