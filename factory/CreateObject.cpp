#include <tavsock/CreateObject.hpp>
#include <tavsock/TAVSockAddr.hpp>
#include <tavsock/TAVSocketMgr.hpp>
#include <tavsock/TAVSockets.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>
#include <tavsock/TavFTPTransferMgr.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>
#include <tavsock/TavUDPSocketMgr.hpp>
#include <tavsock/Text.hpp>
#include <tavsock/ValueStore.hpp>

#include "base/SockErrors.hpp"

#include <functional>
#include <string_view>
#include <utility>

namespace tav {

namespace {
struct Creatable {
    std::string_view name;
    ObjectPtr (*make)();
};
// The creatable classes, by the name after "TAVSock.".
const Creatable kCreatable[] = {
    {"TAVSockAddr", [] { return ObjectPtr(TAVSockAddr::Create()); }},
    {"TAVSocketMgr", [] { return ObjectPtr(TAVSocketMgr::Create()); }},
    {"TAVSockets", [] { return ObjectPtr(TAVSockets::Create()); }},
    {"TavHTTPTransferMgr", [] { return ObjectPtr(TavHTTPTransferMgr::Create()); }},
    {"TavFTPTransferMgr", [] { return ObjectPtr(TavFTPTransferMgr::Create()); }},
    {"TavTCPSocketMgr", [] { return ObjectPtr(TavTCPSocketMgr::Create()); }},
    {"TavUDPSocketMgr", [] { return ObjectPtr(TavUDPSocketMgr::Create()); }},
    {"ValueStore", [] { return ObjectPtr(ValueStore::Create()); }},
};
}  // namespace

ObjectPtr CreateObject(const std::string& progId) {
    constexpr std::string_view prefix = "TAVSock.";
    std::string_view id(progId);
    if (id.size() > prefix.size() && TextEqualNoCase(id.substr(0, prefix.size()), prefix)) {
        std::string_view cls = id.substr(prefix.size());
        for (const auto& c : kCreatable)
            if (TextEqualNoCase(c.name, cls)) return c.make();
    }
    RaiseSockError(kErrInvalidParameter);
}

}  // namespace tav
