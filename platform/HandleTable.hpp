// One atomic value per descriptor number, read and written from any thread without a lock.
//
// The values live in chunks of 4,096 made on the first write into their range and never
// freed: a reader on another thread may be at any entry at any moment. The chunks stay
// reachable from the table, so leak checkers do not count them. Numbers at or above kMaxHandle
// (far above the default hard limit on open descriptors) have no entry.
#pragma once

#include <atomic>
#include <new>

namespace tav::sockintf {

template <class T>
class HandleTable {
public:
    static constexpr int kMaxHandle = 1 << 20;

    constexpr HandleTable() = default;
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    /// The value of `s`; T{} when it has no entry. Inline: the callers sit on hot paths.
    T Load(int s) const noexcept {
        const std::atomic<T>* e = Find(s);
        return e != nullptr ? e->load(std::memory_order_acquire) : T{};
    }
    /// The entry of `s`; null when out of range or never written.
    std::atomic<T>* Find(int s) const noexcept {
        if (static_cast<unsigned>(s) >= static_cast<unsigned>(kMaxHandle)) return nullptr;
        Chunk* chunk = chunks_[s >> kChunkBits].load(std::memory_order_acquire);
        return chunk != nullptr ? &chunk->values[s & (kChunkSize - 1)] : nullptr;
    }
    /// The entry of `s`, its chunk made when needed; null when out of range or out of memory.
    std::atomic<T>* FindForWrite(int s) noexcept {
        if (static_cast<unsigned>(s) >= static_cast<unsigned>(kMaxHandle)) return nullptr;
        std::atomic<Chunk*>& entry = chunks_[s >> kChunkBits];
        Chunk* chunk = entry.load(std::memory_order_acquire);
        if (chunk == nullptr) {
            auto* fresh = new (std::nothrow) Chunk;
            if (fresh == nullptr) return nullptr;
            if (entry.compare_exchange_strong(chunk, fresh, std::memory_order_acq_rel))
                chunk = fresh;
            else
                delete fresh;  // another thread installed its chunk first; `chunk` holds it
        }
        return &chunk->values[s & (kChunkSize - 1)];
    }

private:
    static constexpr int kChunkBits = 12;
    static constexpr int kChunkSize = 1 << kChunkBits;
    struct Chunk {
        std::atomic<T> values[kChunkSize];  // zero-initialised (C++20 atomics)
    };
    mutable std::atomic<Chunk*> chunks_[kMaxHandle / kChunkSize]{};
};

}  // namespace tav::sockintf
