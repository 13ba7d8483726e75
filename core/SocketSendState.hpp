// The send-side state of a TAVSocket: what is still to be sent and where to.
#pragma once

#include <tavsock/TAVSockAddr.hpp>
#include <tavsock/TAVSocket.hpp>

#include "core/PendingBuffer.hpp"

#include <cstdint>
#include <memory>

namespace tav {

struct TAVSocket::SendState {
    PendingBuffer normal;  // data not yet taken by the stack
    PendingBuffer urgent;  // out-of-band data not yet sent
    /// Destination of SendTo; null means the connected peer. The caller's object itself is
    /// kept (not a copy), until ClearPendingSend.
    std::shared_ptr<TAVSockAddr> peer;
    /// Milliseconds: the wait of the last flush that needed retries, 0 after a send without
    /// retries; starts the next congested flush with a longer wait.
    int32_t carryOver = 0;
};

}  // namespace tav
