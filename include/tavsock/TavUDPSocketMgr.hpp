// The UDP socket manager: datagram sockets driven by one event that carries the sender.
#pragma once

#include <tavsock/Event.hpp>
#include <tavsock/Object.hpp>
#include <tavsock/TAVSockAddr.hpp>
#include <tavsock/TAVSocket.hpp>
#include <tavsock/TAVSocketMgr.hpp>
#include <tavsock/ValueStore.hpp>
#include <tavsock/Variant.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tav {

/// Datagram sockets for applications. Creates bound datagram sockets in an inner
/// TAVSocketMgr (`Sockets`) and raises DataReceived once for every read notification of one
/// of them, with what one RecvFrom read and a new address object holding the sender. Sending
/// is the socket's own business (TAVSocket::SendTo). No framing, no hold buffers, no timer,
/// no look-ups (the inner manager has those).
///
/// Every other notification of the inner manager (socket errors, write readiness, look-up
/// results) is dropped without a trace.
///
/// Creatable ("TAVSock.TavUDPSocketMgr"). Creating one starts the network stack (version
/// 1.1); its end lets go of ExtraData and the inner manager (which lets go of its sockets)
/// and stops the stack again if its own start-up succeeded.
///
/// Thread rule: everything runs on the creating thread; DataReceived is raised while that
/// thread runs its message queue (MessageLoop.hpp). A handler may call back into the manager,
/// destroy the socket it is told about, or let go of the manager: the delivery keeps both
/// alive until it returns. Whatever a handler throws is absorbed.
class TavUDPSocketMgr : public Object {
public:
    /// A new manager: network stack started, inner manager made, notifications reaching this
    /// manager through the inner manager's events (InternalEarlyBound false).
    static std::shared_ptr<TavUDPSocketMgr> Create();
    ~TavUDPSocketMgr() override;
    std::string TypeName() const override { return "TavUDPSocketMgr"; }

    // ---- Events ------------------------------------------------------------------------------

    /// (SourceSocket, SourceAddress, Info): a read notification for SourceSocket. Info is what
    /// RecvFrom returned (text or bytes by the socket's DataMode; empty text or an empty byte
    /// array when the read found nothing), SourceAddress a new object holding the sender
    /// (0.0.0.0 port 0 when nothing was read). Raised once per notification, whatever was read.
    Event<const std::shared_ptr<TAVSocket>&, const std::shared_ptr<TAVSockAddr>&, Variant&> DataReceived;

    // ---- Properties --------------------------------------------------------------------------

    /// Free for the client. Reading it when none is held creates an empty store and keeps it.
    std::shared_ptr<ValueStore> ExtraData();
    void ExtraData(std::shared_ptr<ValueStore> store);

    /// True: the inner manager calls this manager directly (as its CallbackObject); false:
    /// through the inner manager's events. The same events either way.
    bool InternalEarlyBound() const;
    void InternalEarlyBound(bool value);

    /// The inner manager that holds the sockets.
    const std::shared_ptr<TAVSocketMgr>& Sockets() const noexcept { return mSocketMgr; }

    /// Free for the client: an object or a value, kept in this manager only (the inner
    /// manager's Tag is the host's own).
    Variant Tag() const { return mTag; }
    void Tag(Variant value);

    // ---- Methods -----------------------------------------------------------------------------

    /// Whether sockets made from now on for an IPv6 LocalAddr take IPv6 peers only. False
    /// (the default): one bound to "::" also sends to and hears from IPv4 addresses.
    bool IPv6Only() const noexcept { return mIPv6Only; }
    void IPv6Only(bool value) noexcept { mIPv6Only = value; }

    /// A new datagram socket under Key (unless empty), bound to LocalAddr (port 0: one the
    /// system picks), IsServerSocket false; it can send and receive at once. Its family is
    /// LocalAddr's: bind to "::" (or "::1") to reach IPv6 addresses; senders come in their own
    /// family (IPv4 senders of a dual-stack socket as IPv4). On failure the
    /// socket is taken out again and the library error whose code is the last socket error is
    /// raised (0x80040200 + 10048 for an address in use; a key in use raises 457 from the
    /// collection). A null LocalAddr raises 91.
    std::shared_ptr<TAVSocket> CreateClientSocket(const std::shared_ptr<TAVSockAddr>& LocalAddr,
                                                  const std::string& Key = "");
    /// As CreateClientSocket with IsServerSocket true. Datagram sockets do not listen: the
    /// two kinds differ only in that flag.
    std::shared_ptr<TAVSocket> CreateServerSocket(const std::shared_ptr<TAVSockAddr>& LocalAddr,
                                                  const std::string& Key = "");
    /// Takes the socket out of Sockets; a socket that is not held (or null) changes nothing.
    /// The socket closes when its last reference goes.
    void DestroySocket(std::shared_ptr<TAVSocket> Skt);

private:
    class NotifySink;

    TavUDPSocketMgr();
    void Initialize();
    void Terminate() noexcept;
    std::shared_ptr<TAVSocket> CreateBoundSocket(const std::shared_ptr<TAVSockAddr>& LocalAddr,
                                                 const std::string& Key, bool isServer);

    // The one notification this manager acts on, reached through NotifySink by either route.
    void ITAVSockNotify_DataReceived(const std::shared_ptr<TAVSocket>& Skt) noexcept;

    bool mStartedUp = false;
    bool mIPv6Only = false;
    std::shared_ptr<ValueStore> mExtraData;  // null until first read or set
    Variant mTag;
    std::shared_ptr<TAVSocketMgr> mSocketMgr;
    std::shared_ptr<NotifySink> mNotifySink;      // refers back weakly
    std::vector<EventConnection> mSubscriptions;  // to mSocketMgr's events
};

}  // namespace tav
