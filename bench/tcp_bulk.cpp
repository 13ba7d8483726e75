// Bulk receive in binary mode: 1 GiB sent over one loopback connection by a plain sender
// thread, received through TavTCPSocketMgr (each read raised as DataReceived with the bytes)
// and, in the same run, by a plain epoll loop reading into one buffer until EAGAIN. Prints
// both rates and their ratio (target: the manager at least 0.8 of the plain loop). Best of
// three rounds each; the debug log is kept off.
#include "BenchLoopback.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using bench::Clock;
using bench::LoopbackAddr;
using namespace std::chrono_literals;

namespace {

constexpr size_t kTotal = size_t{1} << 30;
constexpr size_t kWrite = 64 * 1024;
constexpr int kRounds = 3;

/// Connects to `port` and writes kTotal bytes, then closes.
void Send(uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = LoopbackAddr(port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) std::abort();
    std::vector<char> chunk(kWrite, 'x');
    for (size_t sent = 0; sent < kTotal;) {
        const ssize_t n = ::send(s, chunk.data(), std::min(kWrite, kTotal - sent), 0);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    ::close(s);
}

/// Bytes per second through the manager's DataReceived.
double ManagerRate() {
    auto mgr = tav::TavTCPSocketMgr::Create();
    mgr->InternalEarlyBound(true);
    auto addr = tav::TAVSockAddr::Create();
    addr->IPAddress("127.0.0.1");
    auto server = mgr->CreateServerSocket(addr);
    server->DataMode(tav::DataMode_Binary);
    size_t received = 0;
    bool closed = false;
    mgr->DataReceived.Subscribe([&](const std::shared_ptr<tav::TAVSocket>&, tav::Variant& info) {
        received += info.AsBytes().size();
    });
    mgr->SocketClosed.Subscribe([&](const std::shared_ptr<tav::TAVSocket>&) { closed = true; });
    const auto port = static_cast<uint16_t>(server->LocalAddr()->Port());
    const auto t0 = Clock::now();
    std::thread sender(Send, port);
    tav::RunMessagesUntil([&] { return closed || received >= kTotal; }, 120s);
    const std::chrono::duration<double> s = Clock::now() - t0;
    sender.join();
    if (received != kTotal) {
        std::fprintf(stderr, "manager received %zu bytes\n", received);
        std::exit(1);
    }
    return static_cast<double>(received) / s.count();
}

/// Bytes per second through a plain epoll loop on the same kind of connection.
double PlainRate() {
    size_t received = 0;
    const double seconds = bench::PlainEpollReceive(Send, [&](const char*, size_t n) { received += n; });
    if (received != kTotal) {
        std::fprintf(stderr, "plain loop received %zu bytes\n", received);
        std::exit(1);
    }
    return static_cast<double>(received) / seconds;
}

}  // namespace

int main() {
    setenv("TAVSOCK_CONFIG_DIR", "/nonexistent/tavsock-bench", 1);  // no marker: log off
    const double plain = bench::Best(kRounds, PlainRate);
    const double mgr = bench::Best(kRounds, ManagerRate);
    std::printf("binary bulk receive: TavTCPSocketMgr %8.0f MiB/s   plain epoll %8.0f MiB/s   ratio %.2f (target >= 0.8)\n",
                mgr / (1 << 20), plain / (1 << 20), mgr / plain);
    return 0;
}
