// Bytes waiting to be sent: the unsent rest of what the socket object was asked to send.
//
// Partial sends consume from the front. Consuming only moves an offset; the dead prefix is
// dropped when more bytes are appended and it has grown at least as large as the live rest,
// so every byte is moved at most a bounded number of times and a flush of n bytes costs O(n)
// however many partial sends it takes. The buffer is not thread-safe (one socket, one thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tav {

class PendingBuffer {
public:
    /// The live bytes, `Length()` of them; valid until the next non-const call.
    const uint8_t* Data() const noexcept { return bytes_.data() + start_; }
    /// Number of live bytes (the model's 32-bit pending length).
    int32_t Length() const noexcept { return static_cast<int32_t>(bytes_.size() - start_); }
    bool IsEmpty() const noexcept { return start_ == bytes_.size(); }

    /// Adds bytes behind the live ones.
    void Append(const uint8_t* data, size_t count);
    /// Makes these bytes the whole content.
    void Replace(const uint8_t* data, size_t count);
    /// Drops the first `count` live bytes (at most Length()).
    void Consume(size_t count) noexcept;
    /// Drops everything; large storage is given back.
    void Clear() noexcept;

private:
    std::vector<uint8_t> bytes_;
    size_t start_ = 0;  // bytes before start_ are already sent; invariant start_ <= size()
};

}  // namespace tav
