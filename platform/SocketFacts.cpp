#include "platform/SocketFacts.hpp"

#include <atomic>

namespace tav::sockintf::facts {

constinit HandleTable<Facts> detail::gFacts;

namespace {

std::atomic<Facts>* Entry(int s) noexcept {
    return detail::gFacts.Find(s);
}

std::atomic<Facts>* EntryForWrite(int s) noexcept {
    return detail::gFacts.FindForWrite(s);
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
