// Ordered list of items with optional unique text keys (the kernel's keyed object list).
//
// Positions are 1-based and exact: removing an entry closes the gap. Looking up a key is O(1)
// on average through a hash index; looking up an item is a linear scan (items compare with ==).
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

#include <algorithm>
#include <cstdint>
#include <functional>
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
        const size_t room = std::max(kFewNumbers, 2 * (entries_.size() + 1));
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
        entries_.push_back(Entry{std::move(item), std::move(key), slot, number});
        return true;
    }

    bool IsEmpty() const noexcept { return entries_.empty(); }
    int32_t Count() const noexcept { return static_cast<int32_t>(entries_.size()); }

    bool ContainsItem(const T& item) const { return PositionOfItem(item) > 0; }
    bool ContainsKey(const std::string& key) const { return PositionOfKey(key) > 0; }

    /// 1-based position of the first entry holding `item`; -1 when absent.
    int32_t PositionOfItem(const T& item) const {
        for (size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].item == item) return static_cast<int32_t>(i + 1);
        return -1;
    }
    /// 1-based position of the entry with `key`; -1 when absent.
    int32_t PositionOfKey(const std::string& key) const {
        if (key.empty()) return -1;
        if (const int32_t number = NumberOf(key); number >= 0) {
            const size_t at = static_cast<size_t>(number) < numbered_.size() ? numbered_[number] : kAbsent;
            if (at != kAbsent) return static_cast<int32_t>(at + 1);
            if (numbersInIndex_ == 0) return -1;
        }
        auto it = index_.find(key);
        return it == index_.end() ? -1 : static_cast<int32_t>(it->second + 1);
    }

    bool IsValidPosition(int32_t position) const noexcept { return position >= 1 && position <= Count(); }

    /// The item or key at a valid position; an invalid position raises library error 1.
    const T& ItemAt(int32_t position) const { return At(position).item; }
    T& ItemAt(int32_t position) { return entries_[Checked(position)].item; }
    const std::string& KeyAt(int32_t position) const { return At(position).key; }

    /// Removes the entry at a valid position; later entries move up by one. An invalid
    /// position raises library error 1.
    void RemoveAt(int32_t position) {
        size_t i = Checked(position);
        if (entries_[i].number >= 0) {
            numbered_[entries_[i].number] = kAbsent;
        } else if (!entries_[i].key.empty()) {
            index_.erase(entries_[i].key);
            if (NumberOf(entries_[i].key) >= 0) --numbersInIndex_;
        }
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
        for (size_t k = i; k < entries_.size(); ++k) {
            if (entries_[k].indexSlot) *entries_[k].indexSlot = k;
            if (entries_[k].number >= 0) numbered_[entries_[k].number] = k;
        }
    }

    void Clear() noexcept {
        entries_.clear();
        index_.clear();
        numbered_.clear();
        numbersInIndex_ = 0;
    }

    /// Entries in position order. Adding or removing invalidates the iterators.
    auto begin() const noexcept { return entries_.cbegin(); }
    auto end() const noexcept { return entries_.cend(); }

private:
    size_t Checked(int32_t position) const {
        if (!IsValidPosition(position)) RaiseSockError(kErrInvalidParameter);
        return static_cast<size_t>(position - 1);
    }
    const Entry& At(int32_t position) const { return entries_[Checked(position)]; }

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

    std::vector<Entry> entries_;
    // Key -> 0-based index into entries_. Node-based, so Entry::indexSlot stays valid across
    // rehashing.
    std::unordered_map<std::string, size_t, KeyHash, KeyEq> index_;
    std::vector<size_t> numbered_;  // key value -> 0-based index into entries_, or kAbsent
    size_t numbersInIndex_ = 0;     // keys NumberOf reads that were filed in index_ all the same
};

}  // namespace tav
