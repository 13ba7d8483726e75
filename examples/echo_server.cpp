// The README quick start: a framed-message echo server on 127.0.0.1:5000.
#include <tavsock/tavsock.hpp>
#include <iostream>

int main() {
    auto tcp = tav::TavTCPSocketMgr::Create();
    tcp->AcceptComplete.Subscribe([](const auto&, const auto&, const auto& peer) {
        std::cout << "connection from " << peer->IPAddress() << ":" << (peer->Port() & 0xFFFF) << "\n";
    });
    tcp->DataReceived.Subscribe([](const std::shared_ptr<tav::TAVSocket>& s, tav::Variant& msg) {
        s->Send(tav::Variant("echo: " + msg.ToString()));  // framed with the socket's marks
    });
    tcp->SocketClosed.Subscribe([&](const std::shared_ptr<tav::TAVSocket>& s) { tcp->DestroySocket(s); });

    auto local = tav::TAVSockAddr::Create();
    local->IPAddress("127.0.0.1");
    local->Port(5000);
    auto server = tcp->CreateServerSocket(local, "", 16);  // raises tav::SockError on failure
    server->MsgBeginMark("<B>");                         // accepted sockets take the marks over
    server->MsgEndMark("<E>");
    tav::RunMessageLoop();                               // events arrive on this thread
}
