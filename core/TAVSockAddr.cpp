#include <tavsock/TAVSockAddr.hpp>

#include "core/SocketSupport.hpp"

namespace tav {

std::shared_ptr<TAVSockAddr> TAVSockAddr::Create() {
    // One allocation for the object and its count: every accepted connection makes one.
    struct Made final : TAVSockAddr {};
    return std::make_shared<Made>();
}

std::shared_ptr<ValueStore> TAVSockAddr::ExtraData() {
    if (!extraData_) extraData_ = ValueStore::Create();
    return extraData_;
}

void TAVSockAddr::ExtraData(std::shared_ptr<ValueStore> store) { extraData_ = std::move(store); }

std::string TAVSockAddr::IPAddress() const { return SocketSupport::DottedStrFromNetAddr(netAddress_); }

void TAVSockAddr::IPAddress(const std::string& dotted) { netAddress_ = SocketSupport::NetAddrFromDottedStr(dotted); }

int16_t TAVSockAddr::Port() const { return SocketSupport::NetToHostShort(netPort_); }

void TAVSockAddr::Port(int16_t port) { netPort_ = SocketSupport::HostToNetShort(port); }

}  // namespace tav
