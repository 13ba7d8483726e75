// `tavsock server` and `tavsock client`: framed messages over a TavTCPSocketMgr, every event
// printed as it is raised.
#include "TcpPrint.hpp"
#include "Tool.hpp"
#include "TransportPrint.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace tavtool {
namespace {

using SocketPtr = std::shared_ptr<tav::TAVSocket>;

constexpr auto kConnectTimeout = std::chrono::seconds(15);
constexpr int32_t kWouldBlock = 10035;
// Unsent echoes above which `server --echo` stops reading a connection, and below which it
// reads it again.
constexpr int32_t kEchoPauseAbove = 1 << 20;
constexpr int32_t kEchoResumeBelow = 256 << 10;

/// Applies --begin, --end and --binary to a socket (a listener hands them to what it accepts).
void SetFraming(tav::TAVSocket& skt, const Options& o) {
    skt.MsgBeginMark(UnescapeMark(o.Value("--begin", "")));
    skt.MsgEndMark(UnescapeMark(o.Value("--end", "")));
    if (o.Has("--binary")) skt.DataMode(tav::DataMode_Binary);
}

int RunServer(const Args& args) {
    const Options o = ParseOptions(args, {"--begin", "--end", "--bind", "--count"}, {"--binary", "--echo"});
    RequireArgs(o.positional, 1, 1);
    const int16_t port = ParsePort(o.positional[0]);
    const int64_t count = ParseCount(o.Value("--count", "0"), "--count", 0);
    const bool echo = o.Has("--echo");

    const auto mgr = tav::TavTCPSocketMgr::Create();
    PrintTcpEvents(*mgr);
    int64_t messages = 0;
    // Echoing keeps memory bounded against a peer that sends and does not read: Send never
    // waits for a slow peer (what the stack does not take goes after DataSent), past 1 MiB
    // of unsent echoes the connection is not read (its data waits in the kernel, which slows
    // the peer), and reading resumes on DataSent below 256 KiB. A connection whose Send
    // failed is reported once and not echoed to any more (its Tag holds the error).
    mgr->DataReceived.Subscribe([&](const SocketPtr& skt, tav::Variant& info) {
        if (echo && !skt->Tag().IsNumber()) {
            try {
                skt->Send(info);  // text goes back between the socket's own marks
            } catch (const tav::SockError& e) {
                if (e.Number() != kWouldBlock) {
                    PrintEvent("(echo failed)", SocketName(skt) + ", error " + std::to_string(e.Number()));
                    skt->Tag(e.Number());
                }
            }
            if (skt->PendedSendLength() > kEchoPauseAbove) skt->PauseRecv();
        }
        if (count > 0 && ++messages >= count) tav::QuitMessageLoop();
    });
    if (echo) {
        mgr->AcceptComplete.Subscribe([](const SocketPtr&, const SocketPtr& skt, const auto&) { skt->lngRetrySendTimes(0); });
        mgr->DataSent.Subscribe([](const SocketPtr& skt) {
            if (skt->IsRecvPaused() && skt->PendedSendLength() < kEchoResumeBelow) skt->ResumeRecv();
        });
    }
    // A closed connection is of no further use; letting go of it closes its handle.
    mgr->SocketClosed.Subscribe([&](const SocketPtr& skt) { mgr->DestroySocket(skt); });

    const auto listener = mgr->CreateServerSocket(LocalAddress(o, port), "", 5);
    SetFraming(*listener, o);
    std::printf("listening on %s (TCP, %s)%s; %s\n", Endpoint(*listener->LocalAddr()).c_str(),
                FramingText(*listener).c_str(), echo ? ", echoing" : "",
                count > 0 ? ("ends after " + std::to_string(count) + " message(s)").c_str() : "Ctrl-C ends");
    std::fflush(stdout);
    tav::RunMessageLoop();
    return kExitOk;
}

/// Cuts standard input into lines ("\n", a trailing "\r" dropped); the last line may lack
/// its "\n".
class LineReader {
public:
    /// Reads what waits; false at end of input (or a read error).
    bool ReadMore() {
        char buf[4096];
        ssize_t n;
        do {
            n = ::read(STDIN_FILENO, buf, sizeof buf);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return false;
        pending_.append(buf, static_cast<size_t>(n));
        return true;
    }
    /// The next whole line, taken out; false when none is complete (or, with `atEnd`, when
    /// nothing at all is left).
    bool Next(std::string& line, bool atEnd) {
        size_t nl = pending_.find('\n');
        if (nl == std::string::npos) {
            if (!atEnd || pending_.empty()) return false;
            nl = pending_.size();
        }
        line = pending_.substr(0, nl);
        pending_.erase(0, std::min(nl + 1, pending_.size()));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }

private:
    std::string pending_;
};

int RunClient(const Args& args) {
    const Options o = ParseOptions(args, {"--begin", "--end", "--bind", "--wait", "--timeout"}, {"--binary"});
    RequireArgs(o.positional, 2, 2);
    const std::chrono::seconds connectTimeout(
        ParseCount(o.Value("--timeout", std::to_string(kConnectTimeout.count())), "--timeout", 1));
    const int16_t port = ParsePort(o.positional[1]);
    const int64_t waitMs = ParseCount(o.Value("--wait", "0"), "--wait", 0);
    const auto targets = AddressesOf(o.positional[0], port);
    if (targets.empty()) {
        Fail("client", "host '" + o.positional[0] + "' not found");
        return kExitNotFound;
    }

    const auto mgr = tav::TavTCPSocketMgr::Create();
    PrintTcpEvents(*mgr);
    bool connected = false, closed = false, refused = false;
    int32_t connectError = 0;
    int64_t writable = 0;  // DataSent events so far
    mgr->ConnectComplete.Subscribe([&](const SocketPtr&) { connected = true; });
    mgr->SocketClosed.Subscribe([&](const SocketPtr&) { closed = true; });
    mgr->SocketError.Subscribe([&](const SocketPtr&, int32_t error) {
        if (connected || refused) return;
        refused = true;
        connectError = error;
    });
    mgr->DataSent.Subscribe([&](const SocketPtr&) { ++writable; });

    // A name's addresses are tried in order (IPv4 first), each with the whole time-out, until
    // one connects: one after the other rather than racing them, since a loopback or LAN peer
    // answers or refuses at once and a second connection would only have to be thrown away.
    SocketPtr skt;
    for (size_t i = 0; !connected; ++i) {
        const auto& to = targets[i];
        const bool last = i + 1 == targets.size();
        if (skt) mgr->DestroySocket(skt);
        closed = refused = false;
        skt = mgr->CreateClientSocket(ClientAddress(o, to->Family()));
        SetFraming(*skt, o);
        std::printf("connecting %s from %s to %s (%s)\n", SocketName(skt).c_str(), Endpoint(*skt->LocalAddr()).c_str(),
                    Endpoint(*to).c_str(), FramingText(*skt).c_str());
        std::fflush(stdout);
        std::string failure;
        // Connect runs the queue: the connection may be complete, or refused, when it returns.
        if (skt->Connect(to) == 0) {
            connected = true;
        } else if (!connected && !refused && skt->State() != tav::Skt_ConnectionPending) {
            failure = "connect to " + Endpoint(*to) + " failed: " + ErrorText(skt->LastError());
        }
        if (failure.empty()) tav::RunMessagesUntil([&] { return connected || refused || closed; }, connectTimeout);
        if (connected) break;
        if (failure.empty() && refused)
            failure = "connect to " + Endpoint(*to) + " failed: " + ErrorText(connectError);
        else if (failure.empty() && closed)
            failure = "connect to " + Endpoint(*to) + " failed: the connection closed";
        else if (failure.empty())
            failure = "connect to " + Endpoint(*to) + " timed out after " + std::to_string(connectTimeout.count()) + " s";
        if (last) {
            Fail("client", failure);
            return kExitNotFound;
        }
        std::printf("%s; trying the next address\n", Printable(failure).c_str());
    }
    std::printf("connected; each line of standard input goes out as one message, end of input ends\n");
    std::fflush(stdout);

    // The host-driven loop: the queue's descriptor and standard input in one poll.
    LineReader reader;
    bool atEnd = false;
    int64_t stalledAt = -1;  // `writable` when a send last had to leave data pending
    bool sendFailed = false;
    auto send = [&](const std::string& line) {
        try {
            if (o.Has("--binary"))
                skt->Send(tav::Variant(tav::ByteArray(line.begin(), line.end())));
            else
                skt->Send(tav::Variant(line));
        } catch (const tav::SockError& e) {
            if (e.Number() != kWouldBlock) {
                Fail("client", "Send failed: " + ErrorText(e.Number()));
                sendFailed = true;
            }
            stalledAt = writable;  // the rest goes out at the next write notification
        }
    };
    while (!closed && !atEnd && !sendFailed) {
        pollfd fds[2] = {{tav::MessageLoopDescriptor(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[0].revents) tav::RunPendingMessages();
        if (closed || !fds[1].revents) continue;
        atEnd = !reader.ReadMore();
        std::string line;
        while (!sendFailed && reader.Next(line, atEnd)) send(line);
    }
    if (!closed && stalledAt >= 0) {
        // Pending data is flushed right after the next write notification.
        tav::RunMessagesUntil([&] { return closed || writable > stalledAt; }, kConnectTimeout);
        tav::RunPendingMessages();
    }
    if (!closed && waitMs > 0) tav::RunMessagesUntil([&] { return closed; }, std::chrono::milliseconds(waitMs));
    mgr->DestroySocket(skt);
    return sendFailed ? kExitNotFound : kExitOk;
}

const RegisterCommand kServer{
    {"server", "<port> [--begin MARK] [--end MARK] [--binary] [--echo] [--count N] [--bind ADDR]",
     "framed-message TCP server printing every event (marks take \\n \\r \\t)", RunServer,
     "  Listens on 127.0.0.1:<port> unless --bind names another local address (0.0.0.0: all;\n"
     "  \"::\": all, IPv6 and IPv4; \"::1\": IPv6 loopback).\n"
     "  --begin MARK, --end MARK  text between the marks is one message (\\n \\r \\t \\\\ allowed)\n"
     "  --binary   raw bytes instead of framed text\n"
     "  --echo     send every message back (framed with the same marks)\n"
     "  --count N  end after N messages (default: run until Ctrl-C)\n"
     "  example: tavsock server 7001 --begin '<B>' --end '<E>' --echo\n"}};
const RegisterCommand kClient{
    {"client", "<host> <port> [--begin MARK] [--end MARK] [--binary] [--wait MS] [--timeout S] [--bind ADDR]",
     "send each stdin line as one framed message, print events; ends at end of input", RunClient,
     "  The system picks the local address unless --bind names one (a client aimed at another\n"
     "  host must not be bound to 127.0.0.1).\n"
     "  --begin MARK, --end MARK  frame each line between the marks\n"
     "  --binary     send lines as raw bytes\n"
     "  --wait MS    after end of input, keep printing replies for MS milliseconds\n"
     "  --timeout S  give up connecting after S seconds (default 15)\n"
     "  example: printf 'one\\n' | tavsock client 127.0.0.1 7001 --begin '<B>' --end '<E>' --wait 1000\n"}};

}  // namespace
}  // namespace tavtool
