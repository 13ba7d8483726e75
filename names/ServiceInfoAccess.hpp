// Library-internal operations of TAVServiceInfo: creation and the look-ups that fill it.
#pragma once

#include <tavsock/TAVServiceInfo.hpp>

#include "platform/SockIntf.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class ServiceInfoAccess {
public:
    /// A new, empty service entry.
    static std::shared_ptr<TAVServiceInfo> Create() {
        return std::shared_ptr<TAVServiceInfo>(new TAVServiceInfo());
    }

    /// Blocking look-up by service name; an empty protocol matches any protocol. Found: the
    /// entry is copied. Not found: Name becomes "" and the rest stays. Never raises.
    static void FillByName(TAVServiceInfo& info, const std::string& serviceName, const std::string& protocol);
    /// As FillByName, by port given in host byte order.
    static void FillByPort(TAVServiceInfo& info, int16_t hostPort, const std::string& protocol);

    /// Replaces the entry by a copy of `rec`: name, aliases up to the first null or empty one,
    /// the port as stored (network order) and the protocol text.
    static void CopyServEnt(TAVServiceInfo& info, const sockintf::SERVENT& rec);
};

}  // namespace tav
