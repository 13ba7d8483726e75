#include <tavsock/TAVSockAddr.hpp>

#include "core/SocketSupport.hpp"

namespace tav {

std::shared_ptr<TAVSockAddr> TAVSockAddr::Create() {
    // One allocation for the object and its count: every accepted connection makes one.
    struct Made final : TAVSockAddr {};
    return std::make_shared<Made>();
}

std::shared_ptr<ValueStore> TAVSockAddr::ExtraData() {
    if (!mExtraData) mExtraData = ValueStore::Create();
    return mExtraData;
}

void TAVSockAddr::ExtraData(std::shared_ptr<ValueStore> store) { mExtraData = std::move(store); }

std::string TAVSockAddr::IPAddress() const { return SocketSupport::DottedStrFromNetAddr(mNetAddress); }

void TAVSockAddr::IPAddress(const std::string& dotted) { mNetAddress = SocketSupport::NetAddrFromDottedStr(dotted); }

int16_t TAVSockAddr::Port() const { return SocketSupport::NetToHostShort(mNetPort); }

void TAVSockAddr::Port(int16_t port) { mNetPort = SocketSupport::HostToNetShort(port); }

}  // namespace tav
