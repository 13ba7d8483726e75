// The body of a response sent with "Transfer-Encoding: chunked": the chunks' framing taken off
// as the bytes arrive, in whatever pieces, without holding any of them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tav {

/// Reads "size[;extensions] CRLF data CRLF ... 0 CRLF [trailer lines] CRLF" (a bare LF ends a
/// line too). The size line is read byte by byte and never stored, trailers are skipped, so
/// the decoder's memory is its few counters whatever the peer sends. Malformed: a size line
/// without hex digits first, with anything but blanks and ";extensions" after them, with more
/// than 15 digits or longer than kMaxLine bytes; data not followed by a line end; trailers
/// longer than kMaxTrailers in all. Values only; one thread.
class ChunkedDecoder {
public:
    static constexpr size_t kMaxLine = 4096;
    static constexpr size_t kMaxTrailers = 100 * 1024;
    enum class Result {
        More,      // all of the input may not be taken yet: call again while bytes are left
        Done,      // the last chunk and the trailers ended; bytes after them were not taken
        Malformed  // the framing is broken at the byte `data` points to
    };

    void Reset() noexcept { *this = ChunkedDecoder(); }
    /// Takes framing from the front of [data, data + n) up to the next run of body bytes,
    /// which is returned in `body` (pointing into the input) and `bodySize` (0 when there is
    /// none), and taken too. `data` and `n` move past everything taken. Never reads past n.
    Result Take(const uint8_t*& data, size_t& n, const uint8_t*& body, size_t& bodySize) noexcept;
    bool Finished() const noexcept { return state_ == State::Finished; }

private:
    enum class State { Size, SizeBlank, Extension, SizeLF, Data, DataCR, DataLF, TrailerStart, Trailer, TrailerLF, Finished, Broken };
    // Takes one framing byte; false when it breaks the framing.
    bool Frame(uint8_t c) noexcept;
    void LineEnded() noexcept;

    State state_ = State::Size;
    uint64_t size_ = 0;       // the size line's value, then what the chunk still owes
    size_t digits_ = 0;
    size_t lineBytes_ = 0;    // of the size line so far
    size_t trailerBytes_ = 0;
};

}  // namespace tav
