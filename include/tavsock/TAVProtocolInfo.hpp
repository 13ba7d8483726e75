// One protocol entry: name, aliases and number.
#pragma once

#include <tavsock/Object.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace tav {

/// The result of a protocol look-up (TAVSocketUtil::GetProtoByName and GetProtoByNumber).
/// Hosts cannot create one. Aliases are 1-based.
class TAVProtocolInfo : public Object {
public:
    std::string TypeName() const override { return "TAVProtocolInfo"; }

    /// Alias number Index (1..AliasCount); any other index raises library error 1.
    std::string Alias(int16_t Index) const;
    int16_t AliasCount() const { return static_cast<int16_t>(mAliases.size()); }

    /// The official protocol name; "" after a look-up that found nothing.
    std::string Name() const { return mName; }
    void Name(const std::string& value);

    /// The protocol number (6 for tcp, 17 for udp).
    int16_t Protocol() const { return mProtocol; }

private:
    TAVProtocolInfo() = default;
    // Library code creates and fills these through ProtocolInfoAccess
    // (names/ProtocolInfoAccess.hpp).
    friend class ProtocolInfoAccess;

    std::string mName;
    std::vector<std::string> mAliases;
    int16_t mProtocol = 0;
};

}  // namespace tav
