// Ranks of the live slots of an append-only array whose removed entries stay in place.
//
// Shifting every later entry down on a removal makes closing N entries one by one cost N^2;
// instead an owner marks a removed slot dead and asks this class where the live ones stand:
// the slot of the k-th live entry (SlotAt) and how many live entries come before a slot
// (RankOf), both O(log slots) through a binary indexed tree over the slots' liveness. While no
// slot is dead the tree is not kept and both answers are the identity, so a list that only
// grows pays nothing. The owner compacts (moves the live entries together, then Reset) when
// WantsCompaction says dead slots outnumber live ones, which keeps the array at most about
// twice its length and the rebuild amortised O(1) per removal.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tav {

class LiveSlots {
public:
    size_t Live() const noexcept { return live_; }

    /// A new live slot after the last one.
    void Append() {
        ++live_;
        if (tree_.empty()) return;
        // Node i counts the slots (i - lowbit(i), i]: this one plus the nodes that cover the rest.
        const size_t i = tree_.size() + 1;
        uint32_t count = 1;
        for (size_t j = i - 1; j > i - LowBit(i); j -= LowBit(j)) count += tree_[j - 1];
        tree_.push_back(count);
    }
    /// Marks live slot `slot` (0-based) dead. The owner calls this once per slot.
    void Kill(size_t slot) {
        if (tree_.empty()) {
            // All slots were live: node i covers lowbit(i) of them.
            tree_.resize(live_);
            for (size_t i = 1; i <= live_; ++i) tree_[i - 1] = static_cast<uint32_t>(LowBit(i));
        }
        for (size_t i = slot + 1; i <= tree_.size(); i += LowBit(i)) --tree_[i - 1];
        --live_;
        ++dead_;
    }
    /// True when the owner should compact its array and call Reset.
    bool WantsCompaction() const noexcept { return dead_ > live_; }
    /// The array now holds `live` slots, all live.
    void Reset(size_t live) noexcept {
        live_ = live;
        dead_ = 0;
        tree_.clear();
    }

    /// The slot of the live entry with 0-based rank `rank` (< Live()).
    size_t SlotAt(size_t rank) const noexcept {
        if (dead_ == 0) return rank;
        size_t at = 0;  // nodes 1..at hold fewer than `left` live slots in all
        size_t left = rank + 1;
        for (size_t step = std::bit_floor(tree_.size()); step != 0; step >>= 1) {
            if (at + step <= tree_.size() && tree_[at + step - 1] < left) {
                at += step;
                left -= tree_[at - 1];
            }
        }
        return at;
    }
    /// The number of live slots before `slot`: a live slot's 0-based rank.
    size_t RankOf(size_t slot) const noexcept {
        if (dead_ == 0) return slot;
        size_t rank = 0;
        for (size_t i = slot; i != 0; i -= LowBit(i)) rank += tree_[i - 1];
        return rank;
    }

private:
    static size_t LowBit(size_t i) noexcept { return i & (~i + 1); }

    size_t live_ = 0;
    size_t dead_ = 0;
    std::vector<uint32_t> tree_;  // 1-based nodes stored from 0; empty while no slot is dead
};

}  // namespace tav
