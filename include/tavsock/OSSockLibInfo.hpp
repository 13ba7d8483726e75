// What the network stack reported about itself at start-up.
#pragma once

#include <tavsock/Object.hpp>

#include <cstdint>
#include <string>

namespace tav {

/// Reads the start-up record of the thread it is used on: every property shows the values of
/// the latest start-up made there (each socket manager created on the thread makes one).
/// Before any start-up the versions and counts are 0 and the texts empty. It has no state of
/// its own. Hosts cannot create one: a socket manager hands it out (`SockLibInfo`).
class OSSockLibInfo : public Object {
public:
    std::string TypeName() const override { return "OSSockLibInfo"; }

    /// The version in use, packed: low byte major, high byte minor (1.1 reads 257).
    int16_t CurrentVersion() const;
    /// The stack's description.
    std::string Description() const;
    /// True when CurrentVersion is below 2 and MaxUDPDatagramSize above 0. The comparison is on
    /// the packed value: version 1.0 (1) can give True, version 1.1 (257) gives False.
    bool HasMaxUDPDatagramSize() const;
    /// The highest version supported, packed as CurrentVersion.
    int16_t HighVersion() const;
    /// The largest number of sockets one process may open (0..65535).
    int32_t MaxSockets() const;
    /// The largest UDP datagram (0..65535).
    int32_t MaxUDPDatagramSize() const;
    /// The stack's status text.
    std::string SystemStatus() const;
    /// The vendor's text; "" when the stack gives none.
    std::string VendorInfo() const;

private:
    OSSockLibInfo() = default;
    // Library code creates one through SockLibInfoAccess (names/SockLibInfoAccess.hpp).
    friend class SockLibInfoAccess;
};

}  // namespace tav
