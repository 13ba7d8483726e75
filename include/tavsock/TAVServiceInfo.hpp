// One service entry: name, aliases, port and protocol.
#pragma once

#include <tavsock/Object.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace tav {

/// The result of a service look-up (TAVSocketUtil::GetServiceByName and GetServiceByPort).
/// Hosts cannot create one. Aliases are 1-based.
class TAVServiceInfo : public Object {
public:
    std::string TypeName() const override { return "TAVServiceInfo"; }

    /// Alias number Index (1..AliasCount); any other index raises library error 1.
    std::string Alias(int16_t Index) const;
    int16_t AliasCount() const { return static_cast<int16_t>(mAliases.size()); }

    /// The official service name; "" after a look-up that found nothing.
    std::string Name() const { return mName; }
    void Name(const std::string& value);

    /// The port in host byte order. Ports above 32767 read as negative numbers (65535 is -1).
    int16_t Port() const;

    /// The protocol the entry belongs to ("tcp", "udp").
    std::string Protocol() const { return mProtocol; }
    void Protocol(const std::string& value);

private:
    TAVServiceInfo() = default;
    // Library code creates and fills these through ServiceInfoAccess (names/ServiceInfoAccess.hpp).
    friend class ServiceInfoAccess;

    std::string mName;
    std::vector<std::string> mAliases;
    int16_t mNetPort = 0;  // network byte order, as the entry carries it
    std::string mProtocol;
};

}  // namespace tav
