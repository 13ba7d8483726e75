// The progress line of the transfer commands on stderr: bytes, percent and time left when the
// length is known, rate. Redrawn at most five times a second.
#pragma once

#include <chrono>
#include <cstdint>

namespace tavtool {

class Progress {
public:
    /// Draws nothing unless `enabled` (stderr a terminal, no --silent).
    explicit Progress(bool enabled) : enabled_(enabled) {}
    /// `length` < 0 when it is not known.
    void Update(int64_t got, int64_t length);
    /// The last line, ended, when one was drawn.
    void End(int64_t got, int64_t length);

private:
    void Draw(int64_t got, int64_t length, bool last);

    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point drawn_{};
};

}  // namespace tavtool
