// Subcommands for look-ups, conversions and start-up information.
#include "NamePrint.hpp"
#include "Tool.hpp"

#include <tavsock/TAVSockAddr.hpp>

#include <cstdio>

namespace tavtool {
namespace {

int RunHost(const Args& args) {
    RequireArgs(args, 1, 1);
    const std::string& what = args[0];
    // Address text (dotted IPv4 or IPv6) is looked up by address; a name lookup of it would
    // only echo it back.
    const auto asAddress = tav::TAVSockAddr::Create();
    asAddress->IPAddress(what);
    const bool byAddress = Util().IsWellFormedDottedStr(what) || asAddress->Family() == 23;
    const auto host = byAddress ? Util().GetHostByAddress(what) : Util().GetHostByName(what);
    if (!host) {
        Fail("host", "'" + what + "' not found");
        return kExitNotFound;
    }
    std::printf("host %s (by %s)\n", what.c_str(), byAddress ? "address" : "name");
    PrintHost(*host);
    return kExitOk;
}

int RunService(const Args& args) {
    RequireArgs(args, 1, 2);
    const std::string protocol = args.size() > 1 ? args[1] : std::string();
    const std::optional<int64_t> port = ParseNumber(args[0]);
    std::shared_ptr<tav::TAVServiceInfo> service;
    if (port) {
        if (*port < 0 || *port > 65535) throw UsageError("port must be 0..65535");
        service = Util().GetServiceByPort(static_cast<int16_t>(static_cast<uint16_t>(*port)), protocol);
    } else {
        service = Util().GetServiceByName(args[0], protocol);
    }
    if (!service) {
        Fail("service", "'" + args[0] + "' not found");
        return kExitNotFound;
    }
    std::printf("service %s/%s (by %s)\n", args[0].c_str(), protocol.empty() ? "any" : protocol.c_str(),
                port ? "port" : "name");
    PrintService(*service);
    return kExitOk;
}

int RunProtocol(const Args& args) {
    RequireArgs(args, 1, 1);
    const std::optional<int64_t> number = ParseNumber(args[0]);
    std::shared_ptr<tav::TAVProtocolInfo> protocol;
    if (number) {
        if (*number < 0 || *number > 32767) throw UsageError("protocol number must be 0..32767");
        protocol = Util().GetProtoByNumber(static_cast<int16_t>(*number));
    } else {
        protocol = Util().GetProtoByName(args[0]);
    }
    if (!protocol) {
        Fail("protocol", "'" + args[0] + "' not found");
        return kExitNotFound;
    }
    std::printf("protocol %s (by %s)\n", args[0].c_str(), number ? "number" : "name");
    PrintProtocol(*protocol);
    return kExitOk;
}

int RunHostName(const Args& args) {
    RequireArgs(args, 0, 0);
    const std::string name = Util().GetHostName();
    const std::string address = Util().HostIPAddress();
    std::printf("GetHostName:   %s\n", name.empty() ? "(failed)" : name.c_str());
    std::printf("HostIPAddress: %s\n", address.empty() ? "(not found)" : address.c_str());
    return name.empty() ? kExitNotFound : kExitOk;
}

int RunConv(const Args& args) {
    RequireArgs(args, 1, 1);
    if (const std::optional<int64_t> number = ParseNumber(args[0])) {
        if (*number < INT32_MIN || *number > UINT32_MAX) throw UsageError("number must fit 32 bits");
        std::printf("conv %s\n", args[0].c_str());
        PrintNumberConversion(*number);
    } else {
        std::printf("conv %s\n", args[0].c_str());
        PrintDottedConversion(args[0]);
    }
    return kExitOk;
}

int RunInfo(const Args& args) {
    RequireArgs(args, 0, 0);
    std::printf("start-up record (OSSockLibInfo)\n");
    PrintStartupInfo(StartupInfo());
    return kExitOk;
}

const RegisterCommand kHost{{"host", "<name-or-address>", "look a host up by name, or by IPv4 or IPv6 address; prints every address", RunHost}};
const RegisterCommand kService{
    {"service", "<name-or-port> [protocol]", "look a service up by name or port (no protocol: any)", RunService}};
const RegisterCommand kProtocol{{"protocol", "<name-or-number>", "look a protocol up by name or number", RunProtocol}};
const RegisterCommand kHostName{{"hostname", "", "the local host name and its address", RunHostName}};
const RegisterCommand kConv{
    {"conv", "<dotted|number>", "address, byte-order and port conversions (number: decimal or 0x hex)", RunConv}};
const RegisterCommand kInfo{{"info", "", "what the network stack reported at start-up", RunInfo}};

}  // namespace
}  // namespace tavtool
