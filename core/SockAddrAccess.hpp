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
    /// Sets an IPv4 address (an object that held IPv6 becomes IPv4).
    static void SetNetAddress(TAVSockAddr& a, int32_t value) noexcept {
        a.mFamily = 2;
        a.mNetAddress = value;
        a.mAddress6 = {};
        a.mScope6 = 0;
    }
    static int32_t GetNetAddress(const TAVSockAddr& a) noexcept { return a.mNetAddress; }
    static void SetNetPort(TAVSockAddr& a, int16_t value) noexcept { a.mNetPort = value; }
    static int16_t GetNetPort(const TAVSockAddr& a) noexcept { return a.mNetPort; }
    /// Makes `a` the IPv6 address `bytes` with `scope` (its 32-bit address becomes -1).
    static void SetAddress6(TAVSockAddr& a, const std::array<uint8_t, 16>& bytes, uint32_t scope) noexcept {
        a.mFamily = 23;
        a.mNetAddress = -1;
        a.mAddress6 = bytes;
        a.mScope6 = scope;
    }
    static const std::array<uint8_t, 16>& GetAddress6(const TAVSockAddr& a) noexcept { return a.mAddress6; }
    static uint32_t GetScope6(const TAVSockAddr& a) noexcept { return a.mScope6; }
    /// Gives `to` the address of `from` in its family; the port of `to` stays.
    static void CopyHost(const TAVSockAddr& from, TAVSockAddr& to) noexcept {
        to.mFamily = from.mFamily;
        to.mNetAddress = from.mNetAddress;
        to.mAddress6 = from.mAddress6;
        to.mScope6 = from.mScope6;
    }
    /// Whether both name the same host: the same family and address (and scope), ports aside.
    static bool SameHost(const TAVSockAddr& a, const TAVSockAddr& b) noexcept {
        return a.mFamily == b.mFamily && a.mNetAddress == b.mNetAddress && a.mAddress6 == b.mAddress6 &&
               a.mScope6 == b.mScope6;
    }
};

}  // namespace tav
