// An ordered collection of sockets, reached by position or by key.
#pragma once

#include <tavsock/Object.hpp>
#include <tavsock/PropertyBag.hpp>
#include <tavsock/Variant.hpp>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace tav {

class TAVSocket;

/// Sockets in the order they were added, at positions 1 to Count; removing one closes the
/// gap. Each item may carry a text key, unique within the collection and compared without
/// regard to letter case; an empty key means none. Creatable ("TAVSock.TAVSockets"); each
/// socket manager keeps its sockets in one.
///
/// Checks: Item and Remove report an empty collection ("Collection can't be empty") and an
/// index that designates no item (a position outside 1 to Count, a key no item has, or a value
/// that is neither) to the diagnostics service, then fail with the library error 1 ("Invalid
/// Parameter"): there is no item to return or remove, and the one error number lets callers
/// treat every bad index alike. A number is a position; text, even numeric text, is a key.
///
/// Errors raised: library error 1 as above, and by Add for an empty socket reference; error
/// 457 ("This key is already associated with an element of this collection"), the
/// collection's duplicate-key error, when Add meets a key in use. A failed Add changes
/// nothing.
///
/// Thread rule: use on the creating thread. Lookup by key is O(1) on average; Contains is a
/// walk in position order (identity comparison).
class TAVSockets : public Object {
public:
    /// Error number of Add with a key already in use.
    static constexpr int32_t kErrDuplicateKey = 457;

    /// A new, empty collection.
    static std::shared_ptr<TAVSockets> Create();
    ~TAVSockets() override;
    std::string TypeName() const override { return "TAVSockets"; }

    /// "Returns the number of items the object contains."
    int32_t Count() const noexcept;
    /// "Returns the item specified by Index." Index: a position (1 to Count) or a key.
    /// Raises library error 1 when the checks fail (see above).
    std::shared_ptr<TAVSocket> Item(const Variant& Index) const;
    /// "Adds a new item to the collection." At the end, under `Key` unless it is empty.
    void Add(const std::shared_ptr<TAVSocket>& NewItem, const std::string& Key = "");
    /// "Removes all items from the collection."
    void Clear() noexcept;
    /// "Returns True if Obj is in the collection." That very object, not one on the same
    /// handle.
    bool Contains(const std::shared_ptr<TAVSocket>& Obj) const noexcept;
    /// "Returns True if the object contains no items."
    bool IsEmpty() const noexcept;
    /// "Returns True if Index is valid for the object." 1 <= Index <= Count.
    bool IsValidIndex(int32_t Index) const;
    /// "Returns True if the object contains the specified Key." Letter case does not matter;
    /// "" is never a key.
    bool IsValidKey(const std::string& Key) const;
    /// "Provides For/Each enumeration support." The items in position order, taken now: the
    /// collection may be changed while the result is walked.
    std::vector<std::shared_ptr<TAVSocket>> NewEnum() const;
    /// "Removes the item specified by Index." Later items move up by one. Raises library
    /// error 1 when the checks fail (see above).
    void Remove(const Variant& Index);

    /// Saves the collection: "TypeName" = "TAVSockets", "Count", then each item under
    /// "Item1", "Item2", ... in position order (one name per item; see PropertyBag). Keys are
    /// not saved.
    void WriteProperties(PropertyBag& bag) const;
    /// Restores a saved collection by appending its items, without keys. A "TypeName" other
    /// than "TAVSockets" changes nothing; an entry that does not hold a socket is reported to
    /// the diagnostics service and skipped, and a missing one (the store is shorter than its
    /// "Count") is reported and ends the restore. A "Count" that is not a number raises error
    /// 13 (type mismatch).
    void ReadProperties(const PropertyBag& bag);

    /// Position-order iteration for C++ (range-for). Iterators are positions: adding or
    /// removing items while iterating shifts what they designate; walk NewEnum() instead.
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::shared_ptr<TAVSocket>;
        using difference_type = std::ptrdiff_t;
        using pointer = const value_type*;
        using reference = const value_type&;

        const_iterator() = default;
        reference operator*() const { return mOwner->At(mPosition); }
        pointer operator->() const { return &mOwner->At(mPosition); }
        const_iterator& operator++() {
            ++mPosition;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++mPosition;
            return old;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) {
            return a.mOwner == b.mOwner && a.mPosition == b.mPosition;
        }

    private:
        friend class TAVSockets;
        const_iterator(const TAVSockets* owner, int32_t position) : mOwner(owner), mPosition(position) {}
        const TAVSockets* mOwner = nullptr;
        int32_t mPosition = 0;
    };
    const_iterator begin() const noexcept { return const_iterator(this, 1); }
    const_iterator end() const noexcept { return const_iterator(this, Count() + 1); }

private:
    struct Items;
    friend class TAVSocketMgr;  // removes the positions its handle index has already checked

    TAVSockets();
    /// Removes the entry at a valid position, unchecked.
    void RemoveAt(int32_t position);
    /// The item at a valid position, unchecked.
    const std::shared_ptr<TAVSocket>& At(int32_t position) const;
    /// The position that `Index` designates after the two checks; raises library error 1 when
    /// either failed.
    int32_t CheckedPosition(const Variant& Index, const char* emptyCheckProc, const char* indexCheckProc) const;

    std::unique_ptr<Items> mItems;
};

}  // namespace tav
