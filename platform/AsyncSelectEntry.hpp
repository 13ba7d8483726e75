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
// triggered, and turns what the queue reports into notifications (OnReady()). Re-enabling
// puts an event's bit back into the interest, so data still waiting after a partial receive
// is reported again at the next poll. After the end of a stream the socket stays readable for
// ever; from then on FD_READ is posted only while bytes are really waiting, so a receive that
// returns 0 costs one wake-up and no message.
//
// Disarming is lazy for FD_READ, FD_OOB and FD_ACCEPT: their re-enabling call nearly always
// comes in the same pass as the notification, so their bit stays in the interest while the
// event is disarmed (`kept`), and taking it out and putting it back costs nothing. Only when a
// poll reports readiness for a kept event that was not re-enabled meanwhile does the bit
// leave the interest, so a host that does not receive costs one wake-up, not a busy loop.
// FD_WRITE and FD_CONNECT are disarmed at once: their re-enabling calls are rare.
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
    static constexpr uint32_t kDataOnly = 0x001;  // EPOLLIN, without <sys/epoll.h> here
    static constexpr uint32_t kUrgent = 0x002;    // EPOLLPRI

    uint32_t gen = 0;  // registration generation; 0 while the slot is free
    HWND hWnd = 0;
    uint32_t msg = 0;
    int32_t mask = 0;  // events asked for
    SockPhase phase = SockPhase::Idle;
    int32_t armed = 0;        // events that may be posted when their condition holds
    // Disarmed events (FD_READ, FD_OOB, FD_ACCEPT) whose readiness the interest still
    // covers; never armed at the same time. A poll reporting one of them takes it out.
    int32_t kept = 0;
    bool closeDone = false;   // FD_CLOSE posted: never again on this connection
    bool peerDone = false;    // end of stream or failure seen: FD_READ needs bytes waiting
    // An error or hang-up was reported with nothing to post: nothing is watched until a
    // re-enabling call, or the condition would spin the loop.
    bool quiet = false;
    // FD_READ was posted from a poll that watched for urgent data and saw none: the reader of
    // that notification need not ask the stack again. Any re-enabling call ends it.
    bool urgentAbsent = false;
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
    /// Re-enables `event` when the interest covers it already (a kept event), so that the
    /// watch need not change: true when done, false when Reenable() must run instead.
    bool ReenableKept(int32_t event) {
        if ((kept & event) == 0) return false;
        kept &= ~event;
        armed |= event;
        urgentAbsent = false;
        waitingAtEnd = -1;
        return true;
    }
    /// The most common readiness, data and nothing else for a socket waiting for it, handled
    /// as OnReady() would: true when it was, and then FD_READ (error 0) is the one
    /// notification to post and the interest has not changed. False: call OnReady().
    bool OnDataOnly(uint32_t events) {
        if (events != kDataOnly || (armed & FD_READ_W) == 0) return false;
        if (phase == SockPhase::Connected) {
            // After the end FD_READ depends on the bytes waiting: OnReady counts them.
            if (peerDone) return false;
            urgentAbsent = (watched & kUrgent) != 0;
        } else if (phase != SockPhase::Datagram) {
            return false;
        }
        Keep(FD_READ_W);
        return true;
    }
    /// Turns readiness `events` of socket `fd` into notifications, written to `out` (room for
    /// kMaxNotices) in the order Windows posts them. Returns their number.
    int OnReady(int fd, uint32_t events, Notice* out);

private:
    /// Disarms `event`, which was just posted, keeping its readiness in the interest.
    void Keep(int32_t event) {
        armed &= ~event;
        kept |= event;
    }
    /// Takes kept events whose readiness `events` reports out of the interest: they were
    /// not re-enabled since they were posted, and a level-triggered watch would report them
    /// at every poll. `bits` is the readiness that stands for `event`.
    void DropKept(int32_t event, uint32_t events, uint32_t bits) {
        if ((kept & event) != 0 && (events & bits) != 0) kept &= ~event;
    }
    int OnConnectDone(int fd, uint32_t events, Notice* out);
    int OnConnectedReady(int fd, uint32_t events, Notice* out);
};

}  // namespace tav::sockintf::async
