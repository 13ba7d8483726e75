// The framing rules written the slow, obvious way, as a reference for the TCP manager's framing
// engine: the held text is a plain string, searches are naive and start from the front. The
// unit tests and the framing fuzz target both check the engine against this one model.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace framing_model {

// Letters of ISO-8859-1 compare without regard to case; the multiplication sign does not fold.
inline unsigned char Fold(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 32);
    return c;
}

inline size_t NaiveFind(const std::string& text, const std::string& mark, size_t from) {
    for (size_t i = from; i + mark.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < mark.size() &&
               Fold(static_cast<unsigned char>(text[i + k])) == Fold(static_cast<unsigned char>(mark[k])))
            ++k;
        if (k == mark.size()) return i;
    }
    return std::string::npos;
}

// Held text, and after an overflow that cut a message short, the text dropped since then (the
// held text included): that message goes up to and including the first end mark that ends
// after the held text, which may have begun inside it. A message was cut short when there is
// an end mark to find and the message had begun: no begin mark is set, or one stands in the
// held text or the read that overflowed. Otherwise an overflow drops the held text and that
// read, nothing more.
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
            if (end.empty() || (!begin.empty() && NaiveFind(held + data, begin, 0) == std::string::npos)) {
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

}  // namespace framing_model
