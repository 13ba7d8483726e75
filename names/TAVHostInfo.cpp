#include <tavsock/TAVHostInfo.hpp>

#include "base/SockErrors.hpp"
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
}

void TAVHostInfo::GetHostByAddress(const std::string& IPAddr) {
    const int32_t addr = SocketSupport::NetAddrFromDottedStr(IPAddr);
    const sk::HOSTENT* rec = sk::intgethostbyaddr(reinterpret_cast<const char*>(&addr), 4, sk::AF_INET_W);
    if (rec == nullptr) {
        Name(std::string());
        NameRecordCopy::DiscardLastError();
        return;
    }
    HostInfoAccess::CopyHostEnt(*this, *rec);
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
}

}  // namespace tav
