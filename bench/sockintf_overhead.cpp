// Cost of the socket interface layer over the bare system calls it wraps: small sends and
// receives on a loopback TCP pair, a one-socket poll through intselect and the bytes-waiting
// question with and without data. Prints the time per operation of each and the ratio
// layer / bare.
#include "platform/SockIntf.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>

using namespace tav::sockintf;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRounds = 200000;

template <class Fn>
double NanosPerRound(Fn&& fn) {
    const auto start = Clock::now();
    for (int i = 0; i < kRounds; ++i) fn();
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kRounds;
}

void Report(const char* what, double bare, double layer) {
    std::printf("%-28s bare %8.1f ns  layer %8.1f ns  ratio %.3f\n", what, bare, layer, layer / bare);
}

}  // namespace

int main() {
    WSADATA data;
    if (intWSAStartup(0x0101, &data) != 0) return 1;
    SOCKADDR_IN addr;
    addr.sin_family = AF_INET_W;
    addr.sin_addr = inthtonl(0x7F000001);
    const SOCKET l = intsocket(AF_INET_W, SOCK_STREAM_W, 0);
    int len = sizeof addr;
    if (intbind(l, &addr, len) != 0 || intgetsockname(l, &addr, &len) != 0 || intlisten(l, 1) != 0) return 1;
    const SOCKET c = intsocket(AF_INET_W, SOCK_STREAM_W, 0);
    if (intconnect(c, &addr, sizeof addr) != 0) return 1;
    const SOCKET s = intaccept(l, nullptr, nullptr);
    if (s == INVALID_SOCKET) return 1;

    char buf[64] = {};
    // Warm up, then alternate the two variants so drift hits both alike.
    NanosPerRound([&] { (void)::send(c, buf, sizeof buf, MSG_NOSIGNAL); (void)::recv(s, buf, sizeof buf, 0); });
    const double bareIo = NanosPerRound([&] {
        (void)::send(c, buf, sizeof buf, MSG_NOSIGNAL);
        (void)::recv(s, buf, sizeof buf, 0);
    });
    const double layerIo = NanosPerRound([&] {
        intsend(c, buf, sizeof buf, 0);
        intrecv(s, buf, sizeof buf, 0);
    });
    Report("send+recv 64 bytes", bareIo, layerIo);

    pollfd p{c, POLLOUT, 0};
    const double barePoll = NanosPerRound([&] { (void)::poll(&p, 1, 0); });
    const TIMEVAL_W zero{0, 0};
    FD_SET_W set;
    const double layerPoll = NanosPerRound([&] {
        set.Zero();
        set.Set(c);
        intselect(0, nullptr, &set, nullptr, &zero);
    });
    Report("one-socket write poll", barePoll, layerPoll);

    // Bytes waiting, the question every read is sized by. With data waiting the layer asks
    // the kernel once, as the bare call does; with nothing waiting it also asks whether the
    // read position stands at an urgent mark, past which the kernel does not count.
    int n = 0;
    uint32_t waiting = 0;
    const double bareIdle = NanosPerRound([&] { (void)::ioctl(s, FIONREAD, &n); });
    const double layerIdle = NanosPerRound([&] { intioctlsocket(s, FIONREAD_W, &waiting); });
    Report("bytes waiting, none", bareIdle, layerIdle);
    (void)::send(c, buf, sizeof buf, MSG_NOSIGNAL);
    const double bareData = NanosPerRound([&] { (void)::ioctl(s, FIONREAD, &n); });
    const double layerData = NanosPerRound([&] { intioctlsocket(s, FIONREAD_W, &waiting); });
    Report("bytes waiting, 64 bytes", bareData, layerData);
    (void)::recv(s, buf, sizeof buf, 0);

    intclosesocket(s);
    intclosesocket(c);
    intclosesocket(l);
    intWSACleanup();
    return 0;
}
