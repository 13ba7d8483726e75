// The README quick start: a framed-message echo server on 127.0.0.1:5000 (or the port given).
#include <tavsock/tavsock.hpp>

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    const int port = argc > 1 ? std::atoi(argv[1]) : 5000;
    auto tcp = tav::TavTCPSocketMgr::Create();
    tcp->AcceptComplete.Subscribe([](const auto&, const auto& s, const auto& peer) {
        s->lngRetrySendTimes(0);  // Send never waits for a slow peer: what is left goes later
        // Ports are 16-bit signed values: & 0xFFFF shows 40000 instead of -25536.
        std::cout << "connection from " << peer->IPAddress() << ":" << (peer->Port() & 0xFFFF) << std::endl;
    });
    // A peer that sends and never reads would pile its echoes up here without end. Past 1 MiB
    // unsent, stop reading it: its data waits in the kernel, whose flow control slows it down.
    // Reading resumes on DataSent once less than 256 KiB is left.
    tcp->DataReceived.Subscribe([](const std::shared_ptr<tav::TAVSocket>& s, tav::Variant& msg) {
        if (s->Tag().IsNumber()) return;  // a Send failed: the connection is gone
        try {
            s->Send(tav::Variant("echo: " + msg.ToString()));  // framed with the socket's marks
        } catch (const tav::SockError& e) {
            if (e.Number() != 10035) {  // 10035: the rest is pending, sent after DataSent
                std::cerr << "echo failed: " << tav::WinsockErrorText(e.Number()) << std::endl;
                s->Tag(e.Number());  // one report per connection, not one per message
            }
        }
        if (s->PendedSendLength() > (1 << 20)) s->PauseRecv();
    });
    tcp->DataSent.Subscribe([](const std::shared_ptr<tav::TAVSocket>& s) {
        if (s->IsRecvPaused() && s->PendedSendLength() < (256 << 10)) s->ResumeRecv();
    });
    tcp->SocketClosed.Subscribe([&](const std::shared_ptr<tav::TAVSocket>& s) { tcp->DestroySocket(s); });

    auto local = tav::TAVSockAddr::Create();
    local->IPAddress("127.0.0.1");
    local->Port(static_cast<int16_t>(port));
    std::shared_ptr<tav::TAVSocket> server;
    try {
        server = tcp->CreateServerSocket(local, "", 16);
    } catch (const tav::SockError& e) {
        // A library error: 0x80040200 + the Windows Sockets number (10048 when the port is taken).
        std::cerr << "cannot listen on port " << port << ": "
                  << tav::WinsockErrorText(e.Number() - tav::kSockErrorBase) << std::endl;
        return 1;
    }
    server->MsgBeginMark("<B>");  // accepted sockets take the marks over
    server->MsgEndMark("<E>");
    std::cout << "listening on 127.0.0.1:" << port << std::endl;
    tav::RunMessageLoop();  // events arrive on this thread
}
