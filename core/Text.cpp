#include <tavsock/Text.hpp>

namespace tav {

bool TextEqualNoCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

size_t FindNoCase(std::string_view haystack, std::string_view needle, size_t from) noexcept {
    if (from > haystack.size()) return std::string_view::npos;
    if (needle.empty()) return from;
    if (needle.size() > haystack.size() - from) return std::string_view::npos;
    const char first = FoldCase(needle[0]);
    const size_t last = haystack.size() - needle.size();
    for (size_t i = from; i <= last; ++i) {
        if (FoldCase(haystack[i]) != first) continue;
        size_t k = 1;
        while (k < needle.size() && FoldCase(haystack[i + k]) == FoldCase(needle[k])) ++k;
        if (k == needle.size()) return i;
    }
    return std::string_view::npos;
}

}  // namespace tav
