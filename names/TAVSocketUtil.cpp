#include <tavsock/TAVSocketUtil.hpp>

#include "core/SocketSupport.hpp"

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

}  // namespace tav
