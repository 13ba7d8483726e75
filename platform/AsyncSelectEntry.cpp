#include "platform/AsyncSelectEntry.hpp"

#include "platform/SockLayer.hpp"
#include "platform/SocketFacts.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

namespace tav::sockintf::async {

static_assert(AsyncSelectEntry::kDataOnly == EPOLLIN && AsyncSelectEntry::kUrgent == EPOLLPRI);

namespace {

constexpr uint32_t kEnded = EPOLLRDHUP | EPOLLHUP | EPOLLERR;

/// The socket's pending error (errno value), which reading clears.
int TakePendingError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

/// The kernel's TCP state of `fd`, -1 when it cannot be read.
int TcpState(int fd) {
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
    return info.tcpi_state;
}

SockPhase PhaseOfTcpState(int state) {
    switch (state) {
    case TCP_LISTEN: return SockPhase::Listening;
    case TCP_SYN_SENT:
    case TCP_SYN_RECV: return SockPhase::Connecting;
    case TCP_CLOSE:
    case -1: return SockPhase::Idle;
    default: return SockPhase::Connected;  // established, or closing with the peer
    }
}

/// Bytes waiting on `fd`, -1 when they cannot be counted.
int BytesWaiting(int fd) {
    int n = 0;
    return detail::BytesWaiting(fd, n) == 0 ? n : -1;
}

/// The FD_CLOSE error for a broken connection: Windows reports a reset as 10054 and a
/// connection given up (time-out, abort) as 10053. A send or receive that ran first may have
/// taken the error from the socket; the layer then remembers which kind it was.
int BrokenCloseError(int fd) {
    switch (const int err = TakePendingError(fd)) {
    case 0: return (facts::Load(fd) & facts::kAborted) != 0 ? WSAECONNABORTED : WSAECONNRESET;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ETIMEDOUT:
    case ECONNABORTED: return WSAECONNABORTED;
    default: return WsaErrorFromErrno(err);
    }
}

}  // namespace

SockPhase ClassifySocket(SOCKET s, int& error) {
    error = 0;
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) != 0) {
        error = WSAENOTSOCK;
        return SockPhase::Idle;
    }
    if (type != SOCK_STREAM) return SockPhase::Datagram;
    return PhaseOfTcpState(TcpState(s));
}

void AsyncSelectEntry::Start(uint32_t generation, HWND window, uint32_t message, int32_t events, SockPhase p) {
    *this = AsyncSelectEntry{};
    gen = generation;
    hWnd = window;
    msg = message;
    mask = events;
    phase = p;
    armed = mask & (FD_READ_W | FD_OOB_W | FD_ACCEPT_W);
    if (p == SockPhase::Connected || p == SockPhase::Datagram) armed |= mask & FD_WRITE_W;
}

uint32_t AsyncSelectEntry::Interest() const {
    if (quiet) return 0;
    uint32_t ev = 0;
    const int32_t live = armed | kept;
    switch (phase) {
    case SockPhase::Idle: return 0;
    // Watched whatever the mask: the outcome decides what may be posted afterwards.
    case SockPhase::Connecting: return EPOLLOUT;
    case SockPhase::Listening: return (live & FD_ACCEPT_W) != 0 ? uint32_t{EPOLLIN} : 0;
    case SockPhase::Datagram:
        if (live & FD_READ_W) ev |= EPOLLIN;
        if (armed & FD_WRITE_W) ev |= EPOLLOUT;
        return ev;
    case SockPhase::Connected:
        // RDHUP with FD_READ tells the end of the stream apart from data.
        if (live & FD_READ_W) ev |= EPOLLIN | EPOLLRDHUP;
        if (live & FD_OOB_W) ev |= EPOLLPRI;
        if (armed & FD_WRITE_W) ev |= EPOLLOUT;
        if ((mask & FD_CLOSE_W) != 0 && !closeDone) ev |= EPOLLRDHUP;
        return ev;
    }
    return 0;
}

void AsyncSelectEntry::Reenable(int32_t event) {
    urgentAbsent = false;
    waitingAtEnd = -1;
    const bool stream = phase != SockPhase::Datagram;
    switch (event) {
    case FD_READ_W:
    case FD_OOB_W:
    case FD_WRITE_W:
        armed |= mask & event;
        kept &= ~event;
        break;
    case FD_CONNECT_W:
        if (!stream) break;
        // A new connection: its close and its end of stream are still to come.
        phase = SockPhase::Connecting;
        closeDone = false;
        peerDone = false;
        armed = mask & (FD_READ_W | FD_OOB_W);
        kept = 0;
        break;
    case FD_ACCEPT_W:
        if (!stream) break;
        phase = SockPhase::Listening;
        armed |= mask & FD_ACCEPT_W;
        kept &= ~FD_ACCEPT_W;
        break;
    default: break;
    }
    quiet = false;
}

int AsyncSelectEntry::OnReady(int fd, uint32_t events, Notice* out) {
    int n = 0;
    switch (phase) {
    case SockPhase::Idle: break;
    case SockPhase::Connecting: return OnConnectDone(fd, events, out);
    case SockPhase::Listening:
        DropKept(FD_ACCEPT_W, events, EPOLLIN);
        if ((armed & FD_ACCEPT_W) != 0 && (events & EPOLLIN) != 0) {
            Keep(FD_ACCEPT_W);
            out[n++] = {FD_ACCEPT_W, 0};
        }
        break;
    case SockPhase::Datagram:
        // An error (an ICMP report) is read by the next receive, so it counts as readable.
        DropKept(FD_READ_W, events, EPOLLIN | EPOLLERR);
        if ((armed & FD_READ_W) != 0 && (events & (EPOLLIN | EPOLLERR)) != 0) {
            Keep(FD_READ_W);
            out[n++] = {FD_READ_W, 0};
        }
        if ((armed & FD_WRITE_W) != 0 && (events & EPOLLOUT) != 0) {
            armed &= ~FD_WRITE_W;
            out[n++] = {FD_WRITE_W, 0};
        }
        break;
    case SockPhase::Connected: n = OnConnectedReady(fd, events, out); break;
    }
    if (n == 0 && (events & (EPOLLERR | EPOLLHUP)) != 0) {
        quiet = true;
        kept = 0;  // nothing is watched any more: a re-enabling call must watch again
    }
    return n;
}

int AsyncSelectEntry::OnConnectDone(int fd, uint32_t events, Notice* out) {
    // The stack reports a connecting socket writable only once the connection is made (a
    // failed one adds an error or a hang-up), and readiness collected before this connect
    // never reaches it (the registry watches anew on every connect): then there is nothing
    // to ask. Anything else is told apart by the connection state.
    const SockPhase now = (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == EPOLLOUT ? SockPhase::Connected
                                                                                : PhaseOfTcpState(TcpState(fd));
    if (now == SockPhase::Connecting) return 0;  // not decided yet
    int n = 0;
    if (now == SockPhase::Connected) {
        phase = SockPhase::Connected;
        armed |= mask & FD_WRITE_W;
        if (mask & FD_CONNECT_W) out[n++] = {FD_CONNECT_W, 0};
        // Data, the peer's close or room to send may have come with the connection.
        return n + OnConnectedReady(fd, events, out + n);
    }
    int err = TakePendingError(fd);
    if (err == 0) err = ECONNREFUSED;  // the reason was read by someone else first
    phase = SockPhase::Idle;
    armed &= ~(FD_READ_W | FD_OOB_W | FD_WRITE_W);
    kept = 0;
    if (mask & FD_CONNECT_W) out[n++] = {FD_CONNECT_W, WsaErrorFromErrno(err)};
    return n;
}

int AsyncSelectEntry::OnConnectedReady(int fd, uint32_t events, Notice* out) {
    int n = 0;
    if (events & kEnded) peerDone = true;
    if (events & EPOLLPRI) urgentAbsent = false;  // whatever was posted before
    DropKept(FD_READ_W, events, EPOLLIN | kEnded);
    DropKept(FD_OOB_W, events, EPOLLPRI);
    if ((armed & FD_READ_W) != 0 && (events & (EPOLLIN | kEnded)) != 0) {
        armed &= ~FD_READ_W;
        bool post = !peerDone;
        if (!post) {
            // After the peer's end (or a hang-up) nothing more arrives, so the count holds
            // until something is received: the reader of this notification is told it again
            // without asking. Marked before counting, so that a receive on another thread
            // meanwhile unmarks it.
            const bool ended = (events & (EPOLLRDHUP | EPOLLHUP)) != 0;
            if (ended) facts::Add(fd, facts::kWaitingCounted);
            const int waiting = BytesWaiting(fd);
            post = waiting > 0;
            if (ended && waiting >= 0) waitingAtEnd = waiting;
        }
        if (post) {
            out[n++] = {FD_READ_W, 0};
            urgentAbsent = (watched & EPOLLPRI) != 0 && (events & EPOLLPRI) == 0;
            // After the end the socket is readable for good, so a kept FD_READ would only
            // cost a wake-up: then it leaves the interest at once.
            if (!peerDone) kept |= FD_READ_W;
        }
    }
    if ((armed & FD_OOB_W) != 0 && (events & EPOLLPRI) != 0) {
        Keep(FD_OOB_W);
        out[n++] = {FD_OOB_W, 0};
    }
    if (armed & FD_WRITE_W) {
        // A broken connection takes no more data; FD_CLOSE tells the application so.
        if (events & (EPOLLERR | EPOLLHUP)) {
            armed &= ~FD_WRITE_W;
        } else if (events & EPOLLOUT) {
            armed &= ~FD_WRITE_W;
            facts::Add(fd, facts::kWritableKnown);
            out[n++] = {FD_WRITE_W, 0};
        }
    }
    if ((mask & FD_CLOSE_W) != 0 && !closeDone && (events & kEnded) != 0) {
        closeDone = true;
        // This layer has no shutdown call, so a hang-up (both directions ended) means the
        // connection broke; the peer's orderly close shows as RDHUP alone.
        const int err = (events & (EPOLLERR | EPOLLHUP)) != 0 ? BrokenCloseError(fd) : 0;
        out[n++] = {FD_CLOSE_W, err};
    }
    return n;
}

}  // namespace tav::sockintf::async
