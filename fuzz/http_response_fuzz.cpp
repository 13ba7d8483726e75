// The HTTP client's response reception (header block, status line, Content-Length, body)
// against a reference model.
//
// The input is a response cut into chunks, and the retrieve mode. The chunks reach the
// response part as the manager hands them its socket's reads, then the server closes; each
// step the part returns is turned into the notifications the manager gives for it. The model
// reads the same bytes as one string: the header block ends at the first CR LF CR LF, the
// status is the three characters after the first space, and so on. The notifications, the
// header block and the content length must be the model's.
#include "ChunkedReference.hpp"
#include "FuzzInput.hpp"

#include "transfer/HttpResponse.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using tav::HttpResponse;
using Step = HttpResponse::Step;

constexpr size_t kMax = tav::HttpHead::kMaxBytes;
// Content-Length values are held below this, far beyond any body, so that sums cannot overflow.
constexpr int64_t kLengthCap = INT64_MAX / 16;

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text.substr(0, 120)) out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    return out + (text.size() > 120 ? "..." : "");
}

struct Model {
    // Carried from one response to the next, as the manager carries it: a header block with
    // no space in it leaves the last value in force for the length check at the end.
    int64_t contentLength = 0;

    std::vector<std::string> events;
    std::string header;
    int64_t announced = -1;

    void Run(const std::vector<std::string>& chunks, bool bytes) {
        events.clear();
        header.clear();
        announced = -1;
        std::string stream;
        std::vector<size_t> ends;  // where each chunk ends in the stream
        for (const std::string& c : chunks) ends.push_back((stream += c).size());

        // Header blocks, each bounded on its own; interim answers (1xx but 101) are skipped.
        size_t headStart = 0, headerEnd = std::string::npos;
        for (int interim = 0;; ++interim) {
            const size_t p = stream.find("\r\n\r\n", headStart);
            if (p == std::string::npos || p + 4 - headStart > kMax) {
                header = stream.substr(headStart, kMax);
                if (stream.size() - headStart >= kMax) {
                    events = {"object error 4", "ready 0"};
                    return;
                }
                Finish("", bytes);
                return;
            }
            header = stream.substr(headStart, p + 4 - headStart);
            const size_t space = header.find(' ');
            const std::string status = space == std::string::npos ? "" : header.substr(space + 1, 3);
            if (status.empty() || status[0] != '1' || status == "101") {
                headerEnd = p + 4;
                break;
            }
            if (interim == tav::HttpResponse::kMaxInterim) {
                events = {"object error 4", "ready 0"};
                return;
            }
            headStart = p + 4;
        }
        size_t headerChunk = 0;
        while (ends[headerChunk] < headerEnd) ++headerChunk;

        bool noBody = false, chunked = false;
        const size_t space = header.find(' ');
        if (space != std::string::npos) {
            const std::string status = header.substr(space + 1, 3);
            if (status[0] != '2') {
                const size_t lineEnd = header.find("\r\n");
                const std::string reason = lineEnd > space + 5 ? header.substr(space + 5, lineEnd - space - 5) : "";
                events = {"error " + status + "|" + reason, "ready 0"};
                return;
            }
            noBody = status == "204";
            std::string lower = header;
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)) & 0xFF);
            chunked = !noBody && Chunked(lower);
            const size_t name = lower.find("content-length");
            contentLength = 0;
            if (name != std::string::npos) {
                announced = 0;
                const size_t colon = header.find(':', name);
                if (colon != std::string::npos) {
                    size_t i = colon + 1;
                    while (i < header.size() && (header[i] == ' ' || header[i] == '\t')) ++i;
                    std::string digits;
                    while (i < header.size() && header[i] >= '0' && header[i] <= '9') digits += header[i++];
                    digits.erase(0, digits.find_first_not_of('0'));
                    contentLength = digits.empty() ? 0 : digits.size() > 18 ? kLengthCap : std::min<int64_t>(std::stoll(digits), kLengthCap);
                    announced = contentLength;
                }
            }
        }
        if (chunked) {
            contentLength = 0;
            announced = -1;
            RunChunked(stream.substr(headerEnd), ends, headerEnd, headerChunk, bytes);
            return;
        }
        // The body: what followed the header block in its chunk, then every later chunk, up to
        // the chunk that makes it whole (its announced length reached, or none owed).
        std::string body;
        const auto whole = [&] { return noBody || (announced >= 0 && static_cast<int64_t>(body.size()) >= contentLength); };
        for (size_t i = headerChunk; i < chunks.size(); ++i) {
            const size_t from = std::max(headerEnd, i == 0 ? 0 : ends[i - 1]);
            const std::string part = stream.substr(from, ends[i] - from);
            if (part.empty()) {
                if (i == headerChunk && whole()) break;
                continue;
            }
            body += part;
            events.push_back("transferred " + std::to_string(body.size()));
            if (whole()) break;
        }
        Finish(body, bytes);
    }

    /// Transfer-Encoding's last coding is "chunked" (`lower`: the block in lower case).
    static bool Chunked(const std::string& lower) {
        for (size_t at = lower.find("\r\n"); at != std::string::npos && at + 2 < lower.size(); at = lower.find("\r\n", at + 2)) {
            if (lower.compare(at + 2, 18, "transfer-encoding:") != 0) continue;
            std::string value = lower.substr(at + 20, lower.find("\r\n", at + 2) - at - 20);
            if (value.rfind(',') != std::string::npos) value.erase(0, value.rfind(',') + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of(" \t") + 1);
            return value == "chunked";
        }
        return false;
    }

    // A chunked body: after each piece, the reference decode of everything so far.
    void RunChunked(const std::string& wire, const std::vector<size_t>& ends, size_t headerEnd, size_t headerChunk, bool bytes) {
        size_t decoded = 0;
        fuzz::ChunkedReference ref;
        for (size_t i = headerChunk; i < ends.size(); ++i) {
            if (ends[i] == (i == headerChunk ? headerEnd : ends[i - 1])) continue;
            ref = fuzz::DecodeChunked(wire.substr(0, ends[i] - headerEnd), tav::ChunkedDecoder::kMaxLine, tav::ChunkedDecoder::kMaxTrailers);
            if (ref.status == fuzz::ChunkedReference::Malformed) {
                events.push_back("object error 4");
                events.push_back("ready 0");
                return;
            }
            if (ref.body.size() != decoded) events.push_back("transferred " + std::to_string(decoded = ref.body.size()));
            if (ref.status == fuzz::ChunkedReference::Done) break;
        }
        if (ref.status != fuzz::ChunkedReference::Done) {
            events.push_back("object error 4");
            events.push_back("ready 0");
            return;
        }
        Finish(ref.body, bytes);
    }

    void Finish(const std::string& body, bool bytes) {
        if (contentLength >= 1 && contentLength < static_cast<int64_t>(body.size()) - 4) {
            events.push_back("object error 4");
        } else {
            // A byte array that received nothing is the one zero byte it started as.
            events.push_back("received " + (bytes && body.empty() ? std::string(1, '\0') : body));
        }
        events.push_back("ready 0");
    }
};

// The manager's handling of each step, down to the notifications (TavHTTPTransferMgr's flow).
struct Harness {
    HttpResponse response;
    std::vector<std::string> events;

    void Run(const std::vector<std::string>& chunks, bool bytes) {
        events.clear();
        response.Begin(bytes);
        for (const std::string& chunk : chunks) {
            const int64_t before = response.BytesReceived();
            const Step step = response.Feed(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
            if (step == Step::Done) {
                // As at the server's close: the response is whole.
                if (response.BytesReceived() != before) events.push_back("transferred " + std::to_string(response.BytesReceived()));
                break;
            }
            switch (step) {
            case Step::More: continue;
            case Step::Body: events.push_back("transferred " + std::to_string(response.BytesReceived())); continue;
            case Step::Done: break;
            case Step::Refused:
                events.push_back("error " + response.Head().Status() + "|" + response.Head().Reason());
                events.push_back("ready 0");
                return;
            case Step::Broken:
            case Step::WriteFailed:
                events.push_back("object error 4");
                events.push_back("ready 0");
                return;
            }
        }
        if (response.Overlong()) {
            events.push_back("object error 4");
        } else {
            const tav::Variant v = response.TakeBody();
            events.push_back("received " + (v.IsByteArray() ? std::string(v.AsBytes().begin(), v.AsBytes().end()) : v.AsString()));
        }
        events.push_back("ready 0");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness h;
    static Model m;
    fuzz::FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const bool bytes = flags & 1;
    std::vector<std::string> chunks;
    if ((flags & 6) == 6) {
        // A header block that reaches the size limit around the bytes the input adds.
        const size_t pad = kMax - 16 - 2 * static_cast<size_t>(in.Byte());
        std::string start = "HTTP/1.0 200 OK\r\nX-Pad: ";
        start.resize(pad, 'a');
        chunks.push_back(std::move(start));
    }
    while (!in.Empty()) chunks.push_back(in.Text(in.Byte() & 0x7F));

    h.Run(chunks, bytes);
    m.Run(chunks, bytes);

    const std::string& header = h.response.Head().Text();
    FUZZ_CHECK(header == m.header, "header " + Printable(header) + ", model " + Printable(m.header));
    FUZZ_CHECK(header.size() <= kMax, "header block beyond the limit");
    FUZZ_CHECK(h.events.size() == m.events.size(),
               std::to_string(h.events.size()) + " notifications, model " + std::to_string(m.events.size()));
    for (size_t i = 0; i < h.events.size(); ++i)
        FUZZ_CHECK(h.events[i] == m.events[i],
                   "notification " + std::to_string(i) + " " + Printable(h.events[i]) + ", model " + Printable(m.events[i]));
    FUZZ_CHECK(h.response.ContentLength() == m.announced,
               "Content-Length " + std::to_string(h.response.ContentLength()) + ", model " + std::to_string(m.announced));
    return 0;
}
