// Library-internal operations of TAVHostInfo: creation, the copy of a host record and the
// result buffer of background look-ups.
//
// TAVHostInfo befriends this class only, so its public header names no internal type. The
// asynchronous socket service creates an object, hands ResultBuffer() with length
// kResultBufferLength to the socket layer's background look-up, keeps the object in its
// pending-request table (which keeps the buffer alive and in place) and calls LoadFromBuffer()
// on the owning thread once the completion message arrives.
#pragma once

#include <tavsock/TAVHostInfo.hpp>

#include "platform/SockIntf.hpp"

#include <memory>

namespace tav {

class HostInfoAccess {
public:
    /// Length announced to the socket layer with ResultBuffer(); the buffer holds one more byte.
    static constexpr int kResultBufferLength = 1024;

    /// A new, empty host entry.
    static std::shared_ptr<TAVHostInfo> Create() { return std::shared_ptr<TAVHostInfo>(new TAVHostInfo()); }

    /// First byte of the object's own result buffer (indices 0 to 1024), aligned for a host
    /// record; the address stays the same for the object's whole life.
    static char* ResultBuffer(TAVHostInfo& info) noexcept { return info.mResultBuffer.data(); }

    /// Fills the object from the host record the socket layer wrote at the start of the result
    /// buffer (the same copy as a blocking look-up).
    static void LoadFromBuffer(TAVHostInfo& info);

    /// Replaces the entry by a copy of `rec`: name, aliases up to the first null or empty one,
    /// address type and length, and (for the Internet family only) the addresses up to the
    /// first null entry, 4 bytes each whatever the length says. Nothing keeps a pointer into
    /// `rec`.
    static void CopyHostEnt(TAVHostInfo& info, const sockintf::HOSTENT& rec);
    /// Replaces the IPv6 addresses of the entry by those the socket layer handed over with
    /// the record just copied (sockintf::HostAddresses6).
    static void CopyAddresses6(TAVHostInfo& info);
};

}  // namespace tav
