// Library-internal access to TavTCPSocketMgr's receive-path state, for tests and benchmarks:
// the incoming-data timer, its time mark, the socket it polls and the held text.
//
// TavTCPSocketMgr befriends this one class only. Hosts do not get this header.
#pragma once

#include <tavsock/TavTCPSocketMgr.hpp>

#include "platform/Timer.hpp"
#include "transport/MessageFramer.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class TcpSocketMgrAccess {
public:
    /// The incoming-data timer (Interval 1000 and disabled after creation); tests may shorten
    /// its Interval.
    static platform::Timer& Timer(TavTCPSocketMgr& mgr) { return *mgr.tmrProcessIncoming; }
    /// The timer's mark, in ten-thousandths of a second since local midnight (WaitTime.hpp).
    static int64_t WaitTime(const TavTCPSocketMgr& mgr) noexcept { return mgr.mWaitTime; }
    static void WaitTime(TavTCPSocketMgr& mgr, int64_t value) noexcept { mgr.mWaitTime = value; }
    /// The socket the timer polls; null when none.
    static const std::shared_ptr<TAVSocket>& LastSocket(const TavTCPSocketMgr& mgr) noexcept { return mgr.mLastSocket; }
    /// The hold buffer (one entry per socket, under its handle in decimal).
    static const std::shared_ptr<ValueStore>& HoldBuffer(const TavTCPSocketMgr& mgr) noexcept { return mgr.HoldBuffer; }
    /// The text held for `skt`: empty when none.
    static std::string HeldText(const TavTCPSocketMgr& mgr, const TAVSocket& skt) {
        return std::string(MessageFramer::HeldTextOf(*mgr.HoldBuffer, std::to_string(skt.Handle())));
    }
    /// True when the manager's own start-up of the network stack succeeded.
    static bool StartedUp(const TavTCPSocketMgr& mgr) noexcept { return mgr.mStartedUp; }
};

}  // namespace tav
