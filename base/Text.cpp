#include <tavsock/Text.hpp>

#include "base/NoCaseFinder.hpp"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tav {

bool TextEqualNoCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

namespace {

using ByteTest = NoCaseFinder::ByteTest;

// The byte test of one needle character: a haystack byte h matches folded character f when
// (h | bits) == f. A letter with a capital form matches either case by the 0x20 bit alone
// (A-Z, and the accented capitals 0xC0-0xDE but 0xD7, sit 0x20 below their small forms), so
// one OR and one compare cover both; any other character matches only itself.
ByteTest TestFor(char c) noexcept {
    const auto f = static_cast<unsigned char>(FoldCase(c));
    const bool paired = (f >= 'a' && f <= 'z') || (f >= 0xE0 && f <= 0xFE && f != 0xF7);
    return {static_cast<unsigned char>(paired ? 0x20 : 0), f};
}

bool Matches(char h, ByteTest t) noexcept {
    return static_cast<unsigned char>(static_cast<unsigned char>(h) | t.bits) == t.value;
}

bool RestMatches(const char* at, std::string_view needle) noexcept {
    for (size_t k = 2; k < needle.size(); ++k)
        if (FoldCase(at[k]) != FoldCase(needle[k])) return false;
    return true;
}

#if defined(__SSE2__)
// The candidate starts among the 16 beginning at `p`: bit k set when p[k] passes the first test
// and p[k + 1] the second. Reads p[0] to p[16].
inline unsigned PairMask(const char* p, __m128i bits0, __m128i value0, __m128i bits1, __m128i value1) noexcept {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    const __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, bits0), value0),
                                      _mm_cmpeq_epi8(_mm_or_si128(b, bits1), value1));
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
}
#endif

}  // namespace

void NoCaseFinder::Reset(std::string_view needle) {
    needle_.assign(needle);
    tests_ = Prepare(needle);
}

NoCaseFinder::Tests NoCaseFinder::Prepare(std::string_view needle) noexcept {
    Tests t;
    t.first = needle.empty() ? ByteTest{0, 0} : TestFor(needle[0]);
    // A one-character needle is looked for as a pair with itself: the second test then
    // always holds for the byte that follows, so only the first decides.
    t.second = needle.size() < 2 ? ByteTest{0xFF, 0xFF} : TestFor(needle[1]);
#if defined(__SSE2__)
    t.bits0 = _mm_set1_epi8(static_cast<char>(t.first.bits));
    t.value0 = _mm_set1_epi8(static_cast<char>(t.first.value));
    t.bits1 = _mm_set1_epi8(static_cast<char>(t.second.bits));
    t.value1 = _mm_set1_epi8(static_cast<char>(t.second.value));
#endif
    return t;
}

size_t NoCaseFinder::Find(std::string_view haystack, std::string_view needle, const Tests& tests,
                          size_t from) noexcept {
    if (from > haystack.size()) return std::string_view::npos;
    if (needle.empty()) return from;
    if (needle.size() > haystack.size() - from) return std::string_view::npos;
    const char* h = haystack.data();
    const size_t size = haystack.size();
    const size_t last = size - needle.size();  // last possible start
    const ByteTest first = tests.first;
    const bool single = needle.size() == 1;
    const ByteTest second = tests.second;
    size_t i = from;
#if defined(__SSE2__)
    // Sixteen candidate starts at a time, both leading characters tested at once, so that a
    // common first letter (an 'e' of "END" in ordinary text) rarely leaves the vector code.
    if (!single) {
        // Two blocks per turn while both fit: one test of the joint mask per 32 bytes. Loads
        // reach h[i + 32], which exists while i + 32 < size.
        while (i + 32 < size && i <= last) {
            const unsigned low = PairMask(h + i, tests.bits0, tests.value0, tests.bits1, tests.value1);
            const unsigned high = PairMask(h + i + 16, tests.bits0, tests.value0, tests.bits1, tests.value1);
            auto mask = low | (high << 16);
            while (mask != 0) {
                const size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
                if (at > last) return std::string_view::npos;
                if (RestMatches(h + at, needle)) return at;
                mask &= mask - 1;
            }
            i += 32;
        }
        // Loads reach h[i + 16]; that byte exists while i + 16 < size.
        while (i + 16 < size && i <= last) {
            auto mask = PairMask(h + i, tests.bits0, tests.value0, tests.bits1, tests.value1);
            while (mask != 0) {
                const size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
                if (at > last) return std::string_view::npos;
                if (RestMatches(h + at, needle)) return at;
                mask &= mask - 1;
            }
            i += 16;
        }
        // The last candidate starts are tested as one more block ending at the haystack's
        // end (overlapping starts already tested are masked off), instead of a byte at a time.
        if (i <= last && size >= 17) {
            const size_t base = size - 17;
            auto mask = PairMask(h + base, tests.bits0, tests.value0, tests.bits1, tests.value1);
            if (i > base) mask &= ~0u << (i - base);  // i - base < 16 here
            while (mask != 0) {
                const size_t at = base + static_cast<size_t>(__builtin_ctz(mask));
                if (at > last) return std::string_view::npos;
                if (RestMatches(h + at, needle)) return at;
                mask &= mask - 1;
            }
            return std::string_view::npos;
        }
    } else if (first.bits == 0) {
        const void* p = std::memchr(h + i, first.value, last + 1 - i);
        return p ? static_cast<size_t>(static_cast<const char*>(p) - h) : std::string_view::npos;
    }
#endif
    for (; i <= last; ++i) {
        if (!Matches(h[i], first) || (!single && !Matches(h[i + 1], second))) continue;
        if (RestMatches(h + i, needle)) return i;
    }
    return std::string_view::npos;
}

size_t FindNoCase(std::string_view haystack, std::string_view needle, size_t from) noexcept {
    return NoCaseFinder::Find(haystack, needle, NoCaseFinder::Prepare(needle), from);
}

}  // namespace tav
