// How TAVSocket::Accept hands an accepted socket to the socket manager it was given.
//
// The socket object knows the manager only by name. The manager's source provides the real
// definition (its AddSocket under `key`); until that is linked in, a weak default in
// core/SocketRegistration.cpp registers nothing. The manager's strong definition replaces it
// at link time. In the static archive that holds only when the manager's definition sits in an
// object file that is linked anyway (the one with TAVSocketMgr::AddSocket and its factory), as
// the archive pulls no member just to replace a weak symbol; deleting the weak default once the
// manager exists removes the question.
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
