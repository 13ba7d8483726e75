// intselect over poll: no limit on the number or the values of the handles.
#include "platform/SockIntf.hpp"
#include "platform/SockLayer.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <vector>

namespace tav::sockintf {

using detail::Fail;
using detail::Started;

namespace {

using Clock = std::chrono::steady_clock;

// Windows readiness from poll results. poll adds POLLERR and POLLHUP unasked. A TCP socket
// that was never connected reports POLLHUP (and POLLOUT) without POLLERR; a failed connection
// reports POLLERR with POLLHUP.
bool ReadReady(short r) { return (r & (POLLIN | POLLERR)) != 0; }
bool WriteReady(short r) { return (r & POLLOUT) != 0 && (r & (POLLERR | POLLHUP)) == 0; }
bool ExceptReady(short r) { return (r & POLLPRI) != 0 || ((r & POLLERR) != 0 && (r & POLLHUP) != 0); }

size_t Count(const FD_SET_W* set) { return set != nullptr ? set->fd_array.size() : 0; }

/// Adds each member of `set` asking for `events`.
bool Append(std::vector<pollfd>& fds, const FD_SET_W* set, short events) {
    if (set == nullptr) return true;
    for (SOCKET s : set->fd_array) {
        if (s < 0) return false;
        fds.push_back(pollfd{s, events, 0});
    }
    return true;
}

/// Merges entries of the same descriptor (a handle in two sets) so the array never holds
/// more entries than open descriptors; sorted by descriptor for Find.
void Merge(std::vector<pollfd>& fds) {
    std::sort(fds.begin(), fds.end(), [](const pollfd& a, const pollfd& b) { return a.fd < b.fd; });
    size_t out = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (out > 0 && fds[out - 1].fd == fds[i].fd)
            fds[out - 1].events = static_cast<short>(fds[out - 1].events | fds[i].events);
        else
            fds[out++] = fds[i];
    }
    fds.resize(out);
}

short Find(const std::vector<pollfd>& fds, SOCKET s) {
    const auto it = std::lower_bound(fds.begin(), fds.end(), s, [](const pollfd& p, SOCKET v) { return p.fd < v; });
    return it != fds.end() && it->fd == s ? it->revents : 0;
}

/// Leaves in `set` only the members that `ready` accepts; `revents(i, s)` gives the poll
/// result of member i.
template <class Revents>
void Keep(FD_SET_W* set, bool (*ready)(short), Revents&& revents) {
    if (set == nullptr) return;
    size_t out = 0;
    for (size_t i = 0; i < set->fd_array.size(); ++i) {
        const SOCKET s = set->fd_array[i];
        if (ready(revents(i, s))) set->fd_array[out++] = s;
    }
    set->fd_array.resize(out);
}

timespec ToTimespec(Clock::duration d) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(d, Clock::duration::zero())).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

/// poll with a deadline that survives signals; true when it succeeded. The clock is read only
/// for a real wait, so a zero-time poll is a single system call.
bool PollUntil(std::vector<pollfd>& fds, const TIMEVAL_W* timeout) {
    if (timeout == nullptr) return detail::RetryEintr([&] { return ::ppoll(fds.data(), fds.size(), nullptr, nullptr); }) >= 0;
    const Clock::duration wait = std::chrono::seconds(timeout->tv_sec) + std::chrono::microseconds(timeout->tv_usec);
    if (wait == Clock::duration::zero())
        return detail::RetryEintr([&] { return ::poll(fds.data(), fds.size(), 0); }) >= 0;
    timespec ts = ToTimespec(wait);
    const Clock::time_point deadline = Clock::now() + wait;
    for (;;) {
        if (::ppoll(fds.data(), fds.size(), &ts, nullptr) >= 0) return true;
        if (errno != EINTR) return false;
        ts = ToTimespec(deadline - Clock::now());
    }
}

}  // namespace

int intselect(int /*nfds*/, FD_SET_W* readfds, FD_SET_W* writefds, FD_SET_W* exceptfds, const TIMEVAL_W* timeout) {
    if (!Started()) return SOCKET_ERROR;
    const size_t total = Count(readfds) + Count(writefds) + Count(exceptfds);
    if (total == 0) return Fail(WSAEINVAL);
    if (timeout != nullptr && (timeout->tv_sec < 0 || timeout->tv_usec < 0)) return Fail(WSAEINVAL);

    // Reused per thread: a select loop does not allocate once the array has grown.
    thread_local std::vector<pollfd> fds;
    fds.clear();
    fds.reserve(total);
    if (!Append(fds, readfds, POLLIN) || !Append(fds, writefds, POLLOUT) || !Append(fds, exceptfds, POLLPRI))
        return Fail(WSAENOTSOCK);
    // With one set, entry i is member i; with several, entries are merged and found by value.
    const bool single = total == Count(readfds) || total == Count(writefds) || total == Count(exceptfds);
    if (!single) Merge(fds);

    if (!PollUntil(fds, timeout)) return detail::FailErrno();
    for (const pollfd& p : fds)
        if (p.revents & POLLNVAL) return Fail(WSAENOTSOCK);

    auto revents = [&](size_t i, SOCKET s) { return single ? fds[i].revents : Find(fds, s); };
    Keep(readfds, ReadReady, revents);
    Keep(writefds, WriteReady, revents);
    Keep(exceptfds, ExceptReady, revents);
    return 0;
}

}  // namespace tav::sockintf
