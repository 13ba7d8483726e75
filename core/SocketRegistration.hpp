// How TAVSocket::Accept hands an accepted socket to the socket manager it was given.
//
// The socket object knows the manager only by name; the manager's source
// (events/TAVSocketMgr.cpp) defines this function as its AddSocket under `key`.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class TAVSocket;
class TAVSocketMgr;

/// Adds `socket` to `mgr` under `key` (the AddSocket of the manager). Returns the manager's
/// result: 0 on success, -1 when registering for notifications failed. May raise what the
/// manager's collection raises (a key already in use).
int32_t AddSocketToManager(TAVSocketMgr& mgr, const std::shared_ptr<TAVSocket>& socket, const std::string& key);

}  // namespace tav
