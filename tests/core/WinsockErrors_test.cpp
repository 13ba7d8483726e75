// Readable names for Windows Sockets numbers: every number the socket layer can report has
// one, and the public constants agree with the layer's.
#include <tavsock/WinsockErrors.hpp>

#include "platform/SockIntf.hpp"

#include <gtest/gtest.h>

namespace {

TEST(WinsockErrors, EveryNumberTheLayerReportsHasANameAndThePublicConstantsAgree) {
    for (int err = 1; err < 134; ++err) {
        const int wsa = tav::sockintf::WsaErrorFromErrno(err);
        EXPECT_FALSE(tav::WinsockErrorName(wsa).empty()) << "errno " << err << " -> " << wsa;
    }
    EXPECT_EQ(tav::WinsockErrorText(10048), "WSAEADDRINUSE: address already in use");
    EXPECT_EQ(tav::WinsockErrorText(11001), "WSAHOST_NOT_FOUND: host not found");
    EXPECT_EQ(tav::WinsockErrorText(0), "no error");
    EXPECT_EQ(tav::WinsockErrorText(10000), "unknown error");
    EXPECT_EQ(tav::WinsockErrorName(static_cast<int32_t>(0x80040201u)), "");

    namespace s = tav::sockintf;
    namespace w = tav::wsa;
    EXPECT_EQ(w::WSAEWOULDBLOCK, s::WSAEWOULDBLOCK);
    EXPECT_EQ(w::WSAEADDRINUSE, s::WSAEADDRINUSE);
    EXPECT_EQ(w::WSAECONNRESET, s::WSAECONNRESET);
    EXPECT_EQ(w::WSAECONNREFUSED, s::WSAECONNREFUSED);
    EXPECT_EQ(w::WSANOTINITIALISED, s::WSANOTINITIALISED);
    EXPECT_EQ(w::WSANO_DATA, s::WSANO_DATA);
    EXPECT_EQ(tav::WinsockErrorName(w::WSAETIMEDOUT), "WSAETIMEDOUT");
}

}  // namespace
