// Reading a fuzzer's input as a sequence of small fields: every target draws its settings and
// chunk sizes from the front of the input and its payload from what follows. Reading never
// goes past the end: a field asked for beyond it is 0 (or empty).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t Remaining() const noexcept { return size_ - at_; }
    bool Empty() const noexcept { return at_ == size_; }

    uint8_t Byte() noexcept { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t Word() noexcept {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    /// The next `n` bytes as text, fewer at the end of the input.
    std::string Text(size_t n) {
        n = n < Remaining() ? n : Remaining();
        std::string out(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return out;
    }
    /// Everything left.
    std::string Rest() { return Text(Remaining()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace fuzz

/// Fails the run with `what` when `ok` is false: libFuzzer keeps the input that did it.
#define FUZZ_CHECK(ok, what)                                                   \
    do {                                                                       \
        if (!(ok)) {                                                           \
            ::fuzz::Fail(__FILE__, __LINE__, #ok, what);                       \
        }                                                                      \
    } while (0)

namespace fuzz {
[[noreturn]] void Fail(const char* file, int line, const char* condition, const std::string& what);
}
