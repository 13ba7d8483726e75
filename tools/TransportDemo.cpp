// Demo parts for the UDP manager (order band 200-299) and background look-ups (300-399).
#include "NamePrint.hpp"
#include "Tool.hpp"
#include "TransportPrint.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/TAVSocketMgr.hpp>
#include <tavsock/TavUDPSocketMgr.hpp>

#include <chrono>
#include <cstdio>

namespace tavtool {
namespace {

constexpr auto kPartTimeout = std::chrono::seconds(10);

bool UdpPart() {
    const auto mgr = tav::TavUDPSocketMgr::Create();
    std::shared_ptr<tav::TAVSockAddr> sender;
    tav::Variant received;
    mgr->DataReceived.Subscribe([&](const std::shared_ptr<tav::TAVSocket>& skt,
                                    const std::shared_ptr<tav::TAVSockAddr>& from, tav::Variant& info) {
        PrintEvent("DataReceived", SocketName(skt) + " from " + Endpoint(*from) + ": " + Shown(info));
        sender = from;
        received = info;
    });
    auto any = tav::TAVSockAddr::Create();
    any->IPAddress("127.0.0.1");
    const auto server = mgr->CreateServerSocket(any);
    const auto client = mgr->CreateClientSocket(any);
    std::printf("CreateServerSocket -> %s on %s (IsServerSocket %s, State %d: bound, not listening)\n",
                SocketName(server).c_str(), Endpoint(*server->LocalAddr()).c_str(),
                server->IsServerSocket() ? "True" : "False", server->State());
    std::printf("CreateClientSocket -> %s on %s\n", SocketName(client).c_str(), Endpoint(*client->LocalAddr()).c_str());
    const std::string text = "hello over UDP";
    client->SendTo(tav::Variant(text), server->LocalAddr());
    std::printf("SendTo \"%s\" -> %s; running the queue\n", text.c_str(), Endpoint(*server->LocalAddr()).c_str());
    std::fflush(stdout);
    if (!tav::RunMessagesUntil([&] { return sender != nullptr; }, kPartTimeout)) {
        std::printf("  no datagram within %lld s\n", static_cast<long long>(kPartTimeout.count()));
        return false;
    }
    const bool fromClient = sender->Port() == client->LocalAddr()->Port();
    std::printf("the sender address is the client's own end point: %s\n", fromClient ? "yes" : "NO");
    return fromClient && received == tav::Variant(text);
}

bool LookupPart() {
    const auto mgr = tav::TAVSocketMgr::Create();
    int32_t handle = 0;
    bool resolved = false;
    bool failed = false;
    mgr->HostResolved.Subscribe([&](int32_t h, const std::shared_ptr<tav::TAVHostInfo>& host) {
        PrintEvent("HostResolved", "handle " + std::to_string(h));
        if (host) PrintHost(*host);
        resolved = h == handle && host && host->AddressCount() > 0;
    });
    mgr->AsyncError.Subscribe([&](int32_t h, int32_t error) {
        PrintEvent("AsyncError", "handle " + std::to_string(h) + ", error " + std::to_string(error));
        failed = true;
    });
    handle = mgr->WSAAsyncGetHostByName("localhost");
    // Nothing can have arrived yet: results come only from the queue, which has not run.
    std::printf("WSAAsyncGetHostByName(\"localhost\") returned handle %d first; running the queue\n", handle);
    std::fflush(stdout);
    if (handle == 0) return false;
    if (!tav::RunMessagesUntil([&] { return resolved || failed; }, kPartTimeout)) {
        std::printf("  no answer within %lld s\n", static_cast<long long>(kPartTimeout.count()));
        return false;
    }
    return resolved;
}

const RegisterDemoPart kUdp{{250, "UDP manager: a datagram and its sender (TavUDPSocketMgr)", UdpPart}};
const RegisterDemoPart kLookup{{300, "Background look-up of localhost (TAVSocketMgr)", LookupPart}};

}  // namespace
}  // namespace tavtool
