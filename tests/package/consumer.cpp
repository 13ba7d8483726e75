// A host program built against the installed package only, at the compiler's default
// language standard: one datagram to itself on 127.0.0.1 through TavUDPSocketMgr.
#include <tavsock/tavsock.hpp>

#include <chrono>
#include <cstdio>

int main() {
    auto udp = tav::TavUDPSocketMgr::Create();
    std::string got;
    auto sub = udp->DataReceived.Subscribe(
        [&](const std::shared_ptr<tav::TAVSocket>&, const std::shared_ptr<tav::TAVSockAddr>&, tav::Variant& data) {
            got = data.ToString();
        });
    auto local = tav::TAVSockAddr::Create();
    local->IPAddress("127.0.0.1");
    local->Port(0);
    auto skt = udp->CreateServerSocket(local);
    skt->SendTo(tav::Variant("installed"), skt->LocalAddr());
    tav::RunMessagesUntil([&] { return !got.empty(); }, std::chrono::seconds(10));
    std::printf("received \"%s\"; %s\n", got.c_str(), tav::WinsockErrorText(tav::wsa::WSAEADDRINUSE).c_str());
    return got == "installed" ? 0 : 1;
}
