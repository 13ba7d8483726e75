// Internal helpers shared by the sources of the socket interface layer: the per-thread last
// error, the process-wide start-up count, address record conversion and the EINTR loop.
#pragma once

#include "platform/SockIntf.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <vector>
#include <cerrno>

namespace tav::sockintf::detail {

/// IPv6 addresses of the host entry last handed to this thread (HostAddresses6).
inline thread_local std::vector<Inet6Address> tHostAddresses6;

/// Last Windows Sockets error of the calling thread (intWSAGetLastError).
inline thread_local int tLastError = 0;

/// Start-ups not yet undone, process-wide. Read relaxed: a call racing with the last cleanup
/// may go either way, as on Windows.
inline std::atomic<int> gStartupCount{0};

/// Becomes true, and stays so, once any socket gets a non-zero send or receive time-out.
/// Until then a would-block result can only come from a non-blocking socket, so telling a
/// time-out (10060) from a would-block (10035) costs nothing on the common path.
inline std::atomic<bool> gTimeoutsInUse{false};

/// Stores `wsaError` as the thread's last error; returns SOCKET_ERROR for `return Fail(..)`.
inline int Fail(int wsaError) noexcept {
    tLastError = wsaError;
    return SOCKET_ERROR;
}

/// Fail() with the Windows number of the current errno.
inline int FailErrno() noexcept { return Fail(WsaErrorFromErrno(errno)); }

/// True while the stack is started; otherwise stores 10093 and returns false.
inline bool Started() noexcept {
    if (gStartupCount.load(std::memory_order_relaxed) > 0) [[likely]]
        return true;
    tLastError = WSANOTINITIALISED;
    return false;
}

/// Runs a system call again while it fails with EINTR. The layer's only EINTR handling: a
/// signal never surfaces as a socket error.
template <class Call>
inline auto RetryEintr(Call&& call) noexcept {
    decltype(call()) r;
    do {
        r = call();
    } while (r < 0 && errno == EINTR);
    return r;
}

/// The Windows number for an EAGAIN result of a data call on `s`: 10060 when `s` is blocking
/// (its send or receive time-out ran out), 10035 otherwise. Looks at the descriptor only once
/// some socket has a time-out; `dontWait` says the call itself was non-blocking.
int WouldBlockError(SOCKET s, bool dontWait) noexcept;

/// FIONREAD as Windows answers it: the bytes of normal data one receive would return now,
/// stored in `out`; 0 on success, -1 with errno set. Linux counts only up to an urgent
/// mark, and at the mark answers 0 whatever follows it; there the normal data past the mark
/// is counted instead (the urgent byte itself is not part of the stream). Answers 0 for a
/// listener, which Linux refuses to count.
int BytesWaiting(int fd, int& out) noexcept;

/// The shortest address record (IPv4).
inline constexpr int kAddrLen = static_cast<int>(sizeof(SOCKADDR_IN));

}  // namespace tav::sockintf::detail
