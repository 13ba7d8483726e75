#include "events/SocketHandleIndex.hpp"

#include <tavsock/TAVSocket.hpp>

#include <algorithm>
#include <cassert>

namespace tav {

SocketHandleIndex::List* SocketHandleIndex::ListOf(int32_t handle, bool make) {
    if (handle >= 0 && handle < kDenseHandles) {
        const auto at = static_cast<size_t>(handle);
        if (at >= dense_.size()) {
            if (!make) return nullptr;
            dense_.resize(at + 1);
        }
        return &dense_[at];
    }
    if (make) return &byHandle_[handle];
    auto it = byHandle_.find(handle);
    return it == byHandle_.end() ? nullptr : &it->second;
}

const SocketHandleIndex::List* SocketHandleIndex::ListOf(int32_t handle) const {
    if (handle >= 0 && handle < kDenseHandles) {
        const auto at = static_cast<size_t>(handle);
        return at < dense_.size() && !dense_[at].empty() ? &dense_[at] : nullptr;
    }
    auto it = byHandle_.find(handle);
    return it == byHandle_.end() || it->second.empty() ? nullptr : &it->second;
}

void SocketHandleIndex::Append(const std::shared_ptr<TAVSocket>& socket) {
    const int32_t handle = socket->Handle();
    List& list = *ListOf(handle, true);
    slots_.push_back(Slot{nextSequence_, handle});
    try {
        list.push_back(Entry{nextSequence_, socket});
        live_.Append();
    } catch (...) {
        if (!list.empty() && list.back().sequence == nextSequence_) list.pop_back();
        slots_.pop_back();
        throw;
    }
    ++nextSequence_;
    ++changes_;
}

void SocketHandleIndex::RemoveAt(int32_t position) {
    if (position < 1 || position > Count()) return;
    ++changes_;
    const size_t at = live_.SlotAt(static_cast<size_t>(position - 1));
    const uint64_t sequence = slots_[at].sequence;
    const int32_t handle = slots_[at].handle;
    slots_[at].removed = true;
    live_.Kill(at);
    if (live_.WantsCompaction()) {
        std::erase_if(slots_, [](const Slot& s) { return s.removed; });
        live_.Reset(slots_.size());
    }
    List* list = ListOf(handle, false);
    assert(list != nullptr);
    if (list == nullptr) return;
    // Erased in place: the vector keeps its storage for the next socket with this number.
    std::erase_if(*list, [sequence](const Entry& e) { return e.sequence == sequence; });
    if (list->empty() && (handle < 0 || handle >= kDenseHandles)) byHandle_.erase(handle);
}

void SocketHandleIndex::Clear() noexcept {
    ++changes_;
    slots_.clear();
    live_.Reset(0);
    dense_.clear();
    byHandle_.clear();
}

std::shared_ptr<TAVSocket> SocketHandleIndex::Find(int32_t handle) const {
    const List* list = ListOf(handle);
    if (list == nullptr) return nullptr;
    // The list is in position order; the first entry is the answer.
    assert(list->front().socket->Handle() == handle);
    return list->front().socket;
}

bool SocketHandleIndex::Holds(const std::shared_ptr<TAVSocket>& socket) const {
    if (!socket) return false;
    const List* list = ListOf(socket->Handle());
    if (list == nullptr) return false;
    return std::any_of(list->begin(), list->end(),
                       [&socket](const Entry& e) { return e.socket == socket; });
}

int32_t SocketHandleIndex::PositionOf(const std::shared_ptr<TAVSocket>& socket) const {
    if (!socket) return 0;
    const List* list = ListOf(socket->Handle());
    if (list == nullptr) return 0;
    for (const Entry& e : *list) {
        if (e.socket != socket) continue;
        // Slots are in sequence order (appended in order; removals mark or compact).
        const auto slot = std::lower_bound(slots_.begin(), slots_.end(), e.sequence,
                                           [](const Slot& s, uint64_t sequence) { return s.sequence < sequence; });
        if (slot == slots_.end() || slot->sequence != e.sequence || slot->removed) return 0;
        return static_cast<int32_t>(live_.RankOf(static_cast<size_t>(slot - slots_.begin()))) + 1;
    }
    return 0;
}

}  // namespace tav
