// Data transfer calls of the socket interface layer: send, sendto, recv, recvfrom. One system
// call each on the normal path.
#include "platform/AsyncSelectHooks.hpp"
#include "platform/SockAddrRecord.hpp"
#include "platform/SocketFacts.hpp"
#include "platform/SockIntf.hpp"
#include "platform/SockLayer.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

namespace tav::sockintf {

using detail::Fail;
using detail::kAddrLen;
using detail::Started;

namespace {

/// Native flags for a send, MSG_NOSIGNAL always; -1 for bits Windows Sockets 1.1 does not
/// define for sending.
int SendFlags(int flags) {
    if ((flags & ~(MSG_OOB_W | MSG_DONTROUTE_W)) != 0) return -1;
    int n = MSG_NOSIGNAL;
    if (flags & MSG_OOB_W) n |= MSG_OOB;
    if (flags & MSG_DONTROUTE_W) n |= MSG_DONTROUTE;
    return n;
}

/// Native flags for a receive; -1 for unknown bits.
int RecvFlags(int flags) {
    if ((flags & ~(MSG_OOB_W | MSG_PEEK_W)) != 0) return -1;
    int n = 0;
    if (flags & MSG_OOB_W) n |= MSG_OOB;
    if (flags & MSG_PEEK_W) n |= MSG_PEEK;
    return n;
}

/// The Windows number for EPIPE from a send. Linux gives EPIPE both on a stream socket that
/// never had a connection (or listens) and on one whose connection is gone; Windows tells the
/// two apart (10057 and 10054), and the send path throws pending data away only on the
/// second. A connection that ended has its receive side shut, which poll reports as RDHUP; a
/// socket that never connected does not. One more system call, on this failure only.
int BrokenPipeError(SOCKET s) {
    pollfd p{s, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLRDHUP) != 0) return WSAECONNRESET;
    return WSAENOTCONN;
}

/// A failed send or receive that took the error of a connection the stack gave up: the
/// socket forgets it, so the layer keeps it for the close notification to come.
void NoteTakenError(SOCKET s, int err) {
    if (err == ETIMEDOUT || err == ECONNABORTED) facts::Add(s, facts::kAborted);
}

/// Common end of a failed send: sets the last error, arms FD_WRITE on a would-block.
int SendFailed(SOCKET s, int err) {
    NoteTakenError(s, err);
    if (err == EAGAIN) {
        const int wsa = detail::WouldBlockError(s, false);
        if (wsa == WSAEWOULDBLOCK) detail::HookReenable(s, FD_WRITE_W);
        return Fail(wsa);
    }
    if (err == EPIPE) return Fail(BrokenPipeError(s));
    return Fail(WsaErrorFromErrno(err));
}

int Send(SOCKET s, const char* buf, int len, int flags, const SOCKADDR_IN* to, int tolen) {
    if (!Started()) return SOCKET_ERROR;
    if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
    if (to != nullptr && tolen < kAddrLen) return Fail(WSAEFAULT);
    const int nativeFlags = SendFlags(flags);
    if (nativeFlags < 0) return Fail(WSAEOPNOTSUPP);
    detail::NativeAddr dest;
    if (to != nullptr) {
        if (const int err = detail::RecordToNative(to, tolen, (facts::Load(s) & facts::kInet6) != 0, dest); err != 0)
            return Fail(err);
    }
    // Whatever it takes, a send may leave the socket no longer writable.
    if (facts::Load(s) & facts::kWritableKnown) facts::Remove(s, facts::kWritableKnown);
    const ssize_t n = detail::RetryEintr([&] {
        return to != nullptr ? ::sendto(s, buf, static_cast<size_t>(len), nativeFlags, dest.Ptr(), dest.len)
                             : ::send(s, buf, static_cast<size_t>(len), nativeFlags);
    });
    if (n < 0) return SendFailed(s, errno);
    return static_cast<int>(n);
}

/// The error of a failed receive in Windows terms.
int RecvError(SOCKET s, int err, int flags) {
    // Linux answers EINVAL to MSG_OOB when no urgent byte waits; Windows says would-block.
    if (err == EINVAL && (flags & MSG_OOB_W) != 0) return WSAEWOULDBLOCK;
    if (err == EAGAIN) return detail::WouldBlockError(s, false);
    return WsaErrorFromErrno(err);
}

int Receive(SOCKET s, char* buf, int len, int flags, SOCKADDR_IN* from, int* fromlen, bool stream = false) {
    if (!Started()) return SOCKET_ERROR;
    if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
    if (from != nullptr && (fromlen == nullptr || *fromlen < kAddrLen)) return Fail(WSAEFAULT);
    int nativeFlags = RecvFlags(flags);
    if (nativeFlags < 0) return Fail(WSAEOPNOTSUPP);
    // A zero-length read asks about the socket's condition: it must neither wait nor use up
    // a datagram.
    const bool probe = len == 0;
    if (probe) nativeFlags |= MSG_PEEK | MSG_DONTWAIT;

    detail::NativeAddr peer;
    iovec iov{buf, static_cast<size_t>(len)};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    // A stream read that wants no sender needs no message header: recv is the lighter call
    // (the kernel copies no header in and none out).
    const bool plain = stream && from == nullptr;
    const ssize_t n = detail::RetryEintr([&] {
        if (plain) return ::recv(s, buf, static_cast<size_t>(len), nativeFlags);
        msg.msg_name = from != nullptr ? &peer.ss : nullptr;
        msg.msg_namelen = from != nullptr ? sizeof peer.ss : 0;
        return ::recvmsg(s, &msg, nativeFlags);
    });
    const int err = errno;
    detail::HookReenable(s, (flags & MSG_OOB_W) != 0 ? FD_OOB_W : FD_READ_W);
    if (n < 0) {
        if (probe && err == EAGAIN) return 0;
        NoteTakenError(s, err);
        return Fail(RecvError(s, err, flags));
    }
    // Stream sockets leave no sender; the record is then left as it was, as on Windows.
    if (from != nullptr && msg.msg_namelen >= sizeof(sockaddr_in)) {
        peer.len = msg.msg_namelen;
        // An IPv6 sender with room for an IPv4 record only: the datagram is used up already.
        if (detail::NativeToRecord(peer, from, fromlen) != 0) return Fail(WSAEFAULT);
    }
    if (!probe && (msg.msg_flags & MSG_TRUNC) != 0) return Fail(WSAEMSGSIZE);
    return static_cast<int>(n);
}

}  // namespace

int intsend(SOCKET s, const char* buf, int len, int flags) { return Send(s, buf, len, flags, nullptr, 0); }

int intsendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR_IN* to, int tolen) {
    return Send(s, buf, len, flags, to, tolen);
}

int intrecv(SOCKET s, char* buf, int len, int flags) { return Receive(s, buf, len, flags, nullptr, nullptr); }

int intrecvstream(SOCKET s, char* buf, int len, int flags) {
    return Receive(s, buf, len, flags, nullptr, nullptr, true);
}

int intrecvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR_IN* from, int* fromlen) {
    return Receive(s, buf, len, flags, from, fromlen);
}

}  // namespace tav::sockintf
