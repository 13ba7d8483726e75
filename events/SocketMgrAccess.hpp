// Library-internal access to TAVSocketMgr: the members that the socket object's Accept and
// the transport managers use, and the asynchronous service for tests and benchmarks.
//
// TAVSocketMgr befriends this one class only, so its public header names none of the
// library's classes. Hosts do not get this header.
#pragma once

#include <tavsock/TAVSocketMgr.hpp>

#include "events/TAVAsyncSocket.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class SocketMgrAccess {
public:
    /// Holds `Socket` at the end of the collection (under Key unless empty) and, while the
    /// asynchronous service is usable, registers it for notifications. Returns 0, or -1 when
    /// registering failed (the socket stays held). A key in use raises error 457 and nothing
    /// is held.
    static int32_t AddSocket(TAVSocketMgr& mgr, const std::shared_ptr<TAVSocket>& Socket, const std::string& Key) {
        return mgr.AddSocket(Socket, Key);
    }
    /// As DestroySocket: stops the notifications of the designated socket and lets go of it.
    static Variant RemoveSocket(TAVSocketMgr& mgr, const Variant& SktVal) { return mgr.RemoveSocket(SktVal); }
    static std::shared_ptr<TAVSocket> CreateSocketOf(TAVSocketMgr& mgr, int32_t kind, const std::string& Key,
                                                     int32_t family) {
        return mgr.CreateSocketOf(kind, Key, family);
    }
    /// First position holding that very socket; 0 when none.
    static int32_t IndexOfSocket(const TAVSocketMgr& mgr, const std::shared_ptr<TAVSocket>& Socket) {
        return mgr.IndexOfSocket(Socket);
    }
    /// The socket at the lowest position whose handle is `Handle`; null when none.
    static std::shared_ptr<TAVSocket> SocketFromHandle(const TAVSocketMgr& mgr, int32_t Handle) {
        return mgr.SocketFromHandle(Handle);
    }
    /// Moves whenever the collection changes (see SocketHandleIndex::Changes); a socket found
    /// by SocketFromHandle stays the answer while this stays the same.
    static uint64_t MembershipChanges(const TAVSocketMgr& mgr) noexcept;
    /// The manager's asynchronous service. Raising its SocketMessage event stands for a
    /// notification arriving at the manager's window.
    static const std::shared_ptr<TAVAsyncSocket>& AsyncService(const TAVSocketMgr& mgr) { return mgr.mAsync; }
};

}  // namespace tav
