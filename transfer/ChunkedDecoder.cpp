// The framing of a chunked body.
#include "transfer/ChunkedDecoder.hpp"

#include <algorithm>

namespace tav {

namespace {
int HexValue(uint8_t c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
bool Blank(uint8_t c) noexcept { return c == ' ' || c == '\t'; }
}  // namespace

ChunkedDecoder::Result ChunkedDecoder::Take(const uint8_t*& data, size_t& n, const uint8_t*& body,
                                            size_t& bodySize) noexcept {
    body = nullptr;
    bodySize = 0;
    while (n > 0) {
        if (state_ == State::Finished) return Result::Done;
        if (state_ == State::Broken) return Result::Malformed;
        if (state_ == State::Data) {
            // The body's bytes go out in one run, straight from the input.
            const size_t run = static_cast<size_t>(std::min<uint64_t>(size_, n));
            body = data;
            bodySize = run;
            data += run;
            n -= run;
            size_ -= run;
            if (size_ == 0) state_ = State::DataCR;
            return Result::More;
        }
        if (!Frame(*data)) {
            state_ = State::Broken;
            return Result::Malformed;
        }
        ++data;
        --n;
    }
    return state_ == State::Finished ? Result::Done : state_ == State::Broken ? Result::Malformed : Result::More;
}

bool ChunkedDecoder::Frame(uint8_t c) noexcept {
    switch (state_) {
    case State::Size:
    case State::SizeBlank:
    case State::Extension:
    case State::SizeLF:
        if (++lineBytes_ > kMaxLine) return false;
        break;
    case State::TrailerStart:
    case State::Trailer:
    case State::TrailerLF:
        if (++trailerBytes_ > kMaxTrailers) return false;
        break;
    default: break;
    }
    switch (state_) {
    case State::Size: {
        const int v = HexValue(c);
        if (v >= 0) {
            // 15 digits hold any real size; more would overflow the count.
            if (++digits_ > 15) return false;
            size_ = size_ * 16 + static_cast<uint64_t>(v);
            return true;
        }
        if (digits_ == 0) return false;
        if (Blank(c)) state_ = State::SizeBlank;
        else if (c == ';') state_ = State::Extension;
        else if (c == '\r') state_ = State::SizeLF;
        else if (c == '\n') LineEnded();
        else return false;
        return true;
    }
    case State::SizeBlank:
        if (c == ';') state_ = State::Extension;
        else if (c == '\r') state_ = State::SizeLF;
        else if (c == '\n') LineEnded();
        else if (!Blank(c)) return false;
        return true;
    case State::Extension:
        // Extensions are not used here: anything up to the line's end.
        if (c == '\n') LineEnded();
        return true;
    case State::SizeLF:
        if (c != '\n') return false;
        LineEnded();
        return true;
    case State::DataCR:
        if (c == '\r') state_ = State::DataLF;
        else if (c == '\n') state_ = State::Size;
        else return false;
        return true;
    case State::DataLF:
        if (c != '\n') return false;
        state_ = State::Size;
        return true;
    case State::TrailerStart:
        state_ = c == '\n' ? State::Finished : c == '\r' ? State::TrailerLF : State::Trailer;
        return true;
    case State::TrailerLF:
        state_ = c == '\n' ? State::Finished : State::Trailer;
        return true;
    case State::Trailer:
        if (c == '\n') state_ = State::TrailerStart;
        return true;
    default: return false;
    }
}

void ChunkedDecoder::LineEnded() noexcept {
    state_ = size_ == 0 ? State::TrailerStart : State::Data;
    digits_ = 0;
    lineBytes_ = 0;
}

}  // namespace tav
