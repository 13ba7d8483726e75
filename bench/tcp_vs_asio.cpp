// The TCP manager's paths against Boost.Asio and a hand-written epoll loop, one thread owning
// both ends of every connection, library defaults (the framed runs set the marks "BEG" and
// "END"). Each workload runs five times per contender, the contenders interleaved round by
// round; the figure is the median, the runs are printed too, and the ratios are of medians.
//
//   framed batch 1000 / batch 1: messages "BEG" + 90 bytes + "END" (byte j of message i's body
//     is 'a' + (i + j) % 26), 1,000 or 1 per send; the receiver counts delivered messages.
//     Asio reads with async_read_until("END"); the hand loop scans with memchr, letter case
//     counting (the optimum); both copy each message out as text, as the manager must.
//   bulk: binary data in 64 KiB sends, the receiver counts bytes.
//   connections: N connections, at most 1,000 in flight; each client sends 32 bytes, the
//     server echoes them and closes, the client closes when it has them back.
//   cycles (own command): sequential connect/echo/close through the manager alone, the rate
//     of each 10,000 against the first's, and any failure.
//
// Usage: bench_tcp_vs_asio [--full] [--family 4|6|both] [framed|bulk|connections|cycles [count]]
// --family picks the loopback address every contender uses: 127.0.0.1 (the default) or ::1;
// "both" runs each workload over both and prints the manager's IPv6 median against its IPv4 one.
// Default sizes are small enough for a quick look; --full runs the sizes of the goals (1,000,000
// messages, 2 GiB, 1,000 and 5,000 connections). Connections leave sockets in TIME_WAIT on the
// machine; run the program in its own network namespace on a shared machine:
//   unshare -n sh -c 'ip link set lo up && build/bench/bench_tcp_vs_asio --full'
#include <tavsock/MessageLoop.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>  // before Asio, whose awaitable.hpp uses std::exchange without it

#include <boost/asio.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr int kRuns = 5;
constexpr size_t kBody = 90;
constexpr size_t kFramed = kBody + 6;
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kEcho = 32;
constexpr int kWindow = 1000;

bool gIpv6 = false;  // every contender works over ::1 instead of 127.0.0.1

const char* LoopbackText() { return gIpv6 ? "::1" : "127.0.0.1"; }
const char* AnyText() { return gIpv6 ? "::" : "0.0.0.0"; }
asio::ip::address AsioLoopback() {
    return gIpv6 ? asio::ip::address(asio::ip::address_v6::loopback()) : asio::ip::address(asio::ip::address_v4::loopback());
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "bench failed: %s\n", what);
    std::exit(1);
}

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::string Stream(long count) {
    std::string all;
    all.reserve(static_cast<size_t>(count) * kFramed);
    for (long i = 0; i < count; ++i) {
        all += "BEG";
        for (size_t j = 0; j < kBody; ++j) all += static_cast<char>('a' + (static_cast<size_t>(i) + j) % 26);
        all += "END";
    }
    return all;
}

std::shared_ptr<tav::TAVSockAddr> Address(const char* ip, int port) {
    auto a = tav::TAVSockAddr::Create();
    a->IPAddress(ip);
    a->Port(static_cast<int16_t>(port));
    return a;
}

// ---- The manager ---------------------------------------------------------------------------

/// A manager with a listening server and a connected client socket in binary mode.
struct ManagerPair {
    std::shared_ptr<tav::TavTCPSocketMgr> mgr = tav::TavTCPSocketMgr::Create();
    std::shared_ptr<tav::TAVSocket> server;
    std::shared_ptr<tav::TAVSocket> client;
    bool blocked = false;  // a send ran out of retries; DataSent ends it

    explicit ManagerPair(bool framed) {
        server = mgr->CreateServerSocket(Address(LoopbackText(), 0));
        if (framed) {
            server->MsgBeginMark("BEG");
            server->MsgEndMark("END");
        } else {
            server->DataMode(tav::DataMode_Binary);
        }
        client = mgr->CreateClientSocket(Address(AnyText(), 0));
        client->DataMode(tav::DataMode_Binary);
        bool connected = false;
        auto c1 = mgr->ConnectComplete.Subscribe([&](const std::shared_ptr<tav::TAVSocket>&) { connected = true; });
        bool accepted = false;
        auto c2 = mgr->AcceptComplete.Subscribe([&](const std::shared_ptr<tav::TAVSocket>&, const std::shared_ptr<tav::TAVSocket>&,
                                                    const std::shared_ptr<tav::TAVSockAddr>&) { accepted = true; });
        mgr->DataSent.Subscribe([this](const std::shared_ptr<tav::TAVSocket>&) { blocked = false; });
        client->Connect(Address(LoopbackText(), static_cast<uint16_t>(server->LocalAddr()->Port())));
        if (!tav::RunMessagesUntil([&] { return connected && accepted; }, 10s)) Fail("manager connect");
        c1.Disconnect();
        c2.Disconnect();
    }
    /// Sends `data`, then lets pending messages run, as a host sending in a loop does.
    void Send(const tav::Variant& data) {
        try {
            client->Send(data);
        } catch (const tav::SockError& e) {
            if (e.Number() != 10035) Fail("manager send");
            blocked = true;
            if (!tav::RunMessagesUntil([&] { return !blocked; }, 30s)) Fail("manager send blocked");
        }
        tav::RunPendingMessages();
    }
};

double ManagerFramed(const std::string& stream, long messages, long batch) {
    ManagerPair p(true);
    long count = 0;
    p.mgr->DataReceived.Subscribe([&](const std::shared_ptr<tav::TAVSocket>&, tav::Variant& info) {
        if (info.AsString().size() == kBody) ++count;
    });
    const size_t step = static_cast<size_t>(batch) * kFramed;
    const auto t0 = Clock::now();
    for (size_t at = 0; at < stream.size(); at += step) {
        // As bytes, so the copy into the byte array is one block copy rather than a
        // conversion of each character.
        const auto* first = reinterpret_cast<const uint8_t*>(stream.data()) + at;
        p.Send(tav::Variant(tav::ByteArray(first, first + std::min(step, stream.size() - at))));
    }
    if (!tav::RunMessagesUntil([&] { return count >= messages; }, 120s)) Fail("manager framed");
    return static_cast<double>(count) / Since(t0);
}

double ManagerBulk(size_t total) {
    ManagerPair p(false);
    size_t received = 0;
    p.mgr->DataReceived.Subscribe([&](const std::shared_ptr<tav::TAVSocket>&, tav::Variant& info) {
        received += info.AsBytes().size();
    });
    const tav::Variant chunk(tav::ByteArray(kChunk, 'x'));
    const auto t0 = Clock::now();
    for (size_t sent = 0; sent < total; sent += kChunk) p.Send(chunk);
    if (!tav::RunMessagesUntil([&] { return received >= total; }, 120s)) Fail("manager bulk");
    return static_cast<double>(received) / Since(t0) / (1 << 20);
}

double ManagerConnections(int total) {
    auto mgr = tav::TavTCPSocketMgr::Create();
    auto server = mgr->CreateServerSocket(Address(LoopbackText(), 0), "", kWindow);
    server->DataMode(tav::DataMode_Binary);
    const auto to = Address(LoopbackText(), static_cast<uint16_t>(server->LocalAddr()->Port()));
    const auto any = Address(AnyText(), 0);
    const tav::Variant payload(tav::ByteArray(kEcho, 'e'));
    int started = 0, done = 0;
    std::map<tav::TAVSocket*, size_t> got;
    std::weak_ptr<tav::TavTCPSocketMgr> weak = mgr;
    auto start = [&] {
        ++started;
        auto c = mgr->CreateClientSocket(any);
        c->DataMode(tav::DataMode_Binary);
        c->Connect(to);
    };
    mgr->ConnectComplete.Subscribe([&](const std::shared_ptr<tav::TAVSocket>& s) { s->Send(payload); });
    mgr->DataReceived.Subscribe([&](const std::shared_ptr<tav::TAVSocket>& s, tav::Variant& info) {
        auto m = weak.lock();
        if (s->IsConnectionAcceptor()) {  // the server's end: echo and close
            s->Send(info);
            m->DestroySocket(s);
            return;
        }
        size_t& n = got[s.get()];
        n += info.AsBytes().size();
        if (n < kEcho) return;
        got.erase(s.get());
        m->DestroySocket(s);
        ++done;
        if (started < total) start();
    });
    mgr->SocketClosed.Subscribe([&](const std::shared_ptr<tav::TAVSocket>& s) {
        if (auto m = weak.lock()) m->DestroySocket(s);
    });
    const auto t0 = Clock::now();
    while (started < std::min(total, kWindow)) start();
    if (!tav::RunMessagesUntil([&] { return done >= total; }, 120s)) Fail("manager connections");
    const double rate = total / Since(t0);
    tav::RunMessagesUntil([&] { return mgr->Sockets()->SocketCount() == 1; }, 10s);
    return rate;
}

// ---- Boost.Asio ------------------------------------------------------------------------------

struct AsioPair {
    asio::io_context io{1};
    tcp::acceptor acceptor{io, tcp::endpoint(AsioLoopback(), 0)};
    tcp::socket server{io};
    tcp::socket client{io};
    AsioPair() {
        acceptor.async_accept(server, [](boost::system::error_code ec) {
            if (ec) Fail("asio accept");
        });
        client.async_connect(acceptor.local_endpoint(), [](boost::system::error_code ec) {
            if (ec) Fail("asio connect");
        });
        io.run();
        io.restart();
    }
};

double AsioFramed(const std::string& stream, long messages, long batch) {
    AsioPair p;
    long count = 0;
    asio::streambuf buffer;
    std::function<void()> read = [&] {
        asio::async_read_until(p.server, buffer, "END", [&](boost::system::error_code ec, size_t n) {
            if (ec) Fail("asio read");
            const std::string_view d(static_cast<const char*>(buffer.data().data()), n);
            const size_t begin = d.find("BEG");
            if (begin != std::string_view::npos) {
                std::string message(d.substr(begin + 3, n - 3 - (begin + 3)));
                if (message.size() == kBody) ++count;
            }
            buffer.consume(n);
            if (count < messages) read();
        });
    };
    const size_t step = static_cast<size_t>(batch) * kFramed;
    size_t at = 0;
    std::function<void()> write = [&] {
        if (at >= stream.size()) return;
        const size_t n = std::min(step, stream.size() - at);
        asio::async_write(p.client, asio::buffer(stream.data() + at, n), [&, n](boost::system::error_code ec, size_t) {
            if (ec) Fail("asio write");
            at += n;
            write();
        });
    };
    const auto t0 = Clock::now();
    read();
    write();
    p.io.run();
    if (count != messages) Fail("asio framed count");
    return static_cast<double>(count) / Since(t0);
}

double AsioBulk(size_t total) {
    AsioPair p;
    size_t received = 0, sent = 0;
    std::vector<char> in(kChunk), out(kChunk, 'x');
    std::function<void()> read = [&] {
        p.server.async_read_some(asio::buffer(in), [&](boost::system::error_code ec, size_t n) {
            if (ec) Fail("asio read");
            received += n;
            if (received < total) read();
        });
    };
    std::function<void()> write = [&] {
        if (sent >= total) return;
        asio::async_write(p.client, asio::buffer(out), [&](boost::system::error_code ec, size_t n) {
            if (ec) Fail("asio write");
            sent += n;
            write();
        });
    };
    const auto t0 = Clock::now();
    read();
    write();
    p.io.run();
    return static_cast<double>(received) / Since(t0) / (1 << 20);
}

double AsioConnections(int total) {
    asio::io_context io{1};
    tcp::acceptor acceptor(io, tcp::endpoint(AsioLoopback(), 0));
    acceptor.listen(kWindow);
    const tcp::endpoint to = acceptor.local_endpoint();
    int started = 0, done = 0;
    struct Conn {
        explicit Conn(asio::io_context& io) : socket(io) {}
        tcp::socket socket;
        char data[kEcho];
    };
    std::function<void()> accept = [&] {
        auto c = std::make_shared<Conn>(io);
        acceptor.async_accept(c->socket, [&, c](boost::system::error_code ec) {
            if (ec == asio::error::operation_aborted) return;  // all done: the acceptor closed
            if (ec) Fail("asio accept");
            asio::async_read(c->socket, asio::buffer(c->data), [c](boost::system::error_code e, size_t) {
                if (e) Fail("asio server read");
                asio::async_write(c->socket, asio::buffer(c->data), [c](boost::system::error_code e2, size_t) {
                    if (e2) Fail("asio server write");
                    c->socket.close();
                });
            });
            accept();
        });
    };
    std::function<void()> start = [&] {
        ++started;
        auto c = std::make_shared<Conn>(io);
        std::memset(c->data, 'e', kEcho);
        c->socket.async_connect(to, [&, c](boost::system::error_code ec) {
            if (ec) Fail("asio connect");
            asio::async_write(c->socket, asio::buffer(c->data), [&, c](boost::system::error_code e, size_t) {
                if (e) Fail("asio client write");
                asio::async_read(c->socket, asio::buffer(c->data), [&, c](boost::system::error_code e2, size_t) {
                    if (e2) Fail("asio client read");
                    c->socket.close();
                    if (++done == total) acceptor.close();
                    if (started < total) start();
                });
            });
        });
    };
    const auto t0 = Clock::now();
    accept();
    while (started < std::min(total, kWindow)) start();
    io.run();
    if (done != total) Fail("asio connections");
    return total / Since(t0);
}

// ---- The hand-written loop -------------------------------------------------------------------

/// A connected pair of non-blocking descriptors and an epoll set: the server's end for reading,
/// the client's for writing while it has something to write.
struct PlainPair {
    int listener = -1, server = -1, client = -1, ep = -1;
    PlainPair() {
        const int family = gIpv6 ? AF_INET6 : AF_INET;
        listener = ::socket(family, SOCK_STREAM, 0);
        sockaddr_storage a{};
        socklen_t len = gIpv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        if (gIpv6) {
            auto& a6 = reinterpret_cast<sockaddr_in6&>(a);
            a6.sin6_family = AF_INET6;
            a6.sin6_addr = in6addr_loopback;
        } else {
            auto& a4 = reinterpret_cast<sockaddr_in&>(a);
            a4.sin_family = AF_INET;
            a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        }
        if (::bind(listener, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            Fail("plain listen");
        client = ::socket(family, SOCK_STREAM, 0);
        if (::connect(client, reinterpret_cast<sockaddr*>(&a), len) != 0) Fail("plain connect");
        server = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        if (server < 0) Fail("plain accept");
        ::fcntl(client, F_SETFL, ::fcntl(client, F_GETFL) | O_NONBLOCK);
        ep = ::epoll_create1(0);
        epoll_event in{EPOLLIN, {.fd = server}};
        epoll_event out{EPOLLOUT, {.fd = client}};
        ::epoll_ctl(ep, EPOLL_CTL_ADD, server, &in);
        ::epoll_ctl(ep, EPOLL_CTL_ADD, client, &out);
    }
    ~PlainPair() {
        for (int fd : {ep, client, server, listener}) ::close(fd);
    }
    /// Runs until `done`: writes pieces from `next` (empty: nothing more) while the client's
    /// end takes them, reads the server's end into a 64 KiB buffer handing each read to `onData`.
    template <class Next, class OnData, class Done>
    void Run(Next next, OnData onData, Done done) {
        std::vector<char> buffer(kChunk);
        std::string_view pending = next();
        bool writing = true;
        while (!done()) {
            epoll_event events[2];
            const int n = ::epoll_wait(ep, events, 2, 10000);
            if (n <= 0) Fail("plain wait");
            for (int k = 0; k < n; ++k) {
                if (events[k].data.fd == client) {
                    while (!pending.empty()) {
                        const ssize_t w = ::send(client, pending.data(), pending.size(), MSG_NOSIGNAL);
                        if (w < 0) break;
                        pending.remove_prefix(static_cast<size_t>(w));
                        if (pending.empty()) pending = next();
                    }
                    if (pending.empty() && writing) {
                        writing = false;
                        ::epoll_ctl(ep, EPOLL_CTL_DEL, client, nullptr);
                    }
                } else {
                    for (;;) {
                        const ssize_t r = ::recv(server, buffer.data(), buffer.size(), 0);
                        if (r < 0) break;
                        if (r == 0) Fail("plain read");
                        onData(buffer.data(), static_cast<size_t>(r));
                    }
                }
            }
        }
    }
};

/// Finds "BEG" ... "END" with memchr, case counting; copies each message out. Returns how much
/// of `d` it used up.
size_t ScanMemchr(const char* d, size_t n, long& count) {
    size_t used = 0;
    for (;;) {
        const char* p = d + used;
        const char* end = d + n;
        const char* b = p;
        for (;;) {
            b = static_cast<const char*>(std::memchr(b, 'B', static_cast<size_t>(end - b)));
            if (!b || end - b < 3) return used;
            if (b[1] == 'E' && b[2] == 'G') break;
            ++b;
        }
        const char* body = b + 3;
        const char* e = body;
        for (;;) {
            e = static_cast<const char*>(std::memchr(e, 'E', static_cast<size_t>(end - e)));
            if (!e || end - e < 3) return used;
            if (e[1] == 'N' && e[2] == 'D') break;
            ++e;
        }
        std::string message(body, static_cast<size_t>(e - body));
        if (message.size() == kBody) ++count;
        used = static_cast<size_t>(e + 3 - d);
    }
}

double PlainFramed(const std::string& stream, long messages, long batch) {
    PlainPair p;
    long count = 0;
    std::string held;
    const size_t step = static_cast<size_t>(batch) * kFramed;
    size_t at = 0;
    const auto t0 = Clock::now();
    p.Run(
        [&] {
            const std::string_view piece = std::string_view(stream).substr(std::min(at, stream.size()), step);
            at += step;
            return piece;
        },
        [&](const char* data, size_t n) {
            if (held.empty()) {
                const size_t used = ScanMemchr(data, n, count);
                held.assign(data + used, n - used);
            } else {
                held.append(data, n);
                held.erase(0, ScanMemchr(held.data(), held.size(), count));
            }
        },
        [&] { return count >= messages; });
    return static_cast<double>(count) / Since(t0);
}

double PlainBulk(size_t total) {
    PlainPair p;
    size_t received = 0, sent = 0;
    const std::string out(kChunk, 'x');
    const auto t0 = Clock::now();
    p.Run(
        [&] {
            if (sent >= total) return std::string_view();
            sent += kChunk;
            return std::string_view(out);
        },
        [&](const char*, size_t n) { received += n; }, [&] { return received >= total; });
    return static_cast<double>(received) / Since(t0) / (1 << 20);
}

// ---- Reporting -------------------------------------------------------------------------------

struct Series {
    const char* name;
    std::function<double()> run;
    std::vector<double> values;
    double Median() const {
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
};

/// Runs the contenders kRuns times interleaved; prints each one's runs and median, then every
/// contender's median against the first's.
/// BENCH_ONLY=<name prefix> in the environment runs that contender alone (for profiling);
/// BENCH_BATCH=1 or 1000 runs that framed batch alone.
/// The manager's median of each workload (by title) over 127.0.0.1, for --family both.
std::map<std::string, double> gIpv4Medians;

void Compare(const char* title, const char* unit, std::vector<Series> series) {
    if (const char* only = std::getenv("BENCH_ONLY")) {
        std::erase_if(series, [only](const Series& s) { return std::strncmp(s.name, only, std::strlen(only)) != 0; });
        if (series.empty()) return;
    }
    for (int r = 0; r < kRuns; ++r)
        for (auto& s : series) s.values.push_back(s.run());
    std::printf("%s over %s\n", title, LoopbackText());
    for (const auto& s : series) {
        std::printf("  %-22s median %12.0f %s   runs", s.name, s.Median(), unit);
        for (double v : s.values) std::printf(" %.0f", v);
        std::printf("\n");
    }
    for (size_t k = 1; k < series.size(); ++k)
        std::printf("  ratio manager / %-14s %.2f\n", series[k].name, series[0].Median() / series[k].Median());
    if (!gIpv6)
        gIpv4Medians[title] = series[0].Median();
    else if (const auto v4 = gIpv4Medians.find(title); v4 != gIpv4Medians.end())
        std::printf("  ratio manager IPv6 / IPv4       %.2f (goal >= 0.9)\n", series[0].Median() / v4->second);
    std::fflush(stdout);
}

void Framed(long messages) {
    const std::string stream = Stream(messages);
    for (long batch : {1000L, 1L}) {
        if (const char* only = std::getenv("BENCH_BATCH"); only && std::atol(only) != batch) continue;
        char title[160];
        std::snprintf(title, sizeof title, "framed, %ld messages of %zu bytes, %ld per send (messages/s):", messages,
                      kFramed, batch);
        std::vector<Series> s{{"TavTCPSocketMgr", [&] { return ManagerFramed(stream, messages, batch); }, {}},
                              {"Asio read_until", [&] { return AsioFramed(stream, messages, batch); }, {}}};
        if (batch != 1) s.push_back({"memchr scanner", [&] { return PlainFramed(stream, messages, batch); }, {}});
        Compare(title, "msg/s", std::move(s));
    }
}

void Bulk(size_t total) {
    char title[160];
    std::snprintf(title, sizeof title, "bulk, %zu MiB in 64 KiB sends (MiB/s):", total >> 20);
    Compare(title, "MiB/s",
            {{"TavTCPSocketMgr", [&] { return ManagerBulk(total); }, {}},
             {"Asio", [&] { return AsioBulk(total); }, {}},
             {"plain epoll", [&] { return PlainBulk(total); }, {}}});
}

void Connections(int total) {
    char title[160];
    std::snprintf(title, sizeof title, "connections, %d with at most %d in flight, 32-byte echo (connections/s):", total,
                  kWindow);
    Compare(title, "conn/s",
            {{"TavTCPSocketMgr", [&] { return ManagerConnections(total); }, {}},
             {"Asio", [&] { return AsioConnections(total); }, {}}});
}

/// Sequential connect/echo/close cycles through one manager; the client closes first, so its
/// ports go to TIME_WAIT. Prints the rate of every 10,000 and fails on the first error.
void Cycles(int total) {
    auto mgr = tav::TavTCPSocketMgr::Create();
    auto server = mgr->CreateServerSocket(Address(LoopbackText(), 0), "", 16);
    server->DataMode(tav::DataMode_Binary);
    const auto to = Address(LoopbackText(), static_cast<uint16_t>(server->LocalAddr()->Port()));
    const auto any = Address(AnyText(), 0);
    const tav::Variant payload(tav::ByteArray(kEcho, 'e'));
    std::weak_ptr<tav::TavTCPSocketMgr> weak = mgr;
    bool echoed = false;
    int errors = 0;
    mgr->ConnectComplete.Subscribe([&](const std::shared_ptr<tav::TAVSocket>& s) { s->Send(payload); });
    mgr->DataReceived.Subscribe([&](const std::shared_ptr<tav::TAVSocket>& s, tav::Variant& info) {
        if (s->IsConnectionAcceptor()) {
            s->Send(info);
            return;
        }
        if (info.AsBytes().size() == kEcho) echoed = true;
    });
    mgr->SocketError.Subscribe([&](const std::shared_ptr<tav::TAVSocket>&, int32_t) { ++errors; });
    mgr->SocketClosed.Subscribe([&](const std::shared_ptr<tav::TAVSocket>& s) {
        if (auto m = weak.lock()) m->DestroySocket(s);
    });
    constexpr int kStep = 10000;
    double first = 0, lowest = 1e30;
    auto t0 = Clock::now();
    for (int i = 1; i <= total; ++i) {
        echoed = false;
        std::shared_ptr<tav::TAVSocket> c;
        try {
            c = mgr->CreateClientSocket(any);
            c->DataMode(tav::DataMode_Binary);
            if (c->Connect(to) != 0 && c->State() != tav::Skt_ConnectionPending && c->State() != tav::Skt_Ready) {
                std::printf("cycle %d: connect failed with %d\n", i, c->LastError());
                std::exit(1);
            }
        } catch (const tav::SockError& e) {
            std::printf("cycle %d: error %d\n", i, e.Number());
            std::exit(1);
        }
        if (!tav::RunMessagesUntil([&] { return echoed || errors > 0; }, 10s) || errors > 0) {
            std::printf("cycle %d: no echo (%d socket errors)\n", i, errors);
            std::exit(1);
        }
        mgr->DestroySocket(c);
        c.reset();
        if (i % kStep == 0) {
            const double rate = kStep / Since(t0);
            if (first == 0) first = rate;
            lowest = std::min(lowest, rate);
            std::printf("  cycles %6d-%6d: %8.0f per second (%.2f of the first 10,000)\n", i - kStep + 1, i, rate,
                        rate / first);
            std::fflush(stdout);
            t0 = Clock::now();
        }
    }
    tav::RunMessagesUntil([&] { return mgr->Sockets()->SocketCount() == 1; }, 10s);
    std::printf("cycles: %d sequential connect/echo/close without a failure; lowest rate %.2f of the first (goal >= 0.5)\n",
                total, first > 0 ? lowest / first : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    setenv("TAVSOCK_CONFIG_DIR", "/nonexistent/tavsock-bench", 1);  // no marker: log off
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    bool full = false;
    std::string what = "all";
    std::string family = "4";
    long count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--full") full = true;
        else if (a == "--family" && i + 1 < argc) family = argv[++i];
        else if (a[0] >= '0' && a[0] <= '9') count = std::atol(a.c_str());
        else what = a;
    }
    if (family != "4" && family != "6" && family != "both") Fail("--family takes 4, 6 or both");
    std::printf("sizes: %s (median of %d runs, contenders interleaved)\n", full ? "full" : "quick; --full for the goals'",
                kRuns);
    // Each workload over each family in turn, so the two runs of one workload are close in time.
    auto each = [&](const std::function<void()>& workload) {
        for (const bool v6 : {false, true}) {
            if (family == (v6 ? "4" : "6")) continue;
            gIpv6 = v6;
            workload();
        }
    };
    if (what == "all" || what == "framed") each([&] { Framed(count ? count : full ? 1000000 : 200000); });
    if (what == "all" || what == "bulk") each([&] { Bulk((count ? static_cast<size_t>(count) : full ? 2048 : 256) << 20); });
    if (what == "all" || what == "connections") {
        if (count) {
            each([&] { Connections(static_cast<int>(count)); });
        } else {
            each([&] { Connections(1000); });
            each([&] { Connections(5000); });
        }
    }
    if (what == "cycles") each([&] { Cycles(static_cast<int>(count ? count : 100000)); });
    return 0;
}
