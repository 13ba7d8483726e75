// `tavsock udp-listen` and `tavsock udp-send`: datagrams through a TavUDPSocketMgr, every
// DataReceived printed with its sender.
#include "Tool.hpp"
#include "TransportPrint.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavUDPSocketMgr.hpp>

#include <chrono>
#include <cstdio>

namespace tavtool {
namespace {

/// Prints every DataReceived of `mgr`; `onEach` runs after each line.
void PrintDatagrams(tav::TavUDPSocketMgr& mgr, std::function<void()> onEach = {}) {
    mgr.DataReceived.Subscribe([onEach = std::move(onEach)](const std::shared_ptr<tav::TAVSocket>& skt,
                                                            const std::shared_ptr<tav::TAVSockAddr>& from,
                                                            tav::Variant& info) {
        PrintEvent("DataReceived", SocketName(skt) + " from " + Endpoint(*from) + ": " + Shown(info));
        if (onEach) onEach();
    });
}

int RunUdpListen(const Args& args) {
    const Options o = ParseOptions(args, {"--bind"}, {"--binary"});
    RequireArgs(o.positional, 1, 2);
    const int16_t port = ParsePort(o.positional[0]);
    const int64_t count = o.positional.size() > 1 ? ParseCount(o.positional[1], "count", 1) : 0;

    const auto mgr = tav::TavUDPSocketMgr::Create();
    int64_t seen = 0;
    PrintDatagrams(*mgr, [&] {
        if (count > 0 && ++seen == count) tav::QuitMessageLoop();
    });
    const auto skt = mgr->CreateServerSocket(LocalAddress(o, port));
    if (o.Has("--binary")) skt->DataMode(tav::DataMode_Binary);
    std::printf("listening on %s (UDP, %s); %s\n", Endpoint(*skt->LocalAddr()).c_str(),
                o.Has("--binary") ? "binary" : "text",
                count > 0 ? ("ends after " + std::to_string(count) + " datagram(s)").c_str() : "Ctrl-C ends");
    std::fflush(stdout);
    tav::RunMessageLoop();
    return kExitOk;
}

int RunUdpSend(const Args& args) {
    const Options o = ParseOptions(args, {"--bind", "--wait"}, {});
    RequireArgs(o.positional, 3, 3);
    const int16_t port = ParsePort(o.positional[1]);
    const int64_t waitMs = ParseCount(o.Value("--wait", "0"), "--wait", 0);
    const auto to = AddressOf(o.positional[0], port);
    if (!to) {
        Fail("udp-send", "host '" + o.positional[0] + "' not found");
        return kExitNotFound;
    }

    const auto mgr = tav::TavUDPSocketMgr::Create();
    PrintDatagrams(*mgr);
    const auto skt = mgr->CreateClientSocket(ClientAddress(o, to->Family()));
    const std::string& text = o.positional[2];
    skt->SendTo(tav::Variant(text), to);  // raises the socket error when it fails
    std::printf("sent %zu bytes from %s to %s\n", text.size(), Endpoint(*skt->LocalAddr()).c_str(),
                Endpoint(*to).c_str());
    std::fflush(stdout);
    // Replies, if asked to wait for them.
    if (waitMs > 0) tav::RunMessagesUntil([] { return false; }, std::chrono::milliseconds(waitMs));
    return kExitOk;
}

const RegisterCommand kUdpListen{{"udp-listen", "<port> [count] [--bind ADDR] [--binary]",
                                  "print datagrams arriving at a UDP port (0: any free one)", RunUdpListen,
                                  "  Binds 127.0.0.1 unless --bind names another local address (0.0.0.0: all).\n"
                                  "  count   end after that many datagrams (default: run until Ctrl-C)\n"
                                  "  --binary  show data as bytes instead of text\n"
                                  "  example: tavsock udp-listen 7000 1\n"}};
const RegisterCommand kUdpSend{{"udp-send", "<host> <port> <text> [--bind ADDR] [--wait MS]",
                                "send one datagram; print replies arriving within MS", RunUdpSend,
                                "  The system picks the local address and port unless --bind names an address.\n"
                                "  --wait MS  keep listening MS milliseconds for replies (default 0)\n"
                                "  example: tavsock udp-send 127.0.0.1 7000 hello\n"}};

}  // namespace
}  // namespace tavtool
