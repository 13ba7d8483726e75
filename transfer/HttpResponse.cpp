// One HTTP response as it arrives.
#include "transfer/HttpResponse.hpp"

#include <cstring>
#include <utility>

namespace tav {

void HttpResponse::Begin(bool asBytes, bool headOnly) {
    head_.Clear();
    asBytes_ = asBytes;
    headOnly_ = headOnly;
    noBody_ = false;
    chunked_ = false;
    chunks_.Reset();
    interim_ = 0;
    text_.clear();
    bytes_.assign(1, 0);
    received_ = 0;
    announced_ = false;
}

HttpResponse::Step HttpResponse::Feed(const uint8_t* data, size_t n) {
    if (head_.Complete()) return TakeBody(data, n);
    size_t used = 0;
    for (;;) {
        const HttpHead::Cut cut = head_.Take(data, n, used);
        if (cut == HttpHead::Cut::TooLong) return Step::Broken;
        if (cut == HttpHead::Cut::More) return Step::More;
        if (!head_.Interim()) break;
        // An interim answer only says the real one is coming: it starts with the next byte.
        if (++interim_ > kMaxInterim) return Step::Broken;
        head_.Clear();
        data += used;
        n -= used;
    }
    if (head_.HasStatus()) {
        if (!head_.Success()) return AlreadyWhole() ? Step::Done : Step::Refused;
        const int64_t length = head_.ContentLength();
        announced_ = length >= 0;
        contentLength_ = announced_ ? length : 0;
        noBody_ = headOnly_ || head_.Status() == "204";
        // A chunked body carries its own length; a Content-Length beside it means nothing.
        chunked_ = !noBody_ && head_.Chunked();
        if (chunked_) announced_ = false, contentLength_ = 0;
        if (Step step; resumeFrom_ > 0 && !SettleResume(step)) return step;
    }
    // Body bytes that came with the end of the header block, from their place in this piece.
    if (used < n) return TakeBody(data + used, n - used);
    return Complete() ? Step::Done : Step::More;
}

HttpResponse::Step HttpResponse::TakeBody(const uint8_t* data, size_t n) {
    if (n == 0) return Step::More;
    if (chunked_) return TakeChunks(data, n);
    if (!Store(data, n)) return Step::WriteFailed;
    // A server that keeps the connection open after the announced length (HTTP/1.1) has
    // said all it will: the response ends here rather than at its close.
    return Complete() ? Step::Done : Step::Body;
}

HttpResponse::Step HttpResponse::TakeChunks(const uint8_t* data, size_t n) {
    const int64_t before = received_;
    ChunkedDecoder::Result result = ChunkedDecoder::Result::More;
    while (n > 0 && result == ChunkedDecoder::Result::More) {
        const uint8_t* body = nullptr;
        size_t size = 0;
        result = chunks_.Take(data, n, body, size);
        if (size > 0 && !Store(body, size)) return Step::WriteFailed;
    }
    // Bytes after the last chunk and its trailers are not the body's.
    if (result == ChunkedDecoder::Result::Malformed) return Step::Broken;
    if (result == ChunkedDecoder::Result::Done) return Step::Done;
    return received_ != before ? Step::Body : Step::More;
}

bool HttpResponse::Store(const uint8_t* data, size_t n) {
    if (output_) {
        if (!output_->Write(data, n)) {
            outputError_ = output_->ErrorText();
            return false;
        }
        received_ += static_cast<int64_t>(n);
    } else if (asBytes_) {
        // The buffer starts as one 0 byte, which the first bytes replace.
        const size_t at = static_cast<size_t>(received_);
        bytes_.resize(at + n);
        std::memcpy(bytes_.data() + at, data, n);
        received_ += static_cast<int64_t>(n);
    } else {
        text_.append(reinterpret_cast<const char*>(data), n);
        received_ = static_cast<int64_t>(text_.size());
    }
    return true;
}

Variant HttpResponse::TakeBody() {
    if (asBytes_) return Variant(std::exchange(bytes_, ByteArray{0}));
    return Variant(std::exchange(text_, std::string()));
}

void HttpResponse::Resume(std::unique_ptr<LocalFile> appendTo, int64_t from, std::string name, LocalFile::Replace replace) {
    output_ = std::move(appendTo);
    resumeFrom_ = from;
    resumeName_ = std::move(name);
    resumeReplace_ = replace;
}

bool HttpResponse::SettleResume(Step& step) {
    const int64_t from = std::exchange(resumeFrom_, 0);
    if (head_.Status() == "206") {
        // "bytes FROM-LAST/TOTAL": only the rest from where the file ends may be added to it.
        const std::string range = head_.Field("Content-Range");
        if (range.rfind("bytes " + std::to_string(from) + "-", 0) == 0) return true;
        step = Step::Broken;
        return false;
    }
    // The server sends the whole body: it replaces the file instead.
    output_->Close();
    output_ = LocalFile::OpenForWrite(resumeName_, resumeReplace_, outputError_);
    if (output_) return true;
    step = Step::WriteFailed;
    return false;
}

bool HttpResponse::AlreadyWhole() const {
    // "416 Range Not Satisfiable" with "bytes */SIZE": a resource of exactly the file's size
    // has no byte left to send. Its body is the server's explanation, not the file's.
    return resumeFrom_ > 0 && head_.Status() == "416" && head_.Field("Content-Range") == "bytes */" + std::to_string(resumeFrom_);
}

bool HttpResponse::CommitOutput() {
    resumeFrom_ = 0;
    if (!output_) return true;
    const bool done = output_->Commit();
    if (!done) outputError_ = output_->ErrorText();
    output_.reset();
    return done;
}

void HttpResponse::CloseOutput(bool discard) noexcept {
    resumeFrom_ = 0;
    LocalFile::Release(output_, discard);
}

}  // namespace tav
