// A second, deliberately plain reading of a chunked body, for the fuzz targets to hold the
// decoder to: the whole input at once, line by line, with std::string.
#pragma once

#include <cstddef>
#include <string>

namespace fuzz {

struct ChunkedReference {
    enum Status { More, Done, Malformed } status = More;
    std::string body;     // decoded so far
    size_t consumed = 0;  // input bytes that belong to the chunked body (at Done)
};

inline bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/// Whether `line` (its LF not included; `complete` when the LF came) can start or be a valid
/// size line: 1 to 15 hex digits, blanks, then ";anything" or an optional CR at the end.
inline ChunkedReference::Status CheckSizeLine(const std::string& line, bool complete) {
    size_t i = 0;
    while (i < line.size() && IsHex(line[i])) ++i;
    if (i > 15 || (i == 0 && (complete || !line.empty()))) return ChunkedReference::Malformed;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size() || line[i] == ';') return ChunkedReference::Done;
    if (line[i] == '\r' && i + 1 == line.size()) return complete ? ChunkedReference::Done : ChunkedReference::More;
    return ChunkedReference::Malformed;
}

inline ChunkedReference DecodeChunked(const std::string& s, size_t maxLine, size_t maxTrailers) {
    ChunkedReference r;
    size_t pos = 0;
    for (;;) {
        const size_t lf = s.find('\n', pos);
        const std::string line = s.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
        const size_t lineBytes = line.size() + (lf == std::string::npos ? 0 : 1);
        if (lineBytes > maxLine) return r.status = ChunkedReference::Malformed, r;
        const ChunkedReference::Status check = CheckSizeLine(line, lf != std::string::npos);
        if (check == ChunkedReference::Malformed) return r.status = check, r;
        if (lf == std::string::npos) return r;
        size_t digits = 0;
        while (digits < line.size() && IsHex(line[digits])) ++digits;
        const unsigned long long size = std::stoull(line.substr(0, digits), nullptr, 16);
        pos = lf + 1;
        if (size == 0) break;
        if (s.size() - pos < size) {
            r.body += s.substr(pos);
            return r;
        }
        r.body += s.substr(pos, size);
        pos += size;
        if (pos == s.size()) return r;
        if (s[pos] == '\n') {
            ++pos;
        } else if (s[pos] == '\r') {
            if (pos + 1 == s.size()) return r;
            if (s[pos + 1] != '\n') return r.status = ChunkedReference::Malformed, r;
            pos += 2;
        } else {
            return r.status = ChunkedReference::Malformed, r;
        }
    }
    // Trailer lines up to an empty one ("" or a lone CR before the LF), bounded in all.
    const size_t trailers = pos;
    for (;;) {
        const size_t lf = s.find('\n', pos);
        if (lf == std::string::npos) {
            if (s.size() - trailers > maxTrailers) r.status = ChunkedReference::Malformed;
            return r;
        }
        if (lf + 1 - trailers > maxTrailers) return r.status = ChunkedReference::Malformed, r;
        const std::string line = s.substr(pos, lf - pos);
        pos = lf + 1;
        if (line.empty() || line == "\r") {
            r.status = ChunkedReference::Done;
            r.consumed = pos;
            return r;
        }
    }
}

}  // namespace fuzz
