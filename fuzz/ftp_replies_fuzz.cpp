// The FTP client's reply splitter against a reference model.
//
// The input is control-connection text cut into chunks. Each chunk is appended to a reply
// buffer and passes are cut from it as the client cuts them (TavFTPTransferMgr's own
// CutReplyLines, with its memory of how far the buffer was searched). The model splits the
// same text at CR LF and groups the lines by the multi-line rules. Each pass must give the
// model's reply lines, must consume exactly the complete lines present, and its lines must
// join back (code, text, CR LF) into the text it consumed, less the short lines it dropped
// before the first reply line; the lines it tells as received are the model's raw lines.
#include "FuzzInput.hpp"

#include "transfer/FtpControl.hpp"

#include <string>
#include <vector>

namespace {

using A = tav::FtpControl;

struct Line {
    std::string code, text;
};

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text.substr(0, 160)) out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    return out + (text.size() > 160 ? "..." : "");
}

// The reply lines of one pass over `lines` (the raw lines, without CR LF), and the text of
// the short lines dropped before the first of them.
std::vector<Line> Group(const std::vector<std::string>& raw, std::string& dropped) {
    std::vector<Line> out;
    bool open = false;
    size_t opener = 0;
    for (const std::string& line : raw) {
        const bool hyphen = line.size() >= 4 && line[3] == '-';
        if (open) {
            out[opener].text += "\r\n" + line;
            if (line.substr(0, 3) == out[opener].code && !hyphen) open = false;
        } else if (line.size() >= 3) {
            out.push_back({line.substr(0, 3), line.substr(3)});
            if (hyphen) {
                open = true;
                opener = out.size() - 1;
            }
        } else if (!out.empty()) {
            out.back().text += "\r\n" + line;
        } else {
            dropped += line + "\r\n";
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    std::string buffer;
    size_t scanFrom = 0;
    std::string modelBuffer;
    while (!in.Empty()) {
        const std::string chunk = in.Text(in.Byte() & 0x7F);
        buffer += chunk;
        modelBuffer += chunk;

        // The model: one pass takes every complete line present.
        std::vector<std::string> raw;
        std::string consumed;
        for (size_t end; (end = modelBuffer.find("\r\n")) != std::string::npos;) {
            raw.push_back(modelBuffer.substr(0, end));
            consumed += modelBuffer.substr(0, end + 2);
            modelBuffer.erase(0, end + 2);
        }
        std::string dropped;
        const std::vector<Line> expected = Group(raw, dropped);

        A::ReplyLines lines;
        std::vector<std::string> received;
        const bool cut = A::CutReplyLines(buffer, scanFrom, lines, &received);
        FUZZ_CHECK(received == raw, std::to_string(received.size()) + " lines received, model " + std::to_string(raw.size()));
        FUZZ_CHECK(cut == !raw.empty(), std::string(cut ? "a pass" : "no pass") + " where the model has " +
                                            std::to_string(raw.size()) + " complete lines");
        FUZZ_CHECK(buffer == modelBuffer, "left " + Printable(buffer) + ", model " + Printable(modelBuffer));
        FUZZ_CHECK(scanFrom <= buffer.size(), "search memory beyond the buffer");
        FUZZ_CHECK(lines.size() == expected.size(),
                   std::to_string(lines.size()) + " reply lines, model " + std::to_string(expected.size()));
        std::string joined;
        for (size_t i = 0; i < lines.size(); ++i) {
            FUZZ_CHECK(lines[i].Code == expected[i].code && lines[i].Text == expected[i].text,
                       "line " + std::to_string(i) + " " + Printable(lines[i].Code + lines[i].Text) + ", model " +
                           Printable(expected[i].code + expected[i].text));
            FUZZ_CHECK(lines[i].Code.size() == 3, "code of " + std::to_string(lines[i].Code.size()) + " characters");
            joined += lines[i].Code + lines[i].Text + "\r\n";
        }
        FUZZ_CHECK(dropped + joined == consumed, "lines join to " + Printable(joined) + ", consumed " + Printable(consumed));
        // A second pass finds nothing: the first took every complete line.
        A::ReplyLines again;
        FUZZ_CHECK(!A::CutReplyLines(buffer, scanFrom, again), "a second pass found lines");
    }
    return 0;
}
