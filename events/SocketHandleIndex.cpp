#include "events/SocketHandleIndex.hpp"

#include <tavsock/TAVSocket.hpp>

#include <algorithm>
#include <cassert>

namespace tav {

void SocketHandleIndex::Append(const std::shared_ptr<TAVSocket>& socket) {
    ++changes_;
    const uint64_t sequence = nextSequence_++;
    const int32_t handle = socket->Handle();
    byHandle_[handle].push_back(Entry{sequence, socket});
    slots_.push_back(Slot{sequence, handle});
}

void SocketHandleIndex::RemoveAt(int32_t position) {
    if (position < 1 || position > Count()) return;
    ++changes_;
    const auto slot = slots_.begin() + (position - 1);
    const uint64_t sequence = slot->sequence;
    auto list = byHandle_.find(slot->handle);
    slots_.erase(slot);
    assert(list != byHandle_.end());
    if (list == byHandle_.end()) return;
    std::vector<Entry>& entries = list->second;
    std::erase_if(entries, [sequence](const Entry& e) { return e.sequence == sequence; });
    if (entries.empty()) byHandle_.erase(list);
}

void SocketHandleIndex::Clear() noexcept {
    ++changes_;
    slots_.clear();
    byHandle_.clear();
}

std::shared_ptr<TAVSocket> SocketHandleIndex::Find(int32_t handle) const {
    auto list = byHandle_.find(handle);
    if (list == byHandle_.end()) return nullptr;
    // The list is in position order; the first entry is the answer.
    assert(list->second.front().socket->Handle() == handle);
    return list->second.front().socket;
}

bool SocketHandleIndex::Holds(const std::shared_ptr<TAVSocket>& socket) const {
    if (!socket) return false;
    auto list = byHandle_.find(socket->Handle());
    if (list == byHandle_.end()) return false;
    return std::any_of(list->second.begin(), list->second.end(),
                       [&socket](const Entry& e) { return e.socket == socket; });
}

int32_t SocketHandleIndex::PositionOf(const std::shared_ptr<TAVSocket>& socket) const {
    if (!socket) return 0;
    auto list = byHandle_.find(socket->Handle());
    if (list == byHandle_.end()) return 0;
    for (const Entry& e : list->second) {
        if (e.socket != socket) continue;
        // Slots are in sequence order (appended in order, removals keep it).
        const auto slot = std::lower_bound(slots_.begin(), slots_.end(), e.sequence,
                                           [](const Slot& s, uint64_t sequence) { return s.sequence < sequence; });
        if (slot == slots_.end() || slot->sequence != e.sequence) return 0;
        return static_cast<int32_t>(slot - slots_.begin()) + 1;
    }
    return 0;
}

}  // namespace tav
