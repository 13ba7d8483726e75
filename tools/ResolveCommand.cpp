// `tavsock resolve`: a background host look-up through a socket manager, its result arriving
// from the message queue.
#include "NamePrint.hpp"
#include "Tool.hpp"
#include "TransportPrint.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/TAVSocketMgr.hpp>

#include <chrono>
#include <cstdio>

namespace tavtool {
namespace {

constexpr auto kLookupTimeout = std::chrono::seconds(15);

int RunResolve(const Args& args) {
    RequireArgs(args, 1, 1);
    const std::string& what = args[0];
    const auto mgr = tav::TAVSocketMgr::Create();
    bool resolved = false;
    bool failed = false;
    int32_t handle = 0;
    mgr->HostResolved.Subscribe([&](int32_t h, const std::shared_ptr<tav::TAVHostInfo>& host) {
        PrintEvent("HostResolved", "handle " + std::to_string(h));
        if (host) PrintHost(*host);
        resolved = resolved || h == handle;
    });
    mgr->AsyncError.Subscribe([&](int32_t h, int32_t error) {
        PrintEvent("AsyncError", "handle " + std::to_string(h) + ", " + ErrorText(error));
        failed = failed || h == handle;
    });

    // Dotted text is looked up by address; a name look-up of it would only echo it back.
    const bool byAddress = Util().IsWellFormedDottedStr(what);
    handle = byAddress ? mgr->WSAAsyncGetHostByAddress(what) : mgr->WSAAsyncGetHostByName(what);
    std::printf("%s(\"%s\") returned handle %d; the result follows from the message queue\n",
                byAddress ? "WSAAsyncGetHostByAddress" : "WSAAsyncGetHostByName", what.c_str(), handle);
    std::fflush(stdout);
    if (handle == 0) {
        Fail("resolve", "the look-up did not start");
        return kExitNotFound;
    }
    if (!tav::RunMessagesUntil([&] { return resolved || failed; }, kLookupTimeout)) {
        Fail("resolve", "timed out after " + std::to_string(kLookupTimeout.count()) + " s");
        mgr->CancelAsyncRequest(handle);
    } else if (!resolved) {
        Fail("resolve", "'" + what + "' not found");
    }
    return resolved ? kExitOk : kExitNotFound;
}

const RegisterCommand kResolve{
    {"resolve", "<name-or-address>", "background look-up (HostResolved / AsyncError from the queue)", RunResolve,
     "  Starts WSAAsyncGetHostByName (or ...ByAddress for dotted text) on a socket manager and runs\n"
     "  the queue until HostResolved or AsyncError arrives, at most 15 s.\n"
     "  example: tavsock resolve localhost\n"}};

}  // namespace
}  // namespace tavtool
