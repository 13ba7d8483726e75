// Case-insensitive comparison, and the case-folding search against a one-byte-at-a-time
// reference: every byte value, needles of one to four characters, hits on either side of every
// sixteen-byte boundary.
#include <tavsock/Text.hpp>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

using namespace tav;
using namespace std::string_literals;

namespace {

size_t Reference(std::string_view h, std::string_view n, size_t from) {
    if (from > h.size()) return std::string_view::npos;
    if (n.empty()) return from;
    for (size_t i = from; i + n.size() <= h.size(); ++i) {
        size_t k = 0;
        while (k < n.size() && FoldCase(h[i + k]) == FoldCase(n[k])) ++k;
        if (k == n.size()) return i;
    }
    return std::string_view::npos;
}

TEST(FindNoCase, AgreesWithTheReferenceOnEveryByteAndBoundary) {
    std::mt19937 random(14);
    // Needles whose characters fold (letters, accented capitals), pair only by the 0x20 bit
    // without folding (multiplication and division signs, '@' and '`'), or do not fold.
    const std::string needles[] = {"END", "e", "E", "\xE4", "\xD7\xF7", "@`", "\xDF\xFF", "beG", "x", "\x00\x01"s, "EnDx"};
    for (const std::string& needle : needles) {
        for (int round = 0; round < 200; ++round) {
            // Text mostly made of the needle's own characters in both cases, plus any byte.
            std::string text(static_cast<size_t>(random() % 70), ' ');
            for (char& c : text) {
                const unsigned pick = random() % 4;
                const char n = needle[random() % needle.size()];
                c = pick == 0   ? static_cast<char>(random() % 256)
                    : pick == 1 ? static_cast<char>(static_cast<unsigned char>(n) ^ 0x20)
                                : n;
            }
            for (size_t from = 0; from <= text.size() + 1; ++from)
                ASSERT_EQ(FindNoCase(text, needle, from), Reference(text, needle, from))
                    << "needle " << needle << " from " << from << " in " << text;
        }
    }
}

TEST(TextEqualNoCase, FoldsTheLettersOfTheSingleByteCodePageOnly) {
    EXPECT_TRUE(TextEqualNoCase("BeGin", "bEGIN"));
    EXPECT_TRUE(TextEqualNoCase("\xC4\xD6", "\xE4\xF6"));  // accented capitals fold too
    EXPECT_FALSE(TextEqualNoCase("\xD7", "\xF7"));          // multiplication and division signs do not
    EXPECT_FALSE(TextEqualNoCase("ab", "abc"));
}

}  // namespace
