// Ordered list of items with optional unique text keys (the kernel's keyed object list).
//
// Positions are 1-based and exact: removing an entry closes the gap. Looking up a key is O(1)
// on average through a hash index, then O(log Count) to turn its slot into a position once
// anything was removed; looking up an item is a linear scan (items compare with ==). A removed
// entry leaves its slot empty rather than moving the later ones (LiveSlots ranks the rest), so
// removing is O(log Count) amortised; the slots are compacted when most are empty.
// Keys compare exactly by default; NoCaseKeyHash/NoCaseKeyEq give the case-insensitive
// comparison of collection keys. Not thread-safe: the list belongs to one thread.
//
// Keys that are decimal numbers as the library writes them ("0", "1234": digits, no leading
// zero) and small for the list's length are filed in a vector by their value instead of the
// hash index: a socket manager keys every accepted connection by its handle so, and filing
// tens of thousands of them in a hash index costs a node and its cache misses per connection.
// Such a key equals no other text under either comparison (digits have no case), so where it
// is filed is not seen.
#pragma once

#include <tavsock/Text.hpp>

#include "base/SockErrors.hpp"
#include "platform/LiveSlots.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tav {

/// Hash and equality of keys that ignore letter case (ISO-8859-1 letters).
struct NoCaseKeyHash {
    size_t operator()(const std::string& key) const noexcept {
        size_t h = 14695981039346656037ull;  // FNV-1a over the folded characters
        for (char c : key) h = (h ^ static_cast<unsigned char>(FoldCase(c))) * 1099511628211ull;
        return h;
    }
};
struct NoCaseKeyEq {
    bool operator()(const std::string& a, const std::string& b) const noexcept { return TextEqualNoCase(a, b); }
};

template <class T, class KeyHash = std::hash<std::string>, class KeyEq = std::equal_to<std::string>>
class KeyedList {
public:
    struct Entry {
        T item;
        std::string key;                 // "" when the item has no key
        size_t* indexSlot = nullptr;     // the key's slot in the index; null without one there
        int32_t number = -1;             // a key filed by its value: the value, else -1
    };

    KeyedList() = default;
    // Entries point into the index's nodes, which a move keeps and a copy would not.
    KeyedList(const KeyedList&) = delete;
    KeyedList& operator=(const KeyedList&) = delete;
    KeyedList(KeyedList&&) = default;
    KeyedList& operator=(KeyedList&&) = default;

    /// Appends `item` under `key`; an empty key appends it without one. Returns false, and
    /// leaves the list unchanged, when an entry already has that key.
    bool Add(T item, std::string key = {}) {
        size_t* slot = nullptr;
        int32_t number = NumberOf(key);
        if (number >= 0 && PositionOfKey(key) > 0) return false;
        // The vector stays in proportion to the list: a large number in a short list is
        // filed in the hash index like any other key.
        const size_t room = std::max(kFewNumbers, 2 * (live_.Live() + 1));
        if (number >= 0 && static_cast<size_t>(number) >= std::max(room, numbered_.size())) {
            number = -1;
            ++numbersInIndex_;
        }
        if (number >= 0) {
            if (static_cast<size_t>(number) >= numbered_.size())
                numbered_.resize(std::max(static_cast<size_t>(number) + 1, room), kAbsent);
            numbered_[number] = entries_.size();
        } else if (!key.empty()) {
            auto [it, inserted] = index_.try_emplace(key, entries_.size());
            if (!inserted) return false;
            slot = &it->second;
        }
        entries_.emplace_back(Entry{std::move(item), std::move(key), slot, number});
        live_.Append();
        return true;
    }

    bool IsEmpty() const noexcept { return live_.Live() == 0; }
    int32_t Count() const noexcept { return static_cast<int32_t>(live_.Live()); }

    bool ContainsItem(const T& item) const { return PositionOfItem(item) > 0; }
    bool ContainsKey(const std::string& key) const { return PositionOfKey(key) > 0; }

    /// 1-based position of the first entry holding `item`; -1 when absent.
    int32_t PositionOfItem(const T& item) const {
        int32_t position = 0;
        for (const Entry& entry : *this) {
            ++position;
            if (entry.item == item) return position;
        }
        return -1;
    }
    /// 1-based position of the entry with `key`; -1 when absent.
    int32_t PositionOfKey(const std::string& key) const {
        if (key.empty()) return -1;
        if (const int32_t number = NumberOf(key); number >= 0) {
            const size_t at = static_cast<size_t>(number) < numbered_.size() ? numbered_[number] : kAbsent;
            if (at != kAbsent) return PositionOfSlot(at);
            if (numbersInIndex_ == 0) return -1;
        }
        auto it = index_.find(key);
        return it == index_.end() ? -1 : PositionOfSlot(it->second);
    }

    bool IsValidPosition(int32_t position) const noexcept { return position >= 1 && position <= Count(); }

    /// The item or key at a valid position; an invalid position raises library error 1.
    const T& ItemAt(int32_t position) const { return At(position).item; }
    T& ItemAt(int32_t position) { return entries_[Checked(position)]->item; }
    const std::string& KeyAt(int32_t position) const { return At(position).key; }

    /// Removes the entry at a valid position (the item is let go of at once); later entries
    /// move up by one. An invalid position raises library error 1.
    void RemoveAt(int32_t position) {
        const size_t i = Checked(position);
        Entry& entry = *entries_[i];
        if (entry.number >= 0) {
            numbered_[entry.number] = kAbsent;
        } else if (!entry.key.empty()) {
            index_.erase(entry.key);
            if (NumberOf(entry.key) >= 0) --numbersInIndex_;
        }
        entries_[i].reset();
        live_.Kill(i);
        if (live_.WantsCompaction()) Compact();
    }

    void Clear() noexcept {
        entries_.clear();
        live_.Reset(0);
        index_.clear();
        numbered_.clear();
        numbersInIndex_ = 0;
    }

    /// Walks the entries in position order, passing over emptied slots.
    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using pointer = const Entry*;
        using reference = const Entry&;
        using Slots = std::vector<std::optional<Entry>>;

        Iterator() = default;
        Iterator(typename Slots::const_iterator at, typename Slots::const_iterator end) : at_(at), end_(end) { Skip(); }
        const Entry& operator*() const { return **at_; }
        const Entry* operator->() const { return &**at_; }
        Iterator& operator++() {
            ++at_;
            Skip();
            return *this;
        }
        Iterator operator++(int) {
            Iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const Iterator& other) const { return at_ == other.at_; }

    private:
        void Skip() {
            while (at_ != end_ && !at_->has_value()) ++at_;
        }
        typename Slots::const_iterator at_{};
        typename Slots::const_iterator end_{};
    };

    /// Entries in position order. Adding or removing invalidates the iterators.
    Iterator begin() const noexcept { return Iterator(entries_.cbegin(), entries_.cend()); }
    Iterator end() const noexcept { return Iterator(entries_.cend(), entries_.cend()); }

private:
    // The slot of a valid position; an invalid one raises library error 1.
    size_t Checked(int32_t position) const {
        if (!IsValidPosition(position)) RaiseSockError(kErrInvalidParameter);
        return live_.SlotAt(static_cast<size_t>(position - 1));
    }
    const Entry& At(int32_t position) const { return *entries_[Checked(position)]; }
    int32_t PositionOfSlot(size_t slot) const { return static_cast<int32_t>(live_.RankOf(slot) + 1); }

    // Moves the live entries together, in order, and files them under their new slots.
    void Compact() {
        size_t to = 0;
        for (auto& slot : entries_) {
            if (!slot) continue;
            if (slot->indexSlot) *slot->indexSlot = to;
            if (slot->number >= 0) numbered_[slot->number] = to;
            if (&slot != &entries_[to]) entries_[to] = std::move(slot);
            ++to;
        }
        entries_.resize(to);
        live_.Reset(to);
    }

    // Keys filed by number are below this, and below twice the list's length or this few.
    static constexpr int32_t kNumbered = 1 << 20;
    static constexpr size_t kFewNumbers = 4096;
    static constexpr size_t kAbsent = SIZE_MAX;
    // The value of a key filed by number, else -1.
    static int32_t NumberOf(const std::string& key) noexcept {
        if (key.empty() || key.size() > 7 || (key[0] == '0' && key.size() > 1)) return -1;
        int32_t value = 0;
        for (const char c : key) {
            if (c < '0' || c > '9') return -1;
            value = value * 10 + (c - '0');
        }
        return value < kNumbered ? value : -1;
    }

    std::vector<std::optional<Entry>> entries_;  // by slot; a removed entry leaves its slot empty
    LiveSlots live_;                             // which slots hold entries, and their positions
    // Key -> slot in entries_. Node-based, so Entry::indexSlot stays valid across rehashing.
    std::unordered_map<std::string, size_t, KeyHash, KeyEq> index_;
    std::vector<size_t> numbered_;  // key value -> slot in entries_, or kAbsent
    size_t numbersInIndex_ = 0;     // keys NumberOf reads that were filed in index_ all the same
};

}  // namespace tav
