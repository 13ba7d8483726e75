// Demo parts for look-ups, conversions and start-up information (order band 100-199).
#include "NamePrint.hpp"
#include "Tool.hpp"

#include <tavsock/SockError.hpp>

#include <cstdio>

namespace tavtool {
namespace {

bool StartupPart() {
    PrintStartupInfo(StartupInfo());
    return StartupInfo().CurrentVersion() == 0x0101;
}

bool LocalHostPart() {
    const std::string name = Util().GetHostName();
    std::printf("  GetHostName:   %s\n", name.c_str());
    const std::string address = Util().HostIPAddress();
    std::printf("  HostIPAddress: %s\n", address.empty() ? "(the local name does not resolve)" : address.c_str());
    return !name.empty();
}

bool HostLookupsPart() {
    std::printf("GetHostByName(\"localhost\")\n");
    const auto byName = Util().GetHostByName("localhost");
    if (byName) PrintHost(*byName);
    std::printf("GetHostByAddress(\"127.0.0.1\")\n");
    const auto byAddress = Util().GetHostByAddress("127.0.0.1");
    if (byAddress) PrintHost(*byAddress);
    bool ok = byName && byAddress;
    std::printf("GetHostByName(\"no-such-host.invalid\")\n");
    const auto none = Util().GetHostByName("no-such-host.invalid");
    std::printf("  %s\n", none ? "found (unexpected)" : "none, and nothing raised");
    ok = ok && !none;
    if (byName) {
        std::printf("Address(0) of the localhost entry (lists are 1-based)\n");
        try {
            byName->Address(0);
            std::printf("  no error (unexpected)\n");
            ok = false;
        } catch (const tav::SockError& e) {
            std::printf("  raised %s \"%s\"\n", Hex32(e.Number()).c_str(), e.Description().c_str());
        }
    }
    return ok;
}

bool ServicesPart() {
    bool ok = true;
    const struct {
        const char* name;
        const char* protocol;  // "" matches any protocol
    } byName[] = {{"http", "tcp"}, {"domain", "udp"}, {"domain", ""}};
    for (const auto& s : byName) {
        std::printf("GetServiceByName(\"%s\", \"%s\")\n", s.name, s.protocol);
        const auto info = Util().GetServiceByName(s.name, s.protocol);
        if (info) PrintService(*info);
        ok = ok && info;
    }
    std::printf("GetServiceByPort(80, \"tcp\")\n");
    const auto info = Util().GetServiceByPort(80, "tcp");
    if (info) PrintService(*info);
    return ok && info;
}

bool ProtocolsPart() {
    bool ok = true;
    for (const char* name : {"tcp", "udp"}) {
        std::printf("GetProtoByName(\"%s\")\n", name);
        const auto p = Util().GetProtoByName(name);
        if (p) PrintProtocol(*p);
        ok = ok && p;
    }
    std::printf("GetProtoByNumber(17)\n");
    const auto p = Util().GetProtoByNumber(17);
    if (p) PrintProtocol(*p);
    return ok && p;
}

bool ConversionsPart() {
    for (const char* dotted : {"127.0.0.1", "10.1.2.3", "255.255.255.255", "not.an.address"}) {
        PrintDottedConversion(dotted);
        std::printf("\n");
    }
    PrintNumberConversion(80);
    std::printf("\n");
    PrintNumberConversion(40000);
    return true;
}

const RegisterDemoPart kStartup{{100, "Start-up record (OSSockLibInfo)", StartupPart}};
const RegisterDemoPart kLocalHost{{110, "Local host", LocalHostPart}};
const RegisterDemoPart kHosts{{120, "Host look-ups", HostLookupsPart}};
const RegisterDemoPart kServices{{130, "Service look-ups", ServicesPart}};
const RegisterDemoPart kProtocols{{140, "Protocol look-ups", ProtocolsPart}};
const RegisterDemoPart kConversions{{150, "Address conversions", ConversionsPart}};

}  // namespace
}  // namespace tavtool
