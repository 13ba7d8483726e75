// Conversions and name look-ups for hosts.
#pragma once

#include <tavsock/Object.hpp>
#include <tavsock/Variant.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

/// Address conversions, byte orders and (blocking) name look-ups. Hosts cannot create one:
/// they get it from a socket manager's `Util`. It has no state.
class TAVSocketUtil : public Object {
public:
    std::string TypeName() const override { return "TAVSocketUtil"; }

    // ---- Conversions ----------------------------------------------------------------------

    /// True when the text is a dotted address other than the all-ones one; "255.255.255.255"
    /// itself is not well formed.
    bool IsWellFormedDottedStr(const std::string& DottedStr) const;
    /// The network-order address of the text; -1 when it is malformed.
    int32_t NetAddrFromDottedStr(const std::string& DottedStr) const;
    /// The dotted text of a network-order address.
    std::string DottedStrFromNetAddr(int32_t NetAddr) const;
    /// Host to network byte order and back (the same swap on this machine).
    int32_t HostToNetLong(int32_t Value) const;
    int16_t HostToNetShort(int16_t Value) const;
    int32_t NetToHostLong(int32_t Value) const;
    int16_t NetToHostShort(int16_t Value) const;
    /// One character per byte, unchanged (ISO-8859-1).
    std::string StringFromByteArray(const ByteArray& Bytes) const;
    /// As above for a value holding bytes; text passes unchanged, Empty gives "", anything
    /// else raises error 13 (type mismatch).
    std::string StringFromByteArray(const Variant& Bytes) const;
    /// One byte per character, unchanged.
    ByteArray ByteArrayFromString(const std::string& Text) const;

    // ---- Look-ups -------------------------------------------------------------------------
    // HostIPAddress, GetServiceByName, GetServiceByPort, GetHostByName, GetHostByAddress,
    // GetHostName, GetProtoByName and GetProtoByNumber belong here.

private:
    TAVSocketUtil() = default;
    // Library code creates one through SocketUtilAccess (names/SocketUtilAccess.hpp).
    friend class SocketUtilAccess;
};

}  // namespace tav
