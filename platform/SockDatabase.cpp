// Database calls of the socket interface layer: local host name, host, service and protocol
// entries. Each record is copied into storage of the calling thread that the next call of
// the same kind on that thread replaces; nothing points into resolver memory.
#include "platform/HostDb.hpp"
#include "platform/SockIntf.hpp"
#include "platform/SockLayer.hpp"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace tav::sockintf {

using detail::Fail;
using detail::Started;

namespace {

/// Owned texts behind a SERVENT or PROTOENT: the entry's pointers refer to these members.
struct OwnedEntry {
    std::string name;
    std::string proto;
    std::vector<std::string> aliases;
    std::vector<char*> aliasPointers;

    void Load(const char* n, char** aliasList) {
        name = n != nullptr ? n : "";
        aliases.clear();
        for (char** a = aliasList; a != nullptr && *a != nullptr; ++a) aliases.emplace_back(*a);
        aliasPointers.clear();
        for (std::string& a : aliases) aliasPointers.push_back(a.data());
        aliasPointers.push_back(nullptr);
    }
};

/// Runs a *_r database call with a growing scratch buffer and hands the record (or null) to
/// `keep` while the scratch memory it points into is still alive.
template <class Entry, class Call, class Keep>
auto RunDbCall(Call&& call, Keep&& keep) {
    std::vector<char> scratch(1024);
    Entry entry{};
    Entry* result = nullptr;
    for (;;) {
        const int rc = call(&entry, scratch.data(), scratch.size(), &result);
        if (rc == ERANGE && scratch.size() < (1u << 20)) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        return keep(result);
    }
}

/// A service that is not listed: the name is fine but there is no entry of that kind.
constexpr int kNotListed = WSANO_DATA;

SERVENT* KeepService(const servent* se) {
    thread_local OwnedEntry owned;
    thread_local SERVENT record;
    if (se == nullptr) {
        Fail(kNotListed);
        return nullptr;
    }
    owned.Load(se->s_name, se->s_aliases);
    owned.proto = se->s_proto != nullptr ? se->s_proto : "";
    record.s_name = owned.name.data();
    record.s_aliases = owned.aliasPointers.data();
    // glibc keeps the network-order port in the low 16 bits of an int.
    record.s_port = static_cast<int16_t>(static_cast<uint16_t>(se->s_port));
    record.s_proto = owned.proto.data();
    return &record;
}

PROTOENT* KeepProtocol(const protoent* pe) {
    thread_local OwnedEntry owned;
    thread_local PROTOENT record;
    if (pe == nullptr) {
        Fail(kNotListed);
        return nullptr;
    }
    owned.Load(pe->p_name, pe->p_aliases);
    record.p_name = owned.name.data();
    record.p_aliases = owned.aliasPointers.data();
    record.p_proto = static_cast<int16_t>(pe->p_proto);
    return &record;
}

/// Serializes a host record into thread storage; the same layout the background look-ups
/// write into the caller's buffer.
HOSTENT* KeepHost(int err, const hostdb::HostRecord& rec) {
    thread_local std::vector<char> storage;  // from operator new: aligned for HOSTENT
    detail::tHostAddresses6 = rec.addresses6;
    if (err != 0) {
        detail::tHostAddresses6.clear();
        Fail(err);
        return nullptr;
    }
    int needed = 0;
    if (storage.empty()) storage.resize(512);
    if (hostdb::SerializeHostEnt(rec, storage.data(), static_cast<int>(storage.size()), needed) != 0) {
        storage.resize(static_cast<size_t>(needed));
        hostdb::SerializeHostEnt(rec, storage.data(), needed, needed);
    }
    return reinterpret_cast<HOSTENT*>(storage.data());
}

}  // namespace

const std::vector<Inet6Address>& HostAddresses6() { return detail::tHostAddresses6; }

int intgethostname(char* name, int namelen) {
    if (!Started()) return SOCKET_ERROR;
    if (name == nullptr || namelen <= 0) return Fail(WSAEFAULT);
    char local[256] = {};
    if (::gethostname(local, sizeof local - 1) != 0) return detail::FailErrno();
    const size_t len = std::strlen(local);
    if (len + 1 > static_cast<size_t>(namelen)) return Fail(WSAEFAULT);
    std::memcpy(name, local, len + 1);
    return 0;
}

HOSTENT* intgethostbyname(const char* name) {
    if (!Started()) return nullptr;
    hostdb::HostRecord rec;
    const int err = hostdb::ResolveByName(name, rec);
    return KeepHost(err, rec);
}

HOSTENT* intgethostbyaddr(const char* addr, int len, int type) {
    if (!Started()) return nullptr;
    hostdb::HostRecord rec;
    const int err = hostdb::ResolveByAddr(addr, len, type, rec);
    return KeepHost(err, rec);
}

SERVENT* intgetservbyname(const char* name, const char* proto) {
    if (!Started()) return nullptr;
    if (name == nullptr) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    return RunDbCall<servent>(
        [&](servent* e, char* buf, size_t len, servent** res) { return ::getservbyname_r(name, proto, e, buf, len, res); },
        KeepService);
}

SERVENT* intgetservbyport(int port, const char* proto) {
    if (!Started()) return nullptr;
    // The port arrives in network order in the low 16 bits, as the Windows call takes it.
    const int netPort = port & 0xFFFF;
    return RunDbCall<servent>(
        [&](servent* e, char* buf, size_t len, servent** res) { return ::getservbyport_r(netPort, proto, e, buf, len, res); },
        KeepService);
}

PROTOENT* intgetprotobyname(const char* name) {
    if (!Started()) return nullptr;
    if (name == nullptr) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    return RunDbCall<protoent>(
        [&](protoent* e, char* buf, size_t len, protoent** res) { return ::getprotobyname_r(name, e, buf, len, res); },
        KeepProtocol);
}

PROTOENT* intgetprotobynumber(int number) {
    if (!Started()) return nullptr;
    return RunDbCall<protoent>(
        [&](protoent* e, char* buf, size_t len, protoent** res) { return ::getprotobynumber_r(number, e, buf, len, res); },
        KeepProtocol);
}

}  // namespace tav::sockintf
