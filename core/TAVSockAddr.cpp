#include <tavsock/TAVSockAddr.hpp>

#include "core/SocketSupport.hpp"

namespace tav {

std::shared_ptr<TAVSockAddr> TAVSockAddr::Create() { return std::shared_ptr<TAVSockAddr>(new TAVSockAddr()); }

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
