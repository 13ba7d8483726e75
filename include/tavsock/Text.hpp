// Text helpers of the single-byte code page (ISO-8859-1).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tav {

/// Lower-case form of one character of the code page (A-Z and the accented capitals).
inline char FoldCase(char c) noexcept {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 'A' && u <= 'Z') || (u >= 0xC0 && u <= 0xDE && u != 0xD7)) return static_cast<char>(u + 0x20);
    return c;
}

/// Case-insensitive equality of two texts of the code page.
bool TextEqualNoCase(std::string_view a, std::string_view b) noexcept;

/// Case-insensitive search: the 0-based position of the first occurrence of `needle` in
/// `haystack` at or after `from`, or std::string_view::npos. An empty needle is found at `from`.
size_t FindNoCase(std::string_view haystack, std::string_view needle, size_t from = 0) noexcept;

}  // namespace tav
