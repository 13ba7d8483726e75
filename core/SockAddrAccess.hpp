// Library-internal access to the network-order fields of TAVSockAddr.
//
// The socket object, the socket managers and the asynchronous socket service fill and read
// addresses without conversion. TAVSockAddr befriends this one class only, so its public
// header names none of them; any library source includes this header and calls, e.g.,
// SockAddrAccess::SetNetAddress(addr, value). Hosts do not get this header.
#pragma once

#include <tavsock/TAVSockAddr.hpp>

#include <cstdint>

namespace tav {

class SockAddrAccess {
public:
    static void SetNetAddress(TAVSockAddr& a, int32_t value) noexcept { a.mNetAddress = value; }
    static int32_t GetNetAddress(const TAVSockAddr& a) noexcept { return a.mNetAddress; }
    static void SetNetPort(TAVSockAddr& a, int16_t value) noexcept { a.mNetPort = value; }
    static int16_t GetNetPort(const TAVSockAddr& a) noexcept { return a.mNetPort; }
};

}  // namespace tav
