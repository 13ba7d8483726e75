// Printing of look-up results, start-up information and conversions for the tavsock tool.
#pragma once

#include <tavsock/OSSockLibInfo.hpp>
#include <tavsock/TAVHostInfo.hpp>
#include <tavsock/TAVProtocolInfo.hpp>
#include <tavsock/TAVServiceInfo.hpp>
#include <tavsock/TAVSocketUtil.hpp>

#include <cstdint>
#include <string>

namespace tavtool {

/// The utility object and start-up record of the tool's socket manager (SocketManager()).
const tav::TAVSocketUtil& Util();
const tav::OSSockLibInfo& StartupInfo();

/// Each prints the object's members, one per line, indented by two spaces.
void PrintHost(const tav::TAVHostInfo& host);
void PrintService(const tav::TAVServiceInfo& service);
void PrintProtocol(const tav::TAVProtocolInfo& protocol);
void PrintStartupInfo(const tav::OSSockLibInfo& info);

/// What the conversion members make of a dotted text.
void PrintDottedConversion(const std::string& dotted);
/// What the conversion members make of a number (taken as a 32-bit pattern), as a network-
/// order address, a host-order address and, when it fits 16 bits, a host-order port.
void PrintNumberConversion(int64_t number);

/// "1.1" for the packed version 257 (low byte major, high byte minor).
std::string VersionText(int16_t packed);

}  // namespace tavtool
