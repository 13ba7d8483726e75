// Framed text on the TCP manager's receive path.
//
// 1. Engine: 1,000,000 messages "BEG" + 90 bytes + "END" fed through the framing engine in
//    64 KiB reads (messages and marks cut by the read boundaries), messages per second next
//    to a hand-written linear scanner that finds the same messages in the same bytes in one
//    pass and copies each out. Target: engine at least 0.3 of the scanner.
// 2. Engine: time per message when every read holds 10 messages and when it holds 10,000
//    (1,000,000 messages each way). Target: ratio about 1.
// Every figure is the best of three rounds; the debug log is kept off.
#include "transport/MessageFramer.hpp"

#include <tavsock/Text.hpp>
#include <tavsock/ValueStore.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr long kMessages = 1000000;
constexpr size_t kBody = 90;
constexpr size_t kFramed = 3 + kBody + 3;
constexpr int kRounds = 3;

// Message i: "BEG", 90 bytes of printable text that vary with i, "END". Some mark letters in
// the body, in other letter case, make the searches look at more than the first byte.
std::string Framed(long i) {
    std::string m = "BEG";
    for (size_t k = 0; k < kBody; ++k) m += static_cast<char>("abcdefghijklmnopqrstuvwxyzEeNnBb0123456789"[(i + k * 7) % 42]);
    return m + "END";
}

std::string Stream(long count) {
    std::string all;
    all.reserve(static_cast<size_t>(count) * kFramed);
    for (long i = 0; i < count; ++i) all += Framed(i);
    return all;
}

struct CountingContext : tav::FramingContext {
    long count = 0;
    size_t bytes = 0;
    int32_t Handle() const override { return 5; }
    std::string_view MsgBeginMark() const override { return "BEG"; }
    std::string_view MsgEndMark() const override { return "END"; }
    int32_t MaxRecvHoldBufferSize() const override { return 16777216; }
    std::string LogPrefix() const override { return "Tag>"; }
    std::string Source(const char* procedure) const override { return procedure; }
    void DeliverMessage(std::string message) override {
        ++count;
        bytes += message.size();
    }
    bool StillServing() const override { return true; }
};

/// Messages per second through the engine, `readSize` bytes per read.
double EngineRate(const std::string& stream, size_t readSize, long expected) {
    tav::MessageFramer framer(tav::ValueStore::Create());
    CountingContext c;
    const auto t0 = Clock::now();
    for (size_t at = 0; at < stream.size(); at += readSize) {
        const std::string_view read = std::string_view(stream).substr(at, readSize);
        framer.ReceiveText(c, read, static_cast<int32_t>(read.size()));
    }
    const std::chrono::duration<double> s = Clock::now() - t0;
    if (c.count != expected || c.bytes != static_cast<size_t>(expected) * kBody) {
        std::fprintf(stderr, "engine delivered %ld messages, %zu bytes\n", c.count, c.bytes);
        std::exit(1);
    }
    return static_cast<double>(c.count) / s.count();
}

/// The baseline: one linear pass for "BEG" ... "END", letter case ignored, copying each
/// message out as the engine must.
double ScannerRate(const std::string& stream, long expected) {
    const char* d = stream.data();
    const size_t n = stream.size();
    auto is = [d](size_t i, char a, char b, char c) {
        return tav::FoldCase(d[i]) == a && tav::FoldCase(d[i + 1]) == b && tav::FoldCase(d[i + 2]) == c;
    };
    long count = 0;
    size_t bytes = 0;
    const auto t0 = Clock::now();
    size_t i = 0;
    while (i + 3 <= n) {
        if (!is(i, 'b', 'e', 'g')) {
            ++i;
            continue;
        }
        const size_t start = i + 3;
        size_t j = start + 1;
        while (j + 3 <= n && !is(j, 'e', 'n', 'd')) ++j;
        if (j + 3 > n) break;
        std::string message(d + start, j - start);
        ++count;
        bytes += message.size();
        i = j + 3;
    }
    const std::chrono::duration<double> s = Clock::now() - t0;
    if (count != expected || bytes != static_cast<size_t>(expected) * kBody) {
        std::fprintf(stderr, "scanner found %ld messages\n", count);
        std::exit(1);
    }
    return static_cast<double>(count) / s.count();
}

template <class Fn>
double Best(Fn fn) {
    double best = 0;
    for (int r = 0; r < kRounds; ++r) best = std::max(best, fn());
    return best;
}

}  // namespace

int main() {
    setenv("TAVSOCK_CONFIG_DIR", "/nonexistent/tavsock-bench", 1);  // no marker: log off

    const std::string stream = Stream(kMessages);
    const double scanner = Best([&] { return ScannerRate(stream, kMessages); });
    const double engine = Best([&] { return EngineRate(stream, 65536, kMessages); });
    std::printf("engine, 64 KiB reads:   %10.0f messages/s   scanner %10.0f messages/s   ratio %.2f (target >= 0.3)\n",
                engine, scanner, engine / scanner);

    // Reads of exactly 10 and 10,000 whole messages.
    const double few = Best([&] { return EngineRate(stream, 10 * kFramed, kMessages); });
    const double many = Best([&] { return EngineRate(stream, 10000 * kFramed, kMessages); });
    std::printf("engine, 10 per read:    %10.0f ns/message\n", 1e9 / few);
    std::printf("engine, 10000 per read: %10.0f ns/message   ratio 10000/10 %.2f (target ~1)\n", 1e9 / many, few / many);
    return 0;
}
