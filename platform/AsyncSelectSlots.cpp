#include "platform/AsyncSelectSlots.hpp"

#include <atomic>

namespace tav::sockintf::async {

constinit HandleTable<Token> slots_detail::gSlots;

namespace {

std::atomic<uint32_t> gNextGen{1};

std::atomic<Token>* Slot(int s) noexcept {
    return slots_detail::gSlots.Find(s);
}

std::atomic<Token>* SlotForWrite(int s) noexcept {
    return slots_detail::gSlots.FindForWrite(s);
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
