// Which thread's registry holds the asynchronous-select registration of each socket handle,
// readable from any thread without a lock.
//
// The socket calls that re-enable notifications may run on any thread, while a registration
// lives in the registry of the thread that owns its window. This table is the one place that
// answers "is this handle registered, and with whom?" for every thread: a token per handle
// (owner registry id and registration generation), changed only with atomic operations. The
// owner's own table follows it; where the two disagree, this table is right.
//
// Handles are descriptor numbers below kMaxHandle, kept in a HandleTable: a look-up is two
// atomic loads and never meets freed memory. Thread-safe.
#pragma once

#include "platform/HandleTable.hpp"

#include <atomic>
#include <cstdint>

namespace tav::sockintf::async {

/// Owner registry id in the high 32 bits, registration generation in the low 32; 0: none.
using Token = uint64_t;

inline constexpr Token MakeToken(uint32_t owner, uint32_t gen) { return uint64_t{owner} << 32 | gen; }
inline constexpr uint32_t OwnerOf(Token t) { return static_cast<uint32_t>(t >> 32); }
inline constexpr uint32_t GenOf(Token t) { return static_cast<uint32_t>(t); }

namespace slots_detail {
// Every registration's token. Constant-initialised: ready for a socket call made at any time.
extern constinit HandleTable<Token> gSlots;
}  // namespace slots_detail

class AsyncSelectSlots {
public:
    /// Descriptor numbers from here on cannot be registered (the default hard limit on open
    /// descriptors is far below it).
    static constexpr int kMaxHandle = HandleTable<Token>::kMaxHandle;

    /// The token of `s`; 0 when it is not registered (or out of range). Inline: every
    /// notification and every re-enabling call asks.
    static Token Load(int s) noexcept { return slots_detail::gSlots.Load(s); }
    /// Stores `t` for `s` and returns the token it replaces. False in `ok` only when the
    /// handle is out of range or its chunk cannot be allocated (nothing changed then).
    static Token Exchange(int s, Token t, bool& ok) noexcept;
    /// Replaces `expected` by `desired`; false (nothing changed) when `s` holds another token.
    static bool Replace(int s, Token expected, Token desired) noexcept;
    /// A new registration generation: non-zero, unique until 2^32 registrations later.
    static uint32_t NewGeneration() noexcept;
};

}  // namespace tav::sockintf::async
