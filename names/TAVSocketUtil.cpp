#include <tavsock/TAVSocketUtil.hpp>

#include "core/SocketSupport.hpp"
#include "names/HostInfoAccess.hpp"
#include "names/NameRecordCopy.hpp"
#include "names/ProtocolInfoAccess.hpp"
#include "names/ServiceInfoAccess.hpp"
#include "platform/SockIntf.hpp"

#include <string>

namespace tav {

bool TAVSocketUtil::IsWellFormedDottedStr(const std::string& DottedStr) const {
    return SocketSupport::IsWellFormedDottedStr(DottedStr);
}

int32_t TAVSocketUtil::NetAddrFromDottedStr(const std::string& DottedStr) const {
    return SocketSupport::NetAddrFromDottedStr(DottedStr);
}

std::string TAVSocketUtil::DottedStrFromNetAddr(int32_t NetAddr) const {
    return SocketSupport::DottedStrFromNetAddr(NetAddr);
}

int32_t TAVSocketUtil::HostToNetLong(int32_t Value) const { return SocketSupport::HostToNetLong(Value); }
int16_t TAVSocketUtil::HostToNetShort(int16_t Value) const { return SocketSupport::HostToNetShort(Value); }
int32_t TAVSocketUtil::NetToHostLong(int32_t Value) const { return SocketSupport::NetToHostLong(Value); }
int16_t TAVSocketUtil::NetToHostShort(int16_t Value) const { return SocketSupport::NetToHostShort(Value); }

std::string TAVSocketUtil::StringFromByteArray(const ByteArray& Bytes) const {
    return SocketSupport::StringFromByteArray(Bytes);
}

std::string TAVSocketUtil::StringFromByteArray(const Variant& Bytes) const {
    if (Bytes.IsByteArray()) return SocketSupport::StringFromByteArray(Bytes.AsBytes());
    if (Bytes.IsEmpty()) return {};
    return Bytes.AsString();  // text passes unchanged; any other value is a type mismatch
}

ByteArray TAVSocketUtil::ByteArrayFromString(const std::string& Text) const {
    return SocketSupport::ByteArrayFromString(Text);
}

// ---- Look-ups: each fills a fresh info object and hands it out only when the look-up found
// an entry (a non-empty Name).

namespace {

/// The platform's host-name buffer: 1024 bytes, of which one less is announced so the text
/// always ends in NUL.
constexpr int kHostNameBuffer = 1024;

template <class Info>
std::shared_ptr<Info> FoundOrNull(std::shared_ptr<Info> info) {
    return info->Name().empty() ? nullptr : info;
}

}  // namespace

std::string TAVSocketUtil::HostIPAddress() const {
    const std::shared_ptr<TAVHostInfo> host = GetHostByName(GetHostName());
    // A host entry without addresses counts as nothing found.
    if (!host || host->AddressCount() < 1) return {};
    return DottedStrFromNetAddr(host->Address(1));
}

std::shared_ptr<TAVServiceInfo> TAVSocketUtil::GetServiceByName(const std::string& ServiceName,
                                                                const std::string& Protocol) const {
    auto info = ServiceInfoAccess::Create();
    ServiceInfoAccess::FillByName(*info, ServiceName, Protocol);
    return FoundOrNull(std::move(info));
}

std::shared_ptr<TAVServiceInfo> TAVSocketUtil::GetServiceByPort(int16_t ServicePort, const std::string& Protocol) const {
    auto info = ServiceInfoAccess::Create();
    ServiceInfoAccess::FillByPort(*info, ServicePort, Protocol);
    return FoundOrNull(std::move(info));
}

std::shared_ptr<TAVHostInfo> TAVSocketUtil::GetHostByName(const std::string& HostName) const {
    auto info = HostInfoAccess::Create();
    info->GetHostByName(HostName);
    return FoundOrNull(std::move(info));
}

std::shared_ptr<TAVHostInfo> TAVSocketUtil::GetHostByAddress(const std::string& HostAddress) const {
    auto info = HostInfoAccess::Create();
    info->GetHostByAddress(HostAddress);
    return FoundOrNull(std::move(info));
}

std::string TAVSocketUtil::GetHostName() const {
    std::string buffer(kHostNameBuffer, '\0');
    if (sockintf::intgethostname(buffer.data(), kHostNameBuffer - 1) == sockintf::SOCKET_ERROR) {
        NameRecordCopy::DiscardLastError();
        return {};
    }
    return SocketSupport::TextBeforeNul(buffer);
}

std::shared_ptr<TAVProtocolInfo> TAVSocketUtil::GetProtoByName(const std::string& ProtocolName) const {
    auto info = ProtocolInfoAccess::Create();
    ProtocolInfoAccess::FillByName(*info, ProtocolName);
    return FoundOrNull(std::move(info));
}

std::shared_ptr<TAVProtocolInfo> TAVSocketUtil::GetProtoByNumber(int16_t ProtocolNumber) const {
    auto info = ProtocolInfoAccess::Create();
    ProtocolInfoAccess::FillByNumber(*info, ProtocolNumber);
    return FoundOrNull(std::move(info));
}

}  // namespace tav
