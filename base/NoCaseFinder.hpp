// A case-insensitive search for one needle, prepared once and used on many texts.
//
// FindNoCase works out the byte tests of its needle on every call; a search that runs once per
// message with the same mark (the framing engine's) keeps them here instead. Same answers as
// FindNoCase; the needle is copied, so the finder does not depend on the text it came from.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tav {

class NoCaseFinder {
public:
    NoCaseFinder() { Reset({}); }
    explicit NoCaseFinder(std::string_view needle) { Reset(needle); }

    /// Prepares for `needle` (copied).
    void Reset(std::string_view needle);
    const std::string& Needle() const noexcept { return needle_; }

    /// The first occurrence of the needle in `haystack` at or after `from`, or npos; an empty
    /// needle is found at `from` (npos when `from` lies beyond the end).
    size_t Find(std::string_view haystack, size_t from) const noexcept { return Find(haystack, needle_, tests_, from); }

    /// A haystack byte h passes the test when (h | bits) == value: one OR and one compare for
    /// both cases of a letter.
    struct ByteTest {
        unsigned char bits;
        unsigned char value;
    };
    /// The tests of the needle's first two characters, in both forms.
    struct Tests {
        ByteTest first{};
        ByteTest second{};
#if defined(__SSE2__)
        __m128i bits0, value0, bits1, value1;
#endif
    };
    static Tests Prepare(std::string_view needle) noexcept;
    /// Find with tests prepared for `needle`.
    static size_t Find(std::string_view haystack, std::string_view needle, const Tests& tests, size_t from) noexcept;

private:
    std::string needle_;
    Tests tests_;
};

}  // namespace tav
