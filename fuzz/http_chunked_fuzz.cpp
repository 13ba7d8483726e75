// The HTTP client's chunked-body decoder against a plain reference reading.
//
// The input is a chunked body cut into pieces (sizes from the input's front). Each piece is
// handed to the decoder in a buffer of exactly its size, so reading past it is caught. The
// decoded bytes, where the body ends (Done) and whether it breaks must be the reference's;
// the decoder holds nothing but its counters, so its memory is bounded by its size.
#include "ChunkedReference.hpp"
#include "FuzzInput.hpp"

#include "transfer/ChunkedDecoder.hpp"

#include <cstring>
#include <memory>
#include <vector>

namespace {
using tav::ChunkedDecoder;
static_assert(sizeof(ChunkedDecoder) <= 64, "the decoder holds no buffer");
// Small limits in the reference would not be the decoder's: both use the decoder's.
constexpr size_t kMaxLine = ChunkedDecoder::kMaxLine, kMaxTrailers = ChunkedDecoder::kMaxTrailers;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    std::vector<size_t> cuts;
    for (uint8_t n = in.Byte() & 7; n > 0; --n) cuts.push_back(in.Byte() + 1);
    // A long extension or trailer section, to reach the limits.
    const uint8_t pad = in.Byte();
    std::string body = in.Rest();
    if (pad & 1) body.insert(body.find(';') == std::string::npos ? 0 : body.find(';') + 1, kMaxLine - 8 + (pad >> 4), 'e');
    if (pad & 2) body.insert(body.find("0\r\n") == std::string::npos ? 0 : body.find("0\r\n") + 3, kMaxTrailers - 8 + (pad >> 4), 't');

    ChunkedDecoder decoder;
    std::string decoded;
    ChunkedDecoder::Result result = ChunkedDecoder::Result::More;
    size_t at = 0, consumed = 0;
    for (size_t i = 0; at < body.size() && result == ChunkedDecoder::Result::More; ++i) {
        const size_t n = cuts.empty() ? body.size() - at : std::min(cuts[i % cuts.size()], body.size() - at);
        const std::unique_ptr<uint8_t[]> piece(new uint8_t[n]);
        std::memcpy(piece.get(), body.data() + at, n);
        const uint8_t* p = piece.get();
        size_t left = n;
        while (left > 0 && result == ChunkedDecoder::Result::More) {
            const uint8_t* run = nullptr;
            size_t runSize = 0;
            const size_t before = left;
            result = decoder.Take(p, left, run, runSize);
            FUZZ_CHECK(left <= before && p == piece.get() + (n - left), "input pointer and count disagree");
            FUZZ_CHECK(runSize == 0 || (run >= piece.get() && run + runSize <= p), "body run outside what was taken");
            decoded.append(reinterpret_cast<const char*>(run), runSize);
            consumed += before - left;
        }
        at += n;
    }
    const fuzz::ChunkedReference ref = fuzz::DecodeChunked(body, kMaxLine, kMaxTrailers);
    const auto status = result == ChunkedDecoder::Result::Done        ? fuzz::ChunkedReference::Done
                        : result == ChunkedDecoder::Result::Malformed ? fuzz::ChunkedReference::Malformed
                                                                       : fuzz::ChunkedReference::More;
    FUZZ_CHECK(status == ref.status, "status " + std::to_string(status) + ", reference " + std::to_string(ref.status));
    FUZZ_CHECK(decoded == ref.body, "decoded " + std::to_string(decoded.size()) + " bytes, reference " + std::to_string(ref.body.size()));
    if (status == fuzz::ChunkedReference::Done)
        FUZZ_CHECK(consumed == ref.consumed, "took " + std::to_string(consumed) + " bytes, reference " + std::to_string(ref.consumed));
    FUZZ_CHECK(decoder.Finished() == (status == fuzz::ChunkedReference::Done), "Finished() disagrees");
    return 0;
}
