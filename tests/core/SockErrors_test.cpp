#include "core/SockErrors.hpp"

#include <gtest/gtest.h>

using namespace tav;

TEST(SockErrors, LibraryErrorsCarryNumberSourceAndTextByCode) {
    const std::pair<int32_t, const char*> cases[] = {
        {1, "Invalid Parameter"},
        {2, "Operation invalid for current object state"},
        {3, "Error accessing specified host file"},
        {4, "WSAGetLastError Value 4"},
        {10054, "WSAGetLastError Value 10054"},
    };
    for (const auto& [code, text] : cases) {
        try {
            RaiseSockError(code);
        } catch (const SockError& e) {
            EXPECT_EQ(static_cast<uint32_t>(e.Number()), 0x80040200u + static_cast<uint32_t>(code));
            EXPECT_EQ(e.Source(), "TAV Winsock Library");
            EXPECT_EQ(e.Description(), text);
        }
    }
}
