// The callback interface of a socket manager.
#pragma once

#include <cstdint>
#include <memory>

namespace tav {

class TAVHostInfo;
class TAVSocket;

/// Receives a TAVSocketMgr's six notifications when set as its CallbackObject (the manager then
/// raises no events). Every operation has an empty body, so a receiver overrides what it needs.
/// Operations are called on the manager's thread, inside the handling of a queue message;
/// whatever they throw is absorbed by the manager. A receiver may call back into the manager,
/// destroy the socket it is told about, or let go of the manager.
///
/// Ownership: the manager keeps its CallbackObject alive. An owner of the manager that sets
/// itself as the callback should pass a small object that refers to it weakly, or it keeps
/// itself alive through its own part.
class ITAVSockNotify {
public:
    virtual ~ITAVSockNotify() = default;

    /// A background look-up failed (or completed after it was given up); it carries the
    /// look-up's handle.
    virtual void AsyncError(int32_t AsyncHandle, int32_t ErrorCode) { (void)AsyncHandle, (void)ErrorCode; }
    /// A background look-up succeeded; HostObject holds the result.
    virtual void HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) {
        (void)AsyncHandle, (void)HostObject;
    }
    /// A socket notification carried an error code. Socket is empty when the handle is not
    /// one of the manager's.
    virtual void SocketError(int32_t ErrorCode, const std::shared_ptr<TAVSocket>& Socket) {
        (void)ErrorCode, (void)Socket;
    }
    /// Data can be read: out-of-band data when IsOOB is true.
    virtual void DataReceived(const std::shared_ptr<TAVSocket>& Skt, bool IsOOB) { (void)Skt, (void)IsOOB; }
    /// The socket can take more data.
    virtual void DataSent(const std::shared_ptr<TAVSocket>& Skt) { (void)Skt; }
    /// EventType 8: a connection waits to be accepted; 16: the connection is established; 32:
    /// the connection is closed.
    virtual void SocketNotification(const std::shared_ptr<TAVSocket>& Skt, int32_t& EventType) {
        (void)Skt, (void)EventType;
    }
};

}  // namespace tav
