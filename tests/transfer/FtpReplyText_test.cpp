// The texts the FTP client reads and writes without a connection: the 227 reply's numbers
// under StrictPassiveReply, and the commands as FTPControlLine shows them. The lax 227 parse,
// the 229 parse and the PORT and EPRT texts are held to reference parses by the fuzz target,
// and the command text check by the injection test against a real server.
#include "transfer/FtpControl.hpp"
#include "transfer/FtpData.hpp"

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
        // Numbers that are not plain bytes: the port wraps unless strict.
        {"(1,2,3,4, 0x10,0)", true, false, 0},
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

TEST(FtpReplyText, PasswordsAndAccountsAreMaskedWhereCommandsAreShown) {
    const std::pair<const char*, const char*> cases[] = {
        {"PASS s3cret", "PASS ****"}, {"pass two words", "pass ****"}, {"ACCT acc", "ACCT ****"},
        {"PASS", "PASS"},  // nothing to hide
        {"PASSIVE x", "PASSIVE x"}, {"USER joe", "USER joe"}, {"RETR PASS x", "RETR PASS x"}};
    for (const auto& [command, shown] : cases) EXPECT_EQ(FtpControl::Shown(command), shown);
}

}  // namespace
