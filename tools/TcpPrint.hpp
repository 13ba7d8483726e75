// Printing of a TCP manager's nine events, shared by the tool's server, client and demo.
#pragma once

#include <tavsock/TavTCPSocketMgr.hpp>

#include <string>

namespace tavtool {

/// Subscribes a printer to each of the nine events of `mgr`: one line per event as it is
/// raised, marked with `label` when not empty. Subscribe behaviour after this, so that an
/// event's line comes before what the event causes.
void PrintTcpEvents(tav::TavTCPSocketMgr& mgr, const std::string& label = "");

/// " (begin mark "<B>", end mark "<E>", text)" for a socket's framing set-up.
std::string FramingText(const tav::TAVSocket& skt);

}  // namespace tavtool
