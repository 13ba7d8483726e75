// The time limit of a transfer operation, on its own: progress keeps it alive, silence and
// a set-up that takes too long end it, and negative limits are refused.
#include "transfer/TransferWatchdog.hpp"

#include "transfer/TransferTestUtil.hpp"

using tav::TransferWatchdog;
using Expiry = TransferWatchdog::Expiry;
using namespace transfertest;

TEST(TransferWatchdogTest, ProgressKeepsTheOperationAliveSilenceEndsItAndASetUpLimitIsNotRestarted) {
    std::vector<Expiry> fired;
    TransferWatchdog dog([&](Expiry e) { fired.push_back(e); });
    dog.SetTimeout(40);
    dog.Start();
    // Progress every 10 ms for four periods: nothing expires.
    for (int i = 0; i < 16; ++i) {
        tav::RunMessagesFor(std::chrono::milliseconds(10));
        dog.Progress();
    }
    EXPECT_TRUE(fired.empty());
    const auto quiet = std::chrono::steady_clock::now();
    ASSERT_TRUE(tav::RunMessagesUntil([&] { return !fired.empty(); }, kWait));
    EXPECT_GE(std::chrono::steady_clock::now() - quiet, std::chrono::milliseconds(40));
    EXPECT_EQ(fired, std::vector<Expiry>{Expiry::Timeout});
    EXPECT_FALSE(dog.Running());

    // Stopped, or with no limit, nothing expires.
    dog.Start();
    dog.Stop();
    dog.SetTimeout(0);
    dog.Start();
    tav::RunMessagesFor(std::chrono::milliseconds(100));
    EXPECT_EQ(fired.size(), 1u);

    EXPECT_EQ(tav::test::Raised([&] { dog.SetTimeout(-1); }), static_cast<int32_t>(0x80040201u));
    EXPECT_EQ(dog.Timeout(), 0);

    // A set-up limit runs from its first begin whatever the progress.
    fired.clear();
    dog.SetTimeout(10000);
    dog.Start();
    const auto began = std::chrono::steady_clock::now();
    dog.BeginSetup(100);
    tav::RunMessagesFor(std::chrono::milliseconds(80));
    const auto again = std::chrono::steady_clock::now();
    dog.BeginSetup(100);  // the handshake after a CONNECT answer shares its limit
    ASSERT_TRUE(tav::RunMessagesUntil([&] {
        dog.Progress();
        return !fired.empty();
    }, kWait));
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(100));
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(100));  // not restarted
    EXPECT_EQ(fired, std::vector<Expiry>{Expiry::Setup});
    EXPECT_EQ(dog.SetupExpiredText(), "the TLS handshake did not finish within 0.1 s");

    // A set-up that ends in time leaves only the progress limit.
    dog.Start();
    dog.BeginSetup(30);
    dog.EndSetup();
    tav::RunMessagesFor(std::chrono::milliseconds(100));
    EXPECT_EQ(fired.size(), 1u);
}
