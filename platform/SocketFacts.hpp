// What the socket interface layer remembers of the sockets it opened, so that a later call
// need not ask the kernel what the layer itself did: the socket's type, whether it is
// non-blocking, whether it has ever been bound, connected or listened.
//
// Facts are set when intsocket or intaccept opens a handle and dropped when the layer closes
// it; a handle the layer did not open has none (Load gives 0), and callers then ask the
// kernel as before. Only the layer's own calls keep facts true, so they hold for sockets
// that are driven through the layer alone, which is what its handles are for.
//
// Handles are descriptor numbers below kMaxHandle, in chunks allocated on first use and kept
// for the life of the process (a HandleTable, as AsyncSelectSlots has). Thread-safe.
#pragma once

#include "platform/HandleTable.hpp"

#include <atomic>
#include <cstdint>

namespace tav::sockintf::facts {

using Facts = uint16_t;

inline constexpr Facts kKnown = 0x01;          // opened by this layer; the other bits are valid
inline constexpr Facts kDatagram = 0x02;       // a datagram socket (else a stream socket)
inline constexpr Facts kNonBlocking = 0x04;    // O_NONBLOCK is set
inline constexpr Facts kNeverConnected = 0x08; // no connect or listen yet: the TCP state is CLOSE
inline constexpr Facts kUnbound = 0x10;        // no bind, connect or listen yet: no address
inline constexpr Facts kBindDeferred = 0x20;   // bound to any address, port 0, on paper only
// The owner of the socket's registration counted the bytes left after the end of the stream
// and nothing has been received since: the count still holds (see RememberedBytesWaiting).
// Cleared at once by any re-enabling call, on whatever thread it is made.
inline constexpr Facts kWaitingCounted = 0x40;
inline constexpr Facts kInet6 = 0x80;          // an IPv6 socket (else IPv4)
// A send or receive took the error of a connection the stack gave up (timed out or aborted):
// the socket no longer holds it, and its FD_CLOSE must still say 10053 rather than 10054.
inline constexpr Facts kAborted = 0x100;
// An option was set through the layer: a change of family must carry the options over.
inline constexpr Facts kOptionsSet = 0x200;
// FD_WRITE was posted from a poll that found the socket writable, and nothing has been sent
// since: the reader of that notification knows the answer to "writable?" without asking.
inline constexpr Facts kWritableKnown = 0x400;

inline constexpr int kMaxHandle = HandleTable<Facts>::kMaxHandle;

namespace detail {
extern constinit HandleTable<Facts> gFacts;
}  // namespace detail

/// The facts of `s`; 0 when none are known. Inline: every receive asks.
inline Facts Load(int s) noexcept {
    return detail::gFacts.Load(s);
}
/// Replaces the facts of a handle just opened. A handle beyond kMaxHandle (or no memory for
/// its chunk) simply has none.
void Open(int s, Facts f) noexcept;
/// Forgets `s` (before its descriptor is closed, so the number is not yet reused).
void Close(int s) noexcept;
/// Adds or removes bits of a known socket; nothing for an unknown one.
void Add(int s, Facts bits) noexcept;
void Remove(int s, Facts bits) noexcept;

}  // namespace tav::sockintf::facts
