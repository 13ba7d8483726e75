#include <tavsock/TAVServiceInfo.hpp>

#include "base/SockErrors.hpp"
#include "core/SocketSupport.hpp"
#include "names/NameRecordCopy.hpp"
#include "names/ServiceInfoAccess.hpp"

namespace tav {

namespace sk = sockintf;

std::string TAVServiceInfo::Alias(int16_t Index) const {
    if (Index < 1 || Index > AliasCount()) RaiseSockError(kErrInvalidParameter);
    return mAliases[static_cast<size_t>(Index - 1)];
}

void TAVServiceInfo::Name(const std::string& value) {
    if (mName != value) mName = value;
}

int16_t TAVServiceInfo::Port() const { return SocketSupport::NetToHostShort(mNetPort); }

void TAVServiceInfo::Protocol(const std::string& value) {
    if (mProtocol != value) mProtocol = value;
}

namespace {

/// The protocol as the platform takes it: an empty text stands for "any protocol".
const char* ProtocolArg(const std::string& protocol) { return protocol.empty() ? nullptr : protocol.c_str(); }

void Fill(TAVServiceInfo& info, const sk::SERVENT* rec) {
    if (rec == nullptr) {
        info.Name(std::string());
        NameRecordCopy::DiscardLastError();
        return;
    }
    ServiceInfoAccess::CopyServEnt(info, *rec);
}

}  // namespace

void ServiceInfoAccess::FillByName(TAVServiceInfo& info, const std::string& serviceName, const std::string& protocol) {
    Fill(info, sk::intgetservbyname(serviceName.c_str(), ProtocolArg(protocol)));
}

void ServiceInfoAccess::FillByPort(TAVServiceInfo& info, int16_t hostPort, const std::string& protocol) {
    // The platform takes the port in network order in the low 16 bits.
    const auto netPort = static_cast<uint16_t>(SocketSupport::HostToNetShort(hostPort));
    Fill(info, sk::intgetservbyport(netPort, ProtocolArg(protocol)));
}

void ServiceInfoAccess::CopyServEnt(TAVServiceInfo& info, const sk::SERVENT& rec) {
    info.Name(SocketSupport::TextFromAnsiPtr(rec.s_name));
    info.mAliases = NameRecordCopy::Aliases(rec.s_aliases);
    info.mNetPort = rec.s_port;
    info.Protocol(SocketSupport::TextFromAnsiPtr(rec.s_proto));
}

}  // namespace tav
