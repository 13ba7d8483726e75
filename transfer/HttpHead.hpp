// The header block of an HTTP response (or of a proxy's answer to CONNECT): cut out of the
// bytes as they arrive, bounded, and read for what the client needs of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tav {

/// Collects a header block up to and including the CR LF CR LF that ends it, whatever the
/// pieces it arrives in, and never holds more than kMaxBytes of it. Values only; one thread.
class HttpHead {
public:
    /// Largest header block, CR LF CR LF included.
    static constexpr size_t kMaxBytes = 100 * 1024;
    enum class Cut {
        More,      // all bytes taken, the block has not ended
        Complete,  // the block ended; the bytes after it are not part of it
        TooLong    // kMaxBytes came without an end (the text holds the first kMaxBytes)
    };

    void Clear();
    /// Takes the next `n` bytes. `used` is set to how many belong to the block: all of them
    /// unless it ended (Complete) inside them. Nothing is taken once Complete or TooLong.
    Cut Take(const uint8_t* data, size_t n, size_t& used);

    /// The block so far (its end included once Complete).
    const std::string& Text() const noexcept { return text_; }
    bool Complete() const noexcept { return complete_; }

    /// True when the block has a space (a status line to read). The status is the three
    /// characters after the first space; the reason phrase runs from the fifth character
    /// after it to the end of the first line. Success: a status starting with "2".
    bool HasStatus() const noexcept { return text_.find(' ') != std::string::npos; }
    std::string Status() const;
    std::string Reason() const;
    bool Success() const { return HasStatus() && Status()[0] == '2'; }
    /// True for an interim answer (1xx but 101, such as 100 Continue): the real one follows.
    bool Interim() const { return HasStatus() && Status()[0] == '1' && Status() != "101"; }
    /// The value of the first Content-Length header (name in any case; leading blanks
    /// skipped, then decimal digits, 0 when none; held far below overflow); -1 without one.
    int64_t ContentLength() const;
    /// The value of the first header line named `name` (any case), blanks around it taken
    /// off; "" when there is none.
    std::string Field(const std::string& name) const;
    /// The same in `lines` (header lines, each ended by CR LF but perhaps the last): the
    /// value of the first named `name`, or false when none is.
    static bool FindField(std::string_view lines, std::string_view name, std::string* value = nullptr);
    /// True when the body is sent in chunks: the last coding of Transfer-Encoding is "chunked".
    bool Chunked() const;

private:
    std::string text_;
    bool complete_ = false;
};

}  // namespace tav
