// The asynchronous-select state of one registered socket, and the Windows Sockets rules that
// decide which notifications its readiness gives.
//
// The rules, in short. Each event is posted once and then waits for its re-enabling call:
// FD_READ for a receive, FD_OOB for an out-of-band receive, FD_ACCEPT for accept, FD_WRITE for
// a send that would block. FD_WRITE is also posted once a connection is made (after
// FD_CONNECT, on an accepted socket, on a socket registered while connected, and on a datagram
// socket when registered). FD_CONNECT is posted once per connect, with its outcome; FD_CLOSE
// once per connection, 0 for the peer's orderly close, 10054 or 10053 when it broke.
//
// How readiness maps onto that. The entry names the epoll interest under which the next
// notification can come (Interest()), the registry watches the socket with it, level
// triggered, and turns what the queue reports into notifications (OnReady()). Disarming an
// event takes its bit out of the interest; re-enabling puts it back, so data still waiting
// after a partial receive is reported again at the next poll. After the end of a stream the
// socket stays readable for ever; from then on FD_READ is posted only while bytes are really
// waiting, so a receive that returns 0 costs one wake-up and no message.
//
// Single-threaded: used by the registry of the owning thread only.
#pragma once

#include "platform/SockIntf.hpp"

#include <cstdint>

namespace tav::sockintf::async {

/// What a registered socket is doing, as far as notifications are concerned.
enum class SockPhase : uint8_t {
    Idle,        // stream socket neither connecting, connected nor listening (nothing to watch)
    Connecting,  // a connect is under way; its outcome gives FD_CONNECT
    Listening,   // connections waiting give FD_ACCEPT
    Connected,   // FD_READ, FD_OOB, FD_WRITE, FD_CLOSE
    Datagram,    // FD_READ, FD_WRITE
};

/// The phase of socket `s` as found now (for a registration); WSAENOTSOCK in `error` for a
/// handle that is not a socket.
SockPhase ClassifySocket(SOCKET s, int& error);

/// One notification to post: an event bit and its Windows error number (0 for none).
struct Notice {
    int32_t event;
    int error;
};

struct AsyncSelectEntry {
    static constexpr int kMaxNotices = 6;

    uint32_t gen = 0;  // registration generation; 0 while the slot is free
    HWND hWnd = 0;
    uint32_t msg = 0;
    int32_t mask = 0;  // events asked for
    SockPhase phase = SockPhase::Idle;
    int32_t armed = 0;        // events that may be posted when their condition holds
    bool closeDone = false;   // FD_CLOSE posted: never again on this connection
    bool peerDone = false;    // end of stream or failure seen: FD_READ needs bytes waiting
    bool quiet = false;       // error or hang-up reported with nothing to post: stop watching
    // FD_READ was posted from a poll that watched for urgent data and saw none: the reader of
    // that notification need not ask the stack again. Any re-enabling call ends it.
    bool urgentAbsent = false;
                              // until a re-enabling call, or the condition would spin the loop
    uint32_t watched = 0;     // the interest the queue watches now
    // Bytes waiting as counted once the stream had ended (no more can come), until a
    // re-enabling call; -1 when not known.
    int32_t waitingAtEnd = -1;

    /// Starts a registration: every asked-for event is enabled, FD_WRITE only for a socket
    /// that can send already.
    void Start(uint32_t generation, HWND window, uint32_t message, int32_t events, SockPhase p);
    /// The epoll interest under which the next notification can come; 0: nothing to watch.
    uint32_t Interest() const;
    /// A re-enabling call ran (see AsyncSelectHooks::Reenable for the events).
    void Reenable(int32_t event);
    /// Turns readiness `events` of socket `fd` into notifications, written to `out` (room for
    /// kMaxNotices) in the order Windows posts them. Returns their number.
    int OnReady(int fd, uint32_t events, Notice* out);

private:
    int OnConnectDone(int fd, uint32_t events, Notice* out);
    int OnConnectedReady(int fd, uint32_t events, Notice* out);
};

}  // namespace tav::sockintf::async
