// Sends one datagram and prints the reply, if one comes within two seconds.
// usage: example_udp_sender <host> <port> <text>
#include <tavsock/tavsock.hpp>

#include <chrono>
#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: " << argv[0] << " <host> <port> <text>" << std::endl;
        return 2;
    }
    auto udp = tav::TavUDPSocketMgr::Create();
    bool answered = false;
    auto sub = udp->DataReceived.SubscribeScoped(
        [&](const std::shared_ptr<tav::TAVSocket>&, const std::shared_ptr<tav::TAVSockAddr>& from, tav::Variant& data) {
            std::cout << "reply from " << from->IPAddress() << ":" << (from->Port() & 0xFFFF) << ": "
                      << data.ToString() << std::endl;
            answered = true;
        });

    // The peer: a dotted address, or a name looked up now.
    auto util = udp->Sockets()->Util();
    std::string address = argv[1];
    if (!util->IsWellFormedDottedStr(address)) {
        auto host = util->GetHostByName(address);
        if (!host) {
            std::cerr << "host " << address << " not found" << std::endl;
            return 1;
        }
        address = util->DottedStrFromNetAddr(host->Address(1));
    }
    auto to = tav::TAVSockAddr::Create();
    to->IPAddress(address);
    to->Port(static_cast<int16_t>(std::atoi(argv[2])));

    // Any local address and port: the system picks the one that reaches the peer.
    auto local = tav::TAVSockAddr::Create();
    local->IPAddress("0.0.0.0");
    local->Port(0);
    try {
        auto skt = udp->CreateClientSocket(local);
        skt->SendTo(tav::Variant(std::string(argv[3])), to);
    } catch (const tav::SockError& e) {
        // SendTo raises the bare Windows Sockets number; creation a library error around it.
        const int32_t code = e.Number() > 0 ? e.Number() : e.Number() - tav::kSockErrorBase;
        std::cerr << "send failed: " << tav::WinsockErrorText(code) << std::endl;
        return 1;
    }
    std::cout << "sent " << std::string(argv[3]).size() << " bytes to " << address << ":" << argv[2] << std::endl;
    tav::RunMessagesUntil([&] { return answered; }, std::chrono::seconds(2));
    return 0;
}
