#include "platform/AsyncSelectSlots.hpp"

#include <atomic>
#include <new>

namespace tav::sockintf::async {

std::atomic<slots_detail::Chunk*> slots_detail::gChunks[AsyncSelectSlots::kMaxHandle / slots_detail::kChunkSize];

namespace {

using slots_detail::Chunk;
using slots_detail::gChunks;
using slots_detail::kChunkBits;
using slots_detail::kChunkSize;

std::atomic<uint32_t> gNextGen{1};

std::atomic<Token>* Slot(int s) noexcept {
    if (s < 0 || s >= AsyncSelectSlots::kMaxHandle) return nullptr;
    Chunk* chunk = gChunks[s >> kChunkBits].load(std::memory_order_acquire);
    return chunk != nullptr ? &chunk->slots[s & (kChunkSize - 1)] : nullptr;
}

std::atomic<Token>* SlotForWrite(int s) noexcept {
    if (s < 0 || s >= AsyncSelectSlots::kMaxHandle) return nullptr;
    std::atomic<Chunk*>& entry = gChunks[s >> kChunkBits];
    Chunk* chunk = entry.load(std::memory_order_acquire);
    if (chunk == nullptr) {
        auto* fresh = new (std::nothrow) Chunk;
        if (fresh == nullptr) return nullptr;
        if (entry.compare_exchange_strong(chunk, fresh, std::memory_order_acq_rel))
            chunk = fresh;
        else
            delete fresh;  // another thread installed its chunk first; `chunk` holds it
    }
    return &chunk->slots[s & (kChunkSize - 1)];
}

}  // namespace

Token AsyncSelectSlots::Exchange(int s, Token t, bool& ok) noexcept {
    std::atomic<Token>* slot = t != 0 ? SlotForWrite(s) : Slot(s);
    ok = slot != nullptr || (t == 0 && s >= 0 && s < kMaxHandle);
    return slot != nullptr ? slot->exchange(t, std::memory_order_acq_rel) : 0;
}

bool AsyncSelectSlots::Replace(int s, Token expected, Token desired) noexcept {
    std::atomic<Token>* slot = desired != 0 ? SlotForWrite(s) : Slot(s);
    if (slot == nullptr) return expected == 0 && desired == 0;
    return slot->compare_exchange_strong(expected, desired, std::memory_order_acq_rel);
}

uint32_t AsyncSelectSlots::NewGeneration() noexcept {
    uint32_t g;
    do {
        g = gNextGen.fetch_add(1, std::memory_order_relaxed);
    } while (g == 0);
    return g;
}

}  // namespace tav::sockintf::async
