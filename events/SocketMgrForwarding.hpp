// Forwarding of a socket manager's six events to an ITAVSockNotify receiver.
//
// The transport managers listen to their inner manager by either route: as its CallbackObject
// (direct calls) or through its events. Forwarding the events to the same receiver makes both
// routes end in the same handlers. The subscriptions hold the receiver weakly, so the inner
// manager's events keep nothing of the owner alive.
#pragma once

#include <tavsock/Event.hpp>
#include <tavsock/ITAVSockNotify.hpp>
#include <tavsock/TAVSocketMgr.hpp>

#include <memory>
#include <vector>

namespace tav {

/// Subscribes `receiver` to every event of `mgr` and appends the subscriptions to `out`.
void ForwardSocketMgrEvents(TAVSocketMgr& mgr, const std::weak_ptr<ITAVSockNotify>& receiver,
                            std::vector<EventConnection>& out);

}  // namespace tav
