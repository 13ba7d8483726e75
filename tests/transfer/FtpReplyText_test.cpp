// The texts the FTP client reads and writes without a connection: the 227 reply's numbers and
// the PORT command.
#include "transfer/FtpTransferMgrAccess.hpp"

#include <gtest/gtest.h>

namespace {

using A = tav::FtpTransferMgrAccess;

TEST(FtpReplyText, PassiveReplyNumbersAreDecimalOnly) {
    std::string host;
    uint16_t port = 0;
    ASSERT_TRUE(A::ParsePassiveReply(" Entering Passive Mode (127,0,0,1,195,80).", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 195 * 256 + 80);
    // Blanks before a number are skipped, nothing else: a line feed, a hex number or "inf" is
    // no number at all (0), whatever a C library conversion would make of it.
    ASSERT_TRUE(A::ParsePassiveReply("(1,2,3,4,\n76,6)", host, port));
    EXPECT_EQ(port, 6);
    ASSERT_TRUE(A::ParsePassiveReply("(1,2,3,4, 0x10,0)", host, port));
    EXPECT_EQ(port, 0);
    ASSERT_TRUE(A::ParsePassiveReply("(1,2,3,4,inf,1)", host, port));
    EXPECT_EQ(port, 1);
    // A number too large to round is refused; one too small is 0.
    EXPECT_FALSE(A::ParsePassiveReply("(1,2,3,4,1e300,0)", host, port));
    ASSERT_TRUE(A::ParsePassiveReply("(1,2,3,4,1e-999,7)", host, port));
    EXPECT_EQ(port, 7);
}

TEST(FtpReplyText, PortCommandCarriesTheHighAndLowByte) {
    EXPECT_EQ(A::PortCommand("127.0.0.1", 40000), "PORT 127,0,0,1,156,64");
    EXPECT_EQ(A::PortCommand("10.0.0.255", 255), "PORT 10,0,0,255,0,255");
}

}  // namespace
