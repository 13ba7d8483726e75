#include <tavsock/TAVProtocolInfo.hpp>

#include "base/SockErrors.hpp"
#include "core/SocketSupport.hpp"
#include "names/NameRecordCopy.hpp"
#include "names/ProtocolInfoAccess.hpp"

namespace tav {

namespace sk = sockintf;

std::string TAVProtocolInfo::Alias(int16_t Index) const {
    if (Index < 1 || Index > AliasCount()) RaiseSockError(kErrInvalidParameter);
    return mAliases[static_cast<size_t>(Index - 1)];
}

void TAVProtocolInfo::Name(const std::string& value) {
    if (mName != value) mName = value;
}

namespace {

void Fill(TAVProtocolInfo& info, const sk::PROTOENT* rec) {
    if (rec == nullptr) {
        info.Name(std::string());
        NameRecordCopy::DiscardLastError();
        return;
    }
    ProtocolInfoAccess::CopyProtoEnt(info, *rec);
}

}  // namespace

void ProtocolInfoAccess::FillByName(TAVProtocolInfo& info, const std::string& protocolName) {
    Fill(info, sk::intgetprotobyname(protocolName.c_str()));
}

void ProtocolInfoAccess::FillByNumber(TAVProtocolInfo& info, int16_t protocolNumber) {
    Fill(info, sk::intgetprotobynumber(protocolNumber));  // widened with its sign
}

void ProtocolInfoAccess::CopyProtoEnt(TAVProtocolInfo& info, const sk::PROTOENT& rec) {
    info.Name(SocketSupport::TextFromAnsiPtr(rec.p_name));
    info.mAliases = NameRecordCopy::Aliases(rec.p_aliases);
    info.mProtocol = rec.p_proto;
}

}  // namespace tav
