// The FTP client's session states (ClientState) and their names for the debug log.
#pragma once

#include <cstdint>

namespace tav::ftpstate {

inline constexpr int32_t Disconnected = 0;
inline constexpr int32_t Resolving = 1;
inline constexpr int32_t ConnectPending = 2;
inline constexpr int32_t Connecting = 3;
inline constexpr int32_t Connected = 4;
inline constexpr int32_t UserSent = 5;
inline constexpr int32_t PassSent = 6;
inline constexpr int32_t AcctSent = 7;
inline constexpr int32_t Ready = 10;
// Over IPv6 EPSV and EPRT wait in these two: their replies mean what PASV's and PORT's do.
inline constexpr int32_t PasvSent = 11;
inline constexpr int32_t PortSent = 12;
inline constexpr int32_t DataConnecting = 14;
inline constexpr int32_t Listing = 15;
inline constexpr int32_t ChangingDir = 16;
inline constexpr int32_t RetrSent = 17;
inline constexpr int32_t Retrieving = 18;
inline constexpr int32_t Storing = 19;
inline constexpr int32_t StoreDone = 20;
inline constexpr int32_t StorSent = 21;
inline constexpr int32_t RestSent = 22;
// Explicit TLS (UseTLS): the greeting awaited before AUTH TLS, its reply, the handshake on
// the control connection, and the protection of data connections after the login.
inline constexpr int32_t TlsGreeting = 30;
inline constexpr int32_t AuthSent = 31;
inline constexpr int32_t ControlHandshake = 32;
inline constexpr int32_t PbszSent = 33;
inline constexpr int32_t ProtSent = 34;

/// The state's name ("Ready"), "?" for a number that is not one.
const char* Name(int32_t state) noexcept;

}  // namespace tav::ftpstate
