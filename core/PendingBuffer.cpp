#include "core/PendingBuffer.hpp"

#include <algorithm>

namespace tav {

namespace {
// Storage above this size is released when the buffer empties, so one large send does not
// pin its memory for the life of the socket.
constexpr size_t kKeptCapacity = 64 * 1024;
}  // namespace

void PendingBuffer::Append(const uint8_t* data, size_t count) {
    if (count == 0) return;
    if (IsEmpty()) {
        Replace(data, count);
        return;
    }
    // Compact only when the dead prefix is at least as large as the live rest: the bytes
    // moved are then paid for by the bytes already consumed.
    if (start_ > 0 && start_ >= bytes_.size() - start_) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    bytes_.insert(bytes_.end(), data, data + count);
}

void PendingBuffer::Replace(const uint8_t* data, size_t count) {
    bytes_.assign(data, data + count);
    start_ = 0;
}

void PendingBuffer::Consume(size_t count) noexcept {
    start_ += std::min(count, bytes_.size() - start_);
    if (start_ == bytes_.size()) {
        bytes_.clear();
        start_ = 0;
    }
}

void PendingBuffer::Clear() noexcept {
    if (bytes_.capacity() > kKeptCapacity)
        std::vector<uint8_t>().swap(bytes_);
    else
        bytes_.clear();
    start_ = 0;
}

}  // namespace tav
