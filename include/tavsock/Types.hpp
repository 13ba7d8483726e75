// Shared enumerations and constants of the object model.
#pragma once

#include <cstdint>

namespace tav {

/// Integer widths of the object model.
using Integer = int16_t;
using Long = int32_t;

/// Socket states; transitions are driven by the socket object and the socket manager.
enum TAV_SocketState : int32_t {
    Skt_NotInitialized = 0,
    Skt_Initialized = 1,
    Skt_Bound = 2,
    Skt_Listening = 3,
    Skt_ConnectionPending = 4,
    Skt_Connecting = 5,
    Skt_Ready = 6,
    Skt_Busy = 7,
    Skt_Disconnecting = 8,
    Skt_Disconnected = 9,
    Skt_Error = 10,
};

/// How a connection ended.
enum TAV_SocketDisconnectKind : int32_t {
    NotDisconnected = 0,
    GracefulDisconnect = 1,
    AbortiveDisconnect = 2,
};

/// How the HTTP client hands over a response.
enum TAVRetrieveMode : int32_t {
    TAVRetrieveText = 0,
    TAVRetrieveByteArray = 1,
};

/// Socket kinds, as given to TAVSocketMgr::CreateSocket and read from TAVSocket::Kind.
inline constexpr int32_t TAVSockKind_Stream = 1;
inline constexpr int32_t TAVSockKind_Datagram = 2;

/// Data modes of a socket: received data as text (one char per byte) or as bytes.
inline constexpr int32_t DataMode_String = 0;
inline constexpr int32_t DataMode_Binary = 1;

/// The invalid socket handle.
inline constexpr int32_t TAVSock_InvalidSocketHandle = -1;

/// Readiness event codes carried in the low word of a socket notification.
inline constexpr int32_t FD_READ = 1;
inline constexpr int32_t FD_WRITE = 2;
inline constexpr int32_t FD_OOB = 4;
inline constexpr int32_t FD_ACCEPT = 8;
inline constexpr int32_t FD_CONNECT = 16;
inline constexpr int32_t FD_CLOSE = 32;

}  // namespace tav
