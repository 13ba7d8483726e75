// Conversions and name look-ups for hosts.
#pragma once

#include <tavsock/Object.hpp>
#include <tavsock/TAVHostInfo.hpp>
#include <tavsock/TAVProtocolInfo.hpp>
#include <tavsock/TAVServiceInfo.hpp>
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
    // Blocking calls on the caller's thread; the stack must have been started on it (a socket
    // manager does that). A look-up that finds nothing returns null (or "") and never raises.

    /// The dotted address of the local machine: its host name looked up by name, first address.
    /// "" when the look-up finds nothing.
    std::string HostIPAddress() const;
    /// The service entry of a name ("http"); an empty Protocol matches any protocol.
    std::shared_ptr<TAVServiceInfo> GetServiceByName(const std::string& ServiceName, const std::string& Protocol) const;
    /// The service entry of a port given in host byte order (80); an empty Protocol matches any.
    std::shared_ptr<TAVServiceInfo> GetServiceByPort(int16_t ServicePort, const std::string& Protocol) const;
    /// The host entry of a name; dotted text resolves to itself.
    std::shared_ptr<TAVHostInfo> GetHostByName(const std::string& HostName) const;
    /// The host entry of a dotted IPv4 address.
    std::shared_ptr<TAVHostInfo> GetHostByAddress(const std::string& HostAddress) const;
    /// The local host name; "" on failure.
    std::string GetHostName() const;
    /// The protocol entry of a name ("tcp").
    std::shared_ptr<TAVProtocolInfo> GetProtoByName(const std::string& ProtocolName) const;
    /// The protocol entry of a number (6).
    std::shared_ptr<TAVProtocolInfo> GetProtoByNumber(int16_t ProtocolNumber) const;

private:
    TAVSocketUtil() = default;
    // Library code creates one through SocketUtilAccess (names/SocketUtilAccess.hpp).
    friend class SocketUtilAccess;
};

}  // namespace tav
