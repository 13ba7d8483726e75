// The library's own raised errors.
//
// Library errors carry the number 0x80040200 + code, the source "TAV Winsock Library" and a
// description chosen by the code. Callers pass 1 to 5 for their own checks and a Windows
// Sockets error number (read with intWSAGetLastError) for a failed socket call.
#pragma once

#include <tavsock/SockError.hpp>

#include <cstdint>
#include <string>

namespace tav {

/// Library error codes with a text of their own.
inline constexpr int32_t kErrInvalidParameter = 1;
inline constexpr int32_t kErrInvalidState = 2;
inline constexpr int32_t kErrHostFile = 3;

/// The number a library error with `code` carries (wraps like the 32-bit addition it is).
constexpr int32_t SockErrorNumber(int32_t code) noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(kSockErrorBase) + static_cast<uint32_t>(code));
}

/// Description of a library error: the three fixed texts, otherwise "WSAGetLastError Value "
/// followed by the code in decimal.
std::string SockErrorDescription(int32_t code);

/// Throws SockError(SockErrorNumber(code), "TAV Winsock Library", SockErrorDescription(code)).
[[noreturn]] void RaiseSockError(int32_t code);

/// Throws a bare socket error: the Windows Sockets number itself, empty source and
/// description (what SocketOption and the send methods raise for a failed socket call).
[[noreturn]] void RaiseBareSocketError(int32_t wsaError);

}  // namespace tav
