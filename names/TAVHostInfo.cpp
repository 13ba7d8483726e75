#include <tavsock/TAVHostInfo.hpp>

#include "base/SockErrors.hpp"
#include "core/Inet6Text.hpp"
#include "core/SocketSupport.hpp"
#include "names/HostInfoAccess.hpp"
#include "names/NameRecordCopy.hpp"
#include "platform/SockIntf.hpp"

#include <cstring>

namespace tav {

namespace sk = sockintf;

std::string TAVHostInfo::Alias(int32_t Index) const {
    if (Index < 1 || Index > AliasCount()) RaiseSockError(kErrInvalidParameter);
    return mAliases[static_cast<size_t>(Index - 1)];
}

int32_t TAVHostInfo::Address(int32_t Index) const {
    if (Index < 1 || Index > AddressCount()) RaiseSockError(kErrInvalidParameter);
    return mAddresses[static_cast<size_t>(Index - 1)];
}

std::string TAVHostInfo::IPAddress(int32_t Index) const {
    if (Index < 1 || Index > IPAddressCount()) RaiseSockError(kErrInvalidParameter);
    const size_t i = static_cast<size_t>(Index - 1);
    const size_t first = mPreferIPv6 ? mAddresses6.size() : mAddresses.size();
    const bool v6 = mPreferIPv6 ? i < first : i >= first;
    const size_t at = i < first ? i : i - first;
    return v6 ? mAddresses6[at] : SocketSupport::DottedStrFromNetAddr(mAddresses[at]);
}

void TAVHostInfo::Name(const std::string& value) {
    if (mName != value) mName = value;
}

void TAVHostInfo::GetHostByName(const std::string& HostName) {
    const sk::HOSTENT* rec = sk::intgethostbyname(HostName.c_str());
    if (rec == nullptr) {
        // Only the name is cleared: lists of an earlier look-up stay, as callers expect.
        Name(std::string());
        NameRecordCopy::DiscardLastError();
        return;
    }
    HostInfoAccess::CopyHostEnt(*this, *rec);
    HostInfoAccess::CopyAddresses6(*this);
}

void TAVHostInfo::GetHostByAddress(const std::string& IPAddr) {
    const SocketSupport::AddressBytes addr = SocketSupport::AddressBytesFromText(IPAddr);
    const sk::HOSTENT* rec = sk::intgethostbyaddr(addr.Data(), addr.length, addr.family);
    if (rec == nullptr) {
        Name(std::string());
        NameRecordCopy::DiscardLastError();
        return;
    }
    HostInfoAccess::CopyHostEnt(*this, *rec);
    HostInfoAccess::CopyAddresses6(*this);
}

void HostInfoAccess::CopyAddresses6(TAVHostInfo& info) {
    info.mAddresses6.clear();
    for (const sk::Inet6Address& a : sk::HostAddresses6()) info.mAddresses6.push_back(Inet6Text::Format(a.bytes, a.scope));
}

void HostInfoAccess::CopyHostEnt(TAVHostInfo& info, const sk::HOSTENT& rec) {
    info.mAddresses.clear();
    info.Name(SocketSupport::TextFromAnsiPtr(rec.h_name));
    info.mAliases = NameRecordCopy::Aliases(rec.h_aliases);
    info.mAddrType = rec.h_addrtype;
    info.mAddrLength = rec.h_length;
    if (rec.h_addrtype != sk::AF_INET_W || rec.h_addr_list == nullptr) return;
    // Each entry is read as one 4-byte IPv4 address; h_length does not size the copy.
    for (char* const* cell = rec.h_addr_list; *cell != nullptr; ++cell) {
        int32_t addr = 0;
        std::memcpy(&addr, *cell, sizeof addr);
        info.mAddresses.push_back(addr);
    }
}

void HostInfoAccess::LoadFromBuffer(TAVHostInfo& info) {
    sk::HOSTENT rec;
    std::memcpy(&rec, info.mResultBuffer.data(), sizeof rec);
    CopyHostEnt(info, rec);
    CopyAddresses6(info);
}

}  // namespace tav
