// The texts the FTP client reads and writes without a connection: the 227 reply's numbers,
// the 229 reply's port, the PORT and EPRT commands, and the command text check.
#include "transfer/FtpControl.hpp"
#include "transfer/FtpData.hpp"

#include <tavsock/SockError.hpp>

#include <gtest/gtest.h>

namespace {

using tav::FtpControl;
using tav::FtpData;

TEST(FtpReplyText, PassiveReplyNumbersAreDecimalOnlyAndStrictlyBytes) {
    const struct {
        const char* text;
        bool lax, strict;
        uint16_t port;  // when accepted
    } cases[] = {
        {" Entering Passive Mode (127,0,0,1,195,80).", true, true, 195 * 256 + 80},
        {"Entering Passive Mode 127,0,0,1,4,5", true, true, 4 * 256 + 5},
        // Blanks before a number are skipped, nothing else: a line feed, a hex number or "inf"
        // is no number at all (0), whatever a C library conversion would make of it.
        {"(1,2,3,4,\n76,6)", true, false, 6},
        {"(1,2,3,4, 0x10,0)", true, false, 0},
        {"(1,2,3,4,inf,1)", true, false, 1},
        // A number too large to round is refused; one too small is 0.
        {"(1,2,3,4,1e300,0)", false, false, 0},
        {"(1,2,3,4,1e-999,7)", true, false, 7},
        // Numbers that are not bytes: the port wraps unless strict.
        {"(127,0,0,1,4095,4095)", true, false, static_cast<uint16_t>(4095 * 256 + 4095)},
        {"(127,0,0,1,-1,80)", true, false, static_cast<uint16_t>(-256 + 80)},
        {"(300,0,0,1,1,1)", true, false, 257},
        {"(127,0,0,1,1,1,9)", true, false, 257},
        {"(127,0,0,1,1)", true, false, 256},
        {"(127,0,0,1,1,0256)", true, false, 512},
    };
    for (const auto& c : cases) {
        for (const bool strict : {false, true}) {
            std::string host;
            uint16_t port = 0;
            const bool ok = FtpData::ParsePassiveReply(c.text, strict, host, port);
            EXPECT_EQ(ok, strict ? c.strict : c.lax) << c.text << (strict ? " strict" : " lax");
            if (ok) {
                EXPECT_EQ(port, c.port) << c.text;
            }
        }
    }
}

TEST(FtpReplyText, ExtendedPassiveReplyIsExactlyThreeDelimitersAPortAndADelimiter) {
    const struct {
        const char* text;
        int port;  // 0: refused
    } cases[] = {
        {"Entering Extended Passive Mode (|||6446|)", 6446},
        {"ok (!!!65535!).", 65535},
        {"(|||1|) (|||2|)", 1},
        {"(|||00080|)", 80},
        {"(|||0|)", 0},
        {"(|||65536|)", 0},
        {"(|||123456|)", 0},
        {"(|||12a|)", 0},
        {"(|||+80|)", 0},
        {"(|||80!)", 0},
        {"(|1|::1|80|)", 0},  // an address has no place in it
        {"(111801)", 0},      // a digit cannot tell itself from the port
        {"(\001\001\00180\001)", 0},  // no control characters
        {"Entering Extended Passive Mode 80", 0},
    };
    for (const auto& c : cases) {
        uint16_t port = 0;
        EXPECT_EQ(FtpData::ParseExtendedPassiveReply(c.text, port), c.port != 0) << c.text;
        if (c.port != 0) EXPECT_EQ(port, c.port) << c.text;
    }
}

TEST(FtpReplyText, PortCommandsCarryTheAddressAndPort) {
    EXPECT_EQ(FtpData::PortCommand("127.0.0.1", 40000), "PORT 127,0,0,1,156,64");
    EXPECT_EQ(FtpData::PortCommand("10.0.0.255", 255), "PORT 10,0,0,255,0,255");
    const std::array<uint8_t, 16> loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const std::array<uint8_t, 16> linkLocal{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x2a};
    EXPECT_EQ(FtpData::ExtendedPortCommand(loopback, 40000), "EPRT |2|::1|40000|");
    EXPECT_EQ(FtpData::ExtendedPortCommand(linkLocal, 21), "EPRT |2|fe80::2a|21|");
}

TEST(FtpReplyText, TextThatWouldEndTheCommandLineIsRefused) {
    for (const std::string& bad : {std::string("a\rb"), std::string("a\nb"), std::string("a\0b", 3),
                                  std::string("f\r\nDELE victim")}) {
        EXPECT_FALSE(FtpControl::AllowedInCommand(bad));
        try {
            FtpControl::CheckCommandText({"fine", bad});
            ADD_FAILURE() << "accepted";
        } catch (const tav::SockError& e) {
            EXPECT_EQ(static_cast<uint32_t>(e.Number()), 0x80040204u);
            EXPECT_EQ(e.Description(), "Command argument contains CR, LF or NUL");
        }
    }
    EXPECT_TRUE(FtpControl::AllowedInCommand("a name with spaces, tabs\tand \xE9"));
}

TEST(FtpReplyText, PasswordsAndAccountsAreMaskedWhereCommandsAreShown) {
    const std::pair<const char*, const char*> cases[] = {
        {"PASS s3cret", "PASS ****"}, {"pass two words", "pass ****"}, {"ACCT acc", "ACCT ****"},
        {"PASS", "PASS"},  // nothing to hide
        {"PASSIVE x", "PASSIVE x"}, {"USER joe", "USER joe"}, {"RETR PASS x", "RETR PASS x"}};
    for (const auto& [command, shown] : cases) EXPECT_EQ(FtpControl::Shown(command), shown);
}

}  // namespace
