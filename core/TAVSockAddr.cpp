#include <tavsock/TAVSockAddr.hpp>

#include "core/Inet6Text.hpp"
#include "core/SockAddrAccess.hpp"
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

std::string TAVSockAddr::IPAddress() const {
    if (mFamily == 23) return Inet6Text::Format(mAddress6, mScope6);
    return SocketSupport::DottedStrFromNetAddr(mNetAddress);
}

void TAVSockAddr::IPAddress(const std::string& dotted) {
    // IPv4 first, exactly as before; only text that is no IPv4 address may be IPv6.
    const int32_t v4 = SocketSupport::NetAddrFromDottedStr(dotted);
    Inet6Text::Bytes v6{};
    uint32_t scope = 0;
    if (v4 == -1 && Inet6Text::Parse(dotted, v6, scope))
        SockAddrAccess::SetAddress6(*this, v6, scope);
    else
        SockAddrAccess::SetNetAddress(*this, v4);
}

int16_t TAVSockAddr::Port() const { return SocketSupport::NetToHostShort(mNetPort); }

void TAVSockAddr::Port(int16_t port) { mNetPort = SocketSupport::HostToNetShort(port); }

}  // namespace tav
