// The TCP manager's framing engine against a reference model.
//
// The input chooses a begin mark, an end mark and a hold-buffer limit, then a series of reads.
// Each read goes through MessageFramer::ReceiveText, as the manager's read notification hands
// it over; the model (FramingModel.hpp) keeps the held text as a plain string and cuts it
// with naive searches. After every read the messages handed over so far and the held text must be the model's,
// and no message may be longer than the limit. A read may also be handed in from inside the
// handler of a message, as when a host runs the queue there.
#include "FramingModel.hpp"
#include "FuzzInput.hpp"

#include "transport/MessageFramer.hpp"

#include <tavsock/ValueStore.hpp>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

class Context final : public tav::FramingContext {
public:
    std::string begin, end;
    int32_t limit = 0;
    std::vector<std::string> messages;
    tav::MessageFramer* framer = nullptr;
    std::string nested;
    bool nestedWaiting = false;

    int32_t Handle() const override { return 7; }
    std::string_view MsgBeginMark() const override { return begin; }
    std::string_view MsgEndMark() const override { return end; }
    int32_t MaxRecvHoldBufferSize() const override { return limit; }
    std::string LogPrefix() const override { return "Tag>"; }
    std::string Source(const char* procedure) const override { return std::string("fuzz.") + procedure; }
    void DeliverMessage(std::string message) override {
        messages.push_back(std::move(message));
        if (nestedWaiting) {
            // A read notification inside the handler: the framer must cope with being entered
            // again while it cuts.
            nestedWaiting = false;
            framer->ReceiveText(*this, nested, static_cast<int32_t>(nested.size()));
        }
    }
    bool StillServing() const override { return true; }
};

std::string Shown(const std::string& text) {
    std::string out;
    for (unsigned char c : text.substr(0, 200)) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            static const char* hex = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return "\"" + out + (text.size() > 200 ? "\"..." : "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    const size_t beginLength = in.Byte() % 5;
    const uint8_t b = in.Byte();
    const size_t endLength = b % 5;
    // Reads made of a piece repeated up to 241 times: long enough to exercise the held text's
    // compaction and the search memories across it, which short inputs never reach.
    const size_t repeat = (b & 0x80) ? ((b >> 3) & 0xF) * 16 + 1 : 1;
    // Mostly small limits, so that overflows are common; sometimes none to speak of, sometimes
    // one that nothing can meet.
    const uint16_t w = in.Word();
    const int32_t limit = (w & 0xC000) == 0xC000 ? -static_cast<int32_t>(w & 3) : (w & 0x8000) ? 1 << 20 : w % 300;

    Context c;
    framing_model::Model m;
    c.begin = m.begin = in.Text(beginLength);
    c.end = m.end = in.Text(endLength);
    c.limit = m.limit = limit;

    tav::MessageFramer framer(tav::ValueStore::Create());
    c.framer = &framer;
    size_t checked = 0;
    while (!in.Empty()) {
        const uint8_t head = in.Byte();
        std::string chunk = in.Text(head & 0x7F);
        if (repeat > 1) {
            std::string piece = chunk;
            for (size_t i = 1; i < repeat; ++i) chunk += piece;
        }
        if (head & 0x80) {
            // Kept for the handler of the next message; a read of its own if none comes first.
            if (c.nestedWaiting) {
                c.nestedWaiting = m.nestedWaiting = false;
                framer.ReceiveText(c, c.nested, static_cast<int32_t>(c.nested.size()));
                m.Read(m.nested);
            }
            c.nested = m.nested = chunk;
            c.nestedWaiting = m.nestedWaiting = true;
            if (!in.Empty()) continue;
        } else {
            framer.ReceiveText(c, chunk, static_cast<int32_t>(chunk.size()));
            m.Read(chunk);
        }
        if (c.nestedWaiting && in.Empty()) {
            c.nestedWaiting = m.nestedWaiting = false;
            framer.ReceiveText(c, c.nested, static_cast<int32_t>(c.nested.size()));
            m.Read(m.nested);
        }

        FUZZ_CHECK(c.messages.size() == m.messages.size(),
                   "messages " + std::to_string(c.messages.size()) + ", model " + std::to_string(m.messages.size()));
        for (size_t i = checked; i < c.messages.size(); ++i) {
            FUZZ_CHECK(c.messages[i] == m.messages[i],
                       "message " + std::to_string(i) + " " + Shown(c.messages[i]) + ", model " + Shown(m.messages[i]));
            FUZZ_CHECK(static_cast<int64_t>(c.messages[i].size()) <= std::max(limit, 0),
                       "message " + std::to_string(i) + " longer than the limit " + std::to_string(limit));
        }
        checked = c.messages.size();
        const std::string held(framer.HeldTextOf(c.Handle()));
        FUZZ_CHECK(held == m.held, "held " + Shown(held) + ", model " + Shown(m.held));
        FUZZ_CHECK(static_cast<int64_t>(held.size()) <= std::max(limit, 0), "held text longer than the limit");
    }
    return 0;
}
