// The start-up record of the calling thread: what the stack said about itself at the latest
// start-up made on this thread.
//
// Every socket manager starts the stack with intWSAStartup(0x0101, &ThreadStartupRecord()),
// overwriting the record; OSSockLibInfo reads it. Before the first start-up on a thread the
// record is all zero (no texts, null vendor pointer).
#pragma once

#include "platform/SockIntf.hpp"

namespace tav {

/// The record of the calling thread; it lives as long as the thread.
sockintf::WSADATA& ThreadStartupRecord() noexcept;

}  // namespace tav
