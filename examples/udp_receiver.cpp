// Prints every datagram that arrives at 127.0.0.1:<port> with its sender, and answers "ok".
// usage: example_udp_receiver [port [count]]   (defaults 7000, run until Ctrl-C)
#include <tavsock/tavsock.hpp>

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    const int port = argc > 1 ? std::atoi(argv[1]) : 7000;
    const int count = argc > 2 ? std::atoi(argv[2]) : 0;
    auto udp = tav::TavUDPSocketMgr::Create();
    int seen = 0;
    // Scoped: the handler is not called once `sub` has gone (here, at the end of main).
    auto sub = udp->DataReceived.SubscribeScoped([&](const std::shared_ptr<tav::TAVSocket>& skt,
                                                    const std::shared_ptr<tav::TAVSockAddr>& from,
                                                    tav::Variant& data) {
        std::cout << from->IPAddress() << ":" << (from->Port() & 0xFFFF) << " says " << data.ToString() << std::endl;
        skt->SendTo(tav::Variant(std::string("ok")), from);
        if (count > 0 && ++seen == count) tav::QuitMessageLoop();
    });

    auto local = tav::TAVSockAddr::Create();
    local->IPAddress("127.0.0.1");
    local->Port(static_cast<int16_t>(port));  // 16-bit signed: 40000 is stored as -25536
    try {
        udp->CreateServerSocket(local);
    } catch (const tav::SockError& e) {
        std::cerr << "cannot use port " << port << ": " << tav::WinsockErrorText(e.Number() - tav::kSockErrorBase)
                  << std::endl;
        return 1;
    }
    std::cout << "waiting for datagrams on 127.0.0.1:" << port << std::endl;
    tav::RunMessageLoop();
}
