// Conversions shared by the socket object, TAVSockAddr and TAVSocketUtil: dotted text and
// network addresses, byte orders, text and bytes, NUL-terminated texts, message-parameter
// words and address records.
//
// Free functions in namespace tav::SocketSupport, so call sites read like the module they come
// from (SocketSupport::NetAddrFromDottedStr). Integer widths follow the object model: network
// addresses are int32_t, ports int16_t, both in network byte order where the name says "Net".
// The code page is ISO-8859-1: text and bytes convert one to one, unchanged.
#pragma once

#include <tavsock/Variant.hpp>

#include "platform/SockIntf.hpp"

#include <array>
#include <cstdint>
#include <string>

namespace tav {
class TAVSockAddr;
}

namespace tav::SocketSupport {

/// True when the text converts to an address other than the all-ones value; so
/// "255.255.255.255" itself is not well formed.
bool IsWellFormedDottedStr(const std::string& dotted);
/// Network-order address of the dotted text (the shorthand forms inet_addr accepts too);
/// -1 for malformed text. The text ends at an embedded NUL.
int32_t NetAddrFromDottedStr(const std::string& dotted);
/// Dotted text of a network-order address.
std::string DottedStrFromNetAddr(int32_t netAddr);

int32_t HostToNetLong(int32_t value);
int32_t NetToHostLong(int32_t value);
int16_t HostToNetShort(int16_t value);
int16_t NetToHostShort(int16_t value);

/// One byte per character, unchanged.
ByteArray ByteArrayFromString(const std::string& text);
/// One character per byte, unchanged.
std::string StringFromByteArray(const ByteArray& bytes);

/// The characters up to the NUL; "" for a null pointer.
std::string TextFromAnsiPtr(const char* text);
/// The text that the cell points to; "" for a null cell (a null text in the cell gives "" too).
std::string TextFromPtrCell(const char* const* cell);
/// The characters before the first NUL; "" when the text begins with NUL. A text without NUL
/// gives "" as well (a fixed buffer that was never written).
std::string TextBeforeNul(const std::string& text);

/// The 16-bit value read as unsigned: a negative value plus 65536.
int32_t UnsignedPort(int16_t value);
/// value / 65536 truncated toward zero, masked to 16 bits (so -1 gives 0, -65536 gives -1).
int16_t HighWord(int32_t value);
/// Bits 0 to 15.
int16_t LowWord(int32_t value);

/// Address record of an end point: family 2, port and address copied without conversion.
sockintf::SOCKADDR_IN AddrRecordFromSockAddr(const TAVSockAddr& addr);
/// Sets the network address and port of an existing end point from a record.
void SockAddrFromAddrRecord(const sockintf::SOCKADDR_IN& record, TAVSockAddr& addr);
/// Address record of an end point of either family (IPv4 as AddrRecordFromSockAddr, IPv6 as
/// the 28-byte record); pass `&record.Ipv4` with `sizeof record` to the socket calls.
sockintf::SOCKADDR_INET_W RecordFromSockAddr(const TAVSockAddr& addr);
/// An address given as text, as the host look-ups by address take it: `family` 2 with the
/// 4 network-order bytes of NetAddrFromDottedStr (malformed text gives all ones, as always),
/// or 23 with the 16 bytes of an IPv6 text that is no IPv4 text.
struct AddressBytes {
    int family = 2;
    int length = 4;
    std::array<uint8_t, 16> bytes{};
    const char* Data() const { return reinterpret_cast<const char*>(bytes.data()); }
};
AddressBytes AddressBytesFromText(const std::string& text);
/// Sets address (of either family) and port of an existing end point from a record.
void SockAddrFromRecord(const sockintf::SOCKADDR_INET_W& record, TAVSockAddr& addr);

}  // namespace tav::SocketSupport
