// The header block of an HTTP response.
#include "transfer/HttpHead.hpp"

#include <tavsock/Text.hpp>

#include <algorithm>
#include <cctype>
#include <limits>

namespace tav {

void HttpHead::Clear() {
    text_.clear();
    complete_ = false;
}

HttpHead::Cut HttpHead::Take(const uint8_t* data, size_t n, size_t& used) {
    used = 0;
    if (complete_) return Cut::Complete;
    if (text_.size() >= kMaxBytes) return Cut::TooLong;
    const size_t before = text_.size();
    text_.append(reinterpret_cast<const char*>(data), n);
    // The end may straddle the previous piece: look from three characters before it.
    const size_t at = text_.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
    if (at == std::string::npos || at + 4 > kMaxBytes) {
        // A block that never ends must not grow without bound.
        if (text_.size() < kMaxBytes) {
            used = n;
            return Cut::More;
        }
        used = kMaxBytes - before;
        text_.resize(kMaxBytes);
        return Cut::TooLong;
    }
    text_.resize(at + 4);
    used = at + 4 - before;
    complete_ = true;
    return Cut::Complete;
}

std::string HttpHead::Status() const {
    const size_t space = text_.find(' ');
    return space == std::string::npos ? std::string() : text_.substr(space + 1, 3);
}

std::string HttpHead::Reason() const {
    const size_t space = text_.find(' ');
    const size_t lineEnd = text_.find("\r\n");
    if (space == std::string::npos || lineEnd == std::string::npos) return std::string();
    const size_t from = space + 5;
    return lineEnd > from && from < text_.size() ? text_.substr(from, lineEnd - from) : std::string();
}

int64_t HttpHead::ContentLength() const {
    std::string lower(text_);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    const size_t at = lower.find("content-length");
    if (at == std::string::npos) return -1;
    const size_t colon = text_.find(':', at);
    if (colon == std::string::npos) return 0;
    size_t i = colon + 1;
    while (i < text_.size() && (text_[i] == ' ' || text_[i] == '\t')) ++i;
    int64_t value = 0;
    for (; i < text_.size() && text_[i] >= '0' && text_[i] <= '9'; ++i)
        value = std::min<int64_t>(value * 10 + (text_[i] - '0'), std::numeric_limits<int64_t>::max() / 16);
    return value;
}

std::string HttpHead::Field(const std::string& name) const {
    // Header lines start after the status line.
    const size_t status = text_.find("\r\n");
    std::string value;
    if (status != std::string::npos) FindField(std::string_view(text_).substr(status + 2), name, &value);
    return value;
}

bool HttpHead::FindField(std::string_view lines, std::string_view name, std::string* value) {
    // Each line is "name: value" up to its CR LF.
    for (size_t start = 0; start < lines.size();) {
        const size_t end = lines.find("\r\n", start);
        const size_t stop = end == std::string_view::npos ? lines.size() : end;
        const size_t colon = lines.find(':', start);
        if (colon < stop && colon - start == name.size() && TextEqualNoCase(lines.substr(start, name.size()), name)) {
            size_t from = colon + 1, to = stop;
            while (from < to && (lines[from] == ' ' || lines[from] == '\t')) ++from;
            while (to > from && (lines[to - 1] == ' ' || lines[to - 1] == '\t')) --to;
            if (value) *value = lines.substr(from, to - from);
            return true;
        }
        if (end == std::string_view::npos) break;
        start = end + 2;
    }
    return false;
}

bool HttpHead::Chunked() const {
    std::string codings = Field("Transfer-Encoding");
    const size_t comma = codings.rfind(',');
    if (comma != std::string::npos) codings.erase(0, comma + 1);
    while (!codings.empty() && (codings.front() == ' ' || codings.front() == '\t')) codings.erase(0, 1);
    for (char& c : codings) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return codings == "chunked";
}

}  // namespace tav
