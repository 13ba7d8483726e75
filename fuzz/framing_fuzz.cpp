// The TCP manager's framing engine against a reference model.
//
// The input chooses a begin mark, an end mark and a hold-buffer limit, then a series of reads.
// Each read goes through MessageFramer::ReceiveText, as the manager's read notification hands
// it over; the model keeps the held text as a plain string and cuts it with naive searches.
// After every read the messages handed over so far and the held text must be the model's,
// and no message may be longer than the limit. A read may also be handed in from inside the
// handler of a message, as when a host runs the queue there.
#include "FuzzInput.hpp"

#include "transport/MessageFramer.hpp"

#include <tavsock/ValueStore.hpp>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// ---- Reference model ------------------------------------------------------------------------

// Letters of ISO-8859-1 compare without regard to case; the multiplication sign does not fold.
unsigned char Fold(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 32);
    return c;
}

size_t NaiveFind(const std::string& text, const std::string& mark, size_t from) {
    for (size_t i = from; i + mark.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < mark.size() && Fold(static_cast<unsigned char>(text[i + k])) ==
                                      Fold(static_cast<unsigned char>(mark[k])))
            ++k;
        if (k == mark.size()) return i;
    }
    return std::string::npos;
}

// Held text, and after an overflow with an end mark set, the text dropped since then (the
// held text included): the message that overflowed goes up to and including the first end
// mark that ends after the held text, which may have begun inside it.
struct Model {
    std::string begin, end;
    int32_t limit = 0;
    std::string held;
    bool discarding = false;
    std::string dropped;
    std::vector<std::string> messages;

    // Text handed in from inside the handler of the next message, as a host that runs the
    // queue there would see it; empty when none waits.
    std::string nested;
    bool nestedWaiting = false;

    void Read(const std::string& data) {
        Append(data);
        Cut();
    }

    void Append(std::string data) {
        for (;;) {
            if (discarding) {
                // Only a mark ending in `data` counts: the held text's own marks had their
                // chance, and the text dropped since held none.
                const size_t from = dropped.size() >= end.size() ? dropped.size() - end.size() + 1 : 0;
                dropped += data;
                const size_t p = NaiveFind(dropped, end, from);
                if (p == std::string::npos) break;
                data = dropped.substr(p + end.size());
                dropped.clear();
                discarding = false;
            }
            if (static_cast<int64_t>(held.size() + data.size()) <= limit) {
                held += data;
                break;
            }
            if (end.empty()) {
                held.clear();
                break;
            }
            dropped = std::move(held);
            held.clear();
            discarding = true;
        }
    }

    void Cut() {
        // Cut every whole message: from after the first begin mark to before the first end
        // mark that starts at least one character later.
        // Cut text is erased once at the end (or before a nested read): erasing each message
        // from the front would make long reads of small messages quadratic.
        size_t at = 0;
        while (at < held.size()) {
            size_t first = at;
            if (!begin.empty()) {
                const size_t p = NaiveFind(held, begin, at);
                if (p == std::string::npos) break;
                first = p + begin.size();
            }
            size_t last = held.size();
            if (!end.empty()) {
                last = NaiveFind(held, end, first + 1);
                if (last == std::string::npos) break;
            }
            messages.push_back(held.substr(first, last - first));
            at = std::min(held.size(), last + end.size());
            if (nestedWaiting) {
                nestedWaiting = false;
                held.erase(0, at);
                at = 0;
                Append(nested);
            }
        }
        held.erase(0, at);
    }
};

// ---- The library's side ---------------------------------------------------------------------

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
    Model m;
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
