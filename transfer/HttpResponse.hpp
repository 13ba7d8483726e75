// One HTTP response as it arrives: the header block, then the body into the output file, a
// text or a byte array; and the rule that tells a complete response from an overlong one.
#pragma once

#include "transfer/ChunkedDecoder.hpp"
#include "transfer/HttpHead.hpp"
#include "transfer/LocalFile.hpp"

#include <tavsock/Variant.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

/// Fed the response's bytes in the pieces they arrive in; says after each piece what the
/// request must do. Holds the request's output file (when one was named) from Execute to the
/// end. Knows nothing of sockets or notifications; one thread.
class HttpResponse {
public:
    enum class Step {
        More,        // nothing for the host yet
        Body,        // body bytes were taken: BytesReceived() moved
        Done,        // the body is whole (bytes may have been taken): no need to wait for a close
        Refused,     // the status is not 2xx: Head().Status()/Reason() say which
        Broken,      // the framing is broken: a header block past HttpHead::kMaxBytes, more
                     // than kMaxInterim interim answers, a malformed chunk
        WriteFailed  // the output file could not take the bytes: OutputError() says why
    };

    /// Interim answers (100 Continue) skipped before the real one; more is an error.
    static constexpr int kMaxInterim = 16;

    /// A new response: header block and body emptied. The content length is kept (a header
    /// block with no status line to read leaves the last one in force for Overlong).
    /// `headOnly`: the request was HEAD, whose answer has no body whatever it announces.
    void Begin(bool asBytes, bool headOnly = false);
    /// Takes the next piece.
    Step Feed(const uint8_t* data, size_t n);
    /// True when the body cannot be whole: more than four bytes beyond an announced
    /// Content-Length of 1 or more came, or a chunked body has not reached its last chunk.
    bool Overlong() const noexcept {
        return (contentLength_ >= 1 && contentLength_ < received_ - 4) || (chunked_ && !chunks_.Finished());
    }
    /// True when the header block ended and the body reached the announced Content-Length,
    /// or the answer has no body (HEAD, 204).
    bool Complete() const noexcept {
        return head_.Complete() && (noBody_ || chunks_.Finished() || (announced_ && received_ >= contentLength_));
    }
    /// True when an announced Content-Length was not reached.
    bool Short() const noexcept { return announced_ && received_ < contentLength_; }
    /// The body, handed over (not copied): a text, or a byte array, which is one 0 byte when
    /// nothing came.
    Variant TakeBody();

    const HttpHead& Head() const noexcept { return head_; }
    /// Body bytes taken so far (characters of the text in text mode); of a chunked body, the
    /// decoded bytes.
    int64_t BytesReceived() const noexcept { return received_; }
    /// The announced Content-Length; -1 while none was (and for a chunked body, which has none).
    int64_t ContentLength() const noexcept { return announced_ ? contentLength_ : -1; }

    /// The output file of the request; null for none.
    void Output(std::unique_ptr<LocalFile> file) { output_ = std::move(file); resumeFrom_ = 0; }
    /// The output file `appendTo` (opened with OpenForAppend) is resumed from byte `from`: a
    /// 206 whose Content-Range starts there is added to it; another 2xx (the whole body)
    /// goes to `name` as a new output file instead (`replace`); a 206 of another range breaks
    /// the response; a 416 whose Content-Range says the resource is `from` bytes long is the
    /// file already whole (Done, nothing written).
    void Resume(std::unique_ptr<LocalFile> appendTo, int64_t from, std::string name, LocalFile::Replace replace);
    bool HasOutput() const noexcept { return output_ != nullptr; }
    /// The response is complete: the output file is committed and let go. False when that
    /// failed (OutputError() says why).
    bool CommitOutput();
    /// Lets the output file go: kept as written (Close), or `discard`ed.
    void CloseOutput(bool discard) noexcept;
    const std::string& OutputError() const noexcept { return outputError_; }

private:
    bool AlreadyWhole() const;
    Step TakeBody(const uint8_t* data, size_t n);
    Step TakeChunks(const uint8_t* data, size_t n);
    // A resumed request's answer is in: the output file is settled. False with a Step to return.
    bool SettleResume(Step& step);
    // Stores body bytes in the output file, the byte array or the text; false when the file
    // refused them.
    bool Store(const uint8_t* data, size_t n);

    HttpHead head_;
    bool asBytes_ = false;
    bool headOnly_ = false;
    int interim_ = 0;
    bool noBody_ = false;
    bool chunked_ = false;
    ChunkedDecoder chunks_;
    std::string text_;
    ByteArray bytes_{0};
    int64_t received_ = 0;
    int64_t contentLength_ = 0;
    bool announced_ = false;
    std::unique_ptr<LocalFile> output_;
    int64_t resumeFrom_ = 0;  // > 0 while a resumed output file waits for the answer
    std::string resumeName_;
    LocalFile::Replace resumeReplace_ = LocalFile::Replace::Now;
    std::string outputError_;
};

}  // namespace tav
