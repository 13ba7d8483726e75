// The FIFO of a thread's posted items: a ring over one buffer that keeps its room, so that
// posting and taking messages allocates nothing once the queue has been as long as it gets.
// (A std::deque frees a block every few items taken and allocates one every few posted: with
// one notification per message that was an allocation every eight messages.)
//
// Owner thread only.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace tav::platform {

template <class T>
class QueueFifo {
public:
    bool empty() const noexcept { return count_ == 0; }
    size_t size() const noexcept { return count_; }
    T& front() noexcept { return slots_[head_]; }
    const T& front() const noexcept { return slots_[head_]; }

    void push_back(T&& item) {
        if (count_ == slots_.size()) Grow();
        slots_[(head_ + count_) & (slots_.size() - 1)] = std::move(item);
        ++count_;
    }
    /// Takes the first item out; what it held is released now (a task's captures), not when
    /// its slot is used again.
    void pop_front() noexcept {
        slots_[head_] = T{};
        head_ = (head_ + 1) & (slots_.size() - 1);
        --count_;
    }
    void swap(QueueFifo& other) noexcept {
        slots_.swap(other.slots_);
        std::swap(head_, other.head_);
        std::swap(count_, other.count_);
    }

private:
    /// Doubles the room (a power of two, so positions wrap with a mask), items in order.
    void Grow() {
        std::vector<T> bigger(slots_.empty() ? 16 : slots_.size() * 2);
        for (size_t i = 0; i < count_; ++i) bigger[i] = std::move(slots_[(head_ + i) & (slots_.size() - 1)]);
        slots_.swap(bigger);
        head_ = 0;
    }

    std::vector<T> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
};

}  // namespace tav::platform
