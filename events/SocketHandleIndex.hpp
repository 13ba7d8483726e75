// Index from socket handle to the sockets of a manager's collection, for the notification
// dispatch.
//
// The manager's collection and this index change together (the manager is the only one that
// adds to or removes from its collection). Each entry remembers the handle its socket had
// when it was added; a socket's handle does not change while a manager holds it (the library
// sets it only before registering the socket). The same handle may be under several sockets:
// a handle closed behind a socket's back can be reused by a new socket while the old object is
// still held.
//
// Positions are not stored: items only ever go to the end of the collection, so the order in
// which entries were added is their position order. Each entry carries an ever-increasing
// sequence number; the per-handle lists stay in that order, so the first entry of a list is
// the one at the lowest position. `slots_` (in sequence order) says under which handle and
// sequence number each entry is filed; a removed entry's slot stays, marked, until most are
// (then they are compacted), and LiveSlots turns slots into positions and back.
//
// Costs: Find and Holds O(1) (the lists are almost always one entry long); PositionOf
// O(log Count); Append O(1) amortised; RemoveAt O(log Count) amortised. Handles are descriptor numbers, small and reused as sockets come and go, so the lists
// live in a vector indexed by handle and keep their storage when emptied: after the first use
// of a number, filing a socket under it allocates nothing. Other handles (negative, or beyond
// kDenseHandles) go to a hash map.
#pragma once

#include "platform/LiveSlots.hpp"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace tav {

class TAVSocket;

class SocketHandleIndex {
public:
    /// Records `socket`, just added at the end of the collection, under its current handle.
    void Append(const std::shared_ptr<TAVSocket>& socket);
    /// Forgets the entry at `position` (1-based), just removed from the collection.
    void RemoveAt(int32_t position);
    void Clear() noexcept;

    /// The socket at the lowest position whose handle is `handle`; null when none.
    std::shared_ptr<TAVSocket> Find(int32_t handle) const;
    /// True when that very socket is in the collection.
    bool Holds(const std::shared_ptr<TAVSocket>& socket) const;
    /// 1-based position of that very socket (the first, were it there twice), found through
    /// its handle in O(log Count); 0 when it is not filed under its current handle.
    int32_t PositionOf(const std::shared_ptr<TAVSocket>& socket) const;

    int32_t Count() const noexcept { return static_cast<int32_t>(live_.Live()); }
    /// Counts every change of the collection: an answer of Find or Holds stays true while
    /// this does not move, so a caller asking about one socket many times asks once.
    uint64_t Changes() const noexcept { return changes_; }

private:
    struct Entry {
        uint64_t sequence;
        std::shared_ptr<TAVSocket> socket;
    };
    struct Slot {
        uint64_t sequence;
        int32_t handle;  // the handle the entry is filed under
        bool removed = false;
    };
    using List = std::vector<Entry>;  // sorted by sequence
    // Bounds the vector: a handle this large is no descriptor number a process really has.
    static constexpr int32_t kDenseHandles = 1 << 20;

    // The list of `handle`, made when `make` is true; null when it has none.
    List* ListOf(int32_t handle, bool make);
    const List* ListOf(int32_t handle) const;

    std::vector<Slot> slots_;                        // one per entry added since the last compaction
    LiveSlots live_;                                 // which slots are not removed, and their positions
    std::vector<List> dense_;                        // lists of handles 0 .. kDenseHandles - 1
    std::unordered_map<int32_t, List> byHandle_;     // lists of other handles
    uint64_t nextSequence_ = 0;
    uint64_t changes_ = 0;
};

}  // namespace tav
