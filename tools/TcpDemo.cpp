// Demo part for the TCP manager (order band 200-299): a server and a client, each with a
// TavTCPSocketMgr of its own, exchange framed messages on 127.0.0.1.
#include "TcpPrint.hpp"
#include "Tool.hpp"
#include "TransportPrint.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>

#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace tavtool {
namespace {

using SocketPtr = std::shared_ptr<tav::TAVSocket>;

constexpr auto kStepTimeout = std::chrono::seconds(10);
const char* const kBegin = "<BEGIN>";
const char* const kEnd = "<END>";

/// Runs the queue until `done`; says so when the time-out ends the wait.
bool Await(const char* what, const std::function<bool()>& done) {
    if (tav::RunMessagesUntil(done, kStepTimeout)) return true;
    std::printf("  no %s within %lld s\n", what, static_cast<long long>(kStepTimeout.count()));
    return false;
}

bool TcpPart() {
    const auto serverMgr = tav::TavTCPSocketMgr::Create();
    const auto clientMgr = tav::TavTCPSocketMgr::Create();
    PrintTcpEvents(*serverMgr, "server");
    PrintTcpEvents(*clientMgr, "client");

    SocketPtr accepted;
    std::vector<std::string> serverGot, clientGot;
    bool connected = false, closed = false;
    serverMgr->AcceptComplete.Subscribe(
        [&](const SocketPtr&, const SocketPtr& skt, const std::shared_ptr<tav::TAVSockAddr>&) { accepted = skt; });
    serverMgr->DataReceived.Subscribe([&](const SocketPtr& skt, tav::Variant& info) {
        serverGot.push_back(info.ToString());
        if (serverGot.size() == 3) {
            std::printf("  server replies on %s: Send(\"got 3 messages\")\n", SocketName(skt).c_str());
            skt->Send(tav::Variant("got 3 messages"));
        }
    });
    serverMgr->SocketClosed.Subscribe([&](const SocketPtr& skt) {
        closed = true;
        serverMgr->DestroySocket(skt);
    });
    clientMgr->ConnectComplete.Subscribe([&](const SocketPtr&) { connected = true; });
    clientMgr->DataReceived.Subscribe([&](const SocketPtr&, tav::Variant& info) { clientGot.push_back(info.ToString()); });

    auto local = tav::TAVSockAddr::Create();
    local->IPAddress("127.0.0.1");
    const auto listener = serverMgr->CreateServerSocket(local);
    listener->MsgBeginMark(kBegin);  // accepted sockets take the listener's marks
    listener->MsgEndMark(kEnd);
    std::printf("CreateServerSocket -> %s listening on %s (%s)\n", SocketName(listener).c_str(),
                Endpoint(*listener->LocalAddr()).c_str(), FramingText(*listener).c_str());
    auto client = clientMgr->CreateClientSocket(local);
    client->MsgBeginMark(kBegin);
    client->MsgEndMark(kEnd);
    std::printf("CreateClientSocket -> %s; Connect to %s\n", SocketName(client).c_str(),
                Endpoint(*listener->LocalAddr()).c_str());
    std::fflush(stdout);
    const int32_t result = client->Connect(listener->LocalAddr());
    // Connect lets pending messages run before and after the call, so on loopback the
    // connection often completes inside it.
    std::printf("Connect returned %d, error %d; State %d (%s)\n", result, client->LastError(), client->State(),
                client->State() == tav::Skt_Ready ? "Skt_Ready: completed while Connect ran the queue"
                                                  : "under way: completes from the queue");
    std::fflush(stdout);
    if (!Await("connection", [&] { return (connected || result == 0) && accepted; })) return false;

    std::printf("client: Send(\"hello\") frames it as %s\n", Quoted(std::string(kBegin) + "hello" + kEnd).c_str());
    client->Send(tav::Variant("hello"));
    // The marks go around the whole text, so the text can carry a boundary of its own.
    const std::string two = std::string("two") + kEnd + kBegin + "three";
    std::printf("client: Send(%s): two messages in one write\n", Quoted(two).c_str());
    client->Send(tav::Variant(two));
    std::fflush(stdout);
    if (!Await("reply", [&] { return !clientGot.empty(); })) return false;

    std::printf("client: DestroySocket and let go: the handle closes\n");
    std::fflush(stdout);
    clientMgr->DestroySocket(client);
    client.reset();
    if (!Await("close", [&] { return closed; })) return false;

    const bool ok = serverGot == std::vector<std::string>{"hello", "two", "three"} &&
                    clientGot == std::vector<std::string>{"got 3 messages"};
    std::printf("server got %zu messages, client got %zu reply: %s\n", serverGot.size(), clientGot.size(),
                ok ? "as sent" : "NOT as sent");
    return ok;
}

const RegisterDemoPart kTcp{{200, "TCP manager: framed messages between a server and a client (TavTCPSocketMgr)", TcpPart}};

}  // namespace
}  // namespace tavtool
