#include "NamePrint.hpp"

#include "Tool.hpp"

#include <tavsock/TAVSocketMgr.hpp>

#include <cstdio>
#include <memory>

namespace tavtool {

const tav::TAVSocketUtil& Util() { return *SocketManager().Util(); }

const tav::OSSockLibInfo& StartupInfo() { return *SocketManager().SockLibInfo(); }

void PrintHost(const tav::TAVHostInfo& host) {
    std::printf("  Name:         %s\n", host.Name().c_str());
    std::printf("  AliasCount:   %d\n", host.AliasCount());
    for (int32_t i = 1; i <= host.AliasCount(); ++i) std::printf("    Alias(%d):   %s\n", i, host.Alias(i).c_str());
    std::printf("  AddressCount: %d\n", host.AddressCount());
    for (int32_t i = 1; i <= host.AddressCount(); ++i) {
        const int32_t a = host.Address(i);
        std::printf("    Address(%d): %-15s (network-order Long %d, %s)\n", i, Util().DottedStrFromNetAddr(a).c_str(), a,
                    Hex32(a).c_str());
    }
    // Every address of both families, as text (the list above is IPv4 only).
    std::printf("  IPAddressCount: %d\n", host.IPAddressCount());
    for (int32_t i = 1; i <= host.IPAddressCount(); ++i)
        std::printf("    IPAddress(%d): %s\n", i, Printable(host.IPAddress(i)).c_str());
}

void PrintService(const tav::TAVServiceInfo& service) {
    std::printf("  Name:       %s\n", service.Name().c_str());
    std::printf("  AliasCount: %d\n", service.AliasCount());
    for (int16_t i = 1; i <= service.AliasCount(); ++i) std::printf("    Alias(%d): %s\n", i, service.Alias(i).c_str());
    const int16_t port = service.Port();
    if (port < 0)
        std::printf("  Port:       %d (port %d; Integer ports above 32767 read negative)\n", port, port + 65536);
    else
        std::printf("  Port:       %d\n", port);
    std::printf("  Protocol:   %s\n", service.Protocol().c_str());
}

void PrintProtocol(const tav::TAVProtocolInfo& protocol) {
    std::printf("  Name:       %s\n", protocol.Name().c_str());
    std::printf("  AliasCount: %d\n", protocol.AliasCount());
    for (int16_t i = 1; i <= protocol.AliasCount(); ++i) std::printf("    Alias(%d): %s\n", i, protocol.Alias(i).c_str());
    std::printf("  Protocol:   %d\n", protocol.Protocol());
}

std::string VersionText(int16_t packed) {
    const auto v = static_cast<uint16_t>(packed);
    return std::to_string(v & 0xFF) + "." + std::to_string(v >> 8);
}

void PrintStartupInfo(const tav::OSSockLibInfo& info) {
    std::printf("  CurrentVersion:        %d (%s)\n", info.CurrentVersion(), VersionText(info.CurrentVersion()).c_str());
    std::printf("  HighVersion:           %d (%s)\n", info.HighVersion(), VersionText(info.HighVersion()).c_str());
    std::printf("  Description:           %s\n", info.Description().c_str());
    std::printf("  SystemStatus:          %s\n", info.SystemStatus().c_str());
    std::printf("  MaxSockets:            %d\n", info.MaxSockets());
    std::printf("  MaxUDPDatagramSize:    %d\n", info.MaxUDPDatagramSize());
    std::printf("  HasMaxUDPDatagramSize: %s\n", info.HasMaxUDPDatagramSize() ? "True" : "False");
    std::printf("  VendorInfo:            %s\n", info.VendorInfo().empty() ? "(none)" : info.VendorInfo().c_str());
}

void PrintDottedConversion(const std::string& dotted) {
    const tav::TAVSocketUtil& u = Util();
    const int32_t net = u.NetAddrFromDottedStr(dotted);
    const int32_t host = u.NetToHostLong(net);
    std::printf("  dotted text:           %s\n", dotted.c_str());
    std::printf("  IsWellFormedDottedStr: %s\n", u.IsWellFormedDottedStr(dotted) ? "True" : "False");
    std::printf("  NetAddrFromDottedStr:  %d (%s)\n", net, Hex32(net).c_str());
    std::printf("  NetToHostLong of it:   %d (%s)\n", host, Hex32(host).c_str());
    std::printf("  DottedStrFromNetAddr:  %s\n", u.DottedStrFromNetAddr(net).c_str());
}

void PrintNumberConversion(int64_t number) {
    const tav::TAVSocketUtil& u = Util();
    const auto value = static_cast<int32_t>(static_cast<uint32_t>(number));
    const int32_t net = u.HostToNetLong(value);
    std::printf("  number:                          %d (%s)\n", value, Hex32(value).c_str());
    std::printf("  as a network-order address:      %s\n", u.DottedStrFromNetAddr(value).c_str());
    std::printf("  HostToNetLong:                   %d (%s)\n", net, Hex32(net).c_str());
    std::printf("  as a host-order address:         %s\n", u.DottedStrFromNetAddr(net).c_str());
    if (number >= -32768 && number <= 65535) {
        const auto port = static_cast<int16_t>(static_cast<uint16_t>(number));
        const int16_t netPort = u.HostToNetShort(port);
        std::printf("  as a port: Integer               %d\n", port);
        std::printf("  HostToNetShort:                  %d (bytes %02X %02X on the wire)\n", netPort,
                    static_cast<unsigned>(static_cast<uint16_t>(port) >> 8), static_cast<unsigned>(port & 0xFF));
        std::printf("  NetToHostShort of that:          %d\n", u.NetToHostShort(netPort));
    }
}

}  // namespace tavtool
