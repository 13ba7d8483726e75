// Library-internal operations of TAVProtocolInfo: creation and the look-ups that fill it.
#pragma once

#include <tavsock/TAVProtocolInfo.hpp>

#include "platform/SockIntf.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class ProtocolInfoAccess {
public:
    /// A new, empty protocol entry.
    static std::shared_ptr<TAVProtocolInfo> Create() {
        return std::shared_ptr<TAVProtocolInfo>(new TAVProtocolInfo());
    }

    /// Blocking look-up by protocol name. Found: the entry is copied. Not found: Name becomes
    /// "" and the rest stays. Never raises.
    static void FillByName(TAVProtocolInfo& info, const std::string& protocolName);
    /// As FillByName, by protocol number.
    static void FillByNumber(TAVProtocolInfo& info, int16_t protocolNumber);

    /// Replaces the entry by a copy of `rec`: name, aliases up to the first null or empty one,
    /// and the number.
    static void CopyProtoEnt(TAVProtocolInfo& info, const sockintf::PROTOENT& rec);
};

}  // namespace tav
