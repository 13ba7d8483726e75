#include "platform/SocketFacts.hpp"

#include <atomic>
#include <new>

namespace tav::sockintf::facts {

std::atomic<detail::Chunk*> detail::gChunks[kMaxHandle / detail::kChunkSize];

namespace {

using detail::Chunk;
using detail::gChunks;
using detail::kChunkBits;
using detail::kChunkSize;

std::atomic<Facts>* Entry(int s) noexcept {
    if (s < 0 || s >= kMaxHandle) return nullptr;
    Chunk* chunk = gChunks[s >> kChunkBits].load(std::memory_order_acquire);
    return chunk != nullptr ? &chunk->facts[s & (kChunkSize - 1)] : nullptr;
}

std::atomic<Facts>* EntryForWrite(int s) noexcept {
    if (s < 0 || s >= kMaxHandle) return nullptr;
    std::atomic<Chunk*>& slot = gChunks[s >> kChunkBits];
    Chunk* chunk = slot.load(std::memory_order_acquire);
    if (chunk == nullptr) {
        auto* fresh = new (std::nothrow) Chunk;
        if (fresh == nullptr) return nullptr;
        if (slot.compare_exchange_strong(chunk, fresh, std::memory_order_acq_rel))
            chunk = fresh;
        else
            delete fresh;  // another thread was first; `chunk` holds its chunk
    }
    return &chunk->facts[s & (kChunkSize - 1)];
}

}  // namespace

void Open(int s, Facts f) noexcept {
    if (std::atomic<Facts>* e = EntryForWrite(s)) e->store(f, std::memory_order_release);
}

void Close(int s) noexcept {
    if (std::atomic<Facts>* e = Entry(s)) e->store(0, std::memory_order_release);
}

void Add(int s, Facts bits) noexcept {
    std::atomic<Facts>* e = Entry(s);
    if (e == nullptr) return;
    Facts old = e->load(std::memory_order_relaxed);
    while ((old & kKnown) != 0 && !e->compare_exchange_weak(old, static_cast<Facts>(old | bits), std::memory_order_acq_rel)) {
    }
}

void Remove(int s, Facts bits) noexcept {
    if (std::atomic<Facts>* e = Entry(s)) e->fetch_and(static_cast<Facts>(~bits), std::memory_order_acq_rel);
}

}  // namespace tav::sockintf::facts
