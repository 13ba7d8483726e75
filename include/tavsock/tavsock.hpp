// TAVSock: every public class of the library.
//
// What a host needs to know before the first line (the README says more):
//   - Thread rule: objects belong to the thread that created them and are used only there;
//     their events are delivered on that thread while it runs its queue (MessageLoop.hpp).
//   - Re-entry: Connect and Send let messages run (Send while it waits for a full send
//     buffer), so events can arrive before they return. Set state before such a call.
//   - A host with its own event loop sets a pump (SetMessagePump) so that loop keeps running
//     during those waits; see examples/glib_host.cpp.
//   - Errors: Windows Sockets numbers throughout; WinsockErrors.hpp names them.
//   - Ports are 16-bit signed values (TAVSockAddr::Port): above 32767 they read negative.
//   - Unexpected errors go to a message-box handler (MessageBox.hpp), stderr by default.
//   - The debug log is off unless a marker file DEBUGTAVSOCK<level>.LVL exists in
//     $TAVSOCK_CONFIG_DIR (default ~/.config/tav/TAVCONTROLCENTER); logs are written to
//     $TAVSOCK_LOG_DIR (default ~/.local/state/tav/log).
#pragma once

#include <tavsock/CreateObject.hpp>
#include <tavsock/Event.hpp>
#include <tavsock/ITAVSockNotify.hpp>
#include <tavsock/ITavHTTPNotify.hpp>
#include <tavsock/ITavFTPNotify.hpp>
#include <tavsock/MessageBox.hpp>
#include <tavsock/MessageLoop.hpp>
#include <tavsock/OSSockLibInfo.hpp>
#include <tavsock/Object.hpp>
#include <tavsock/PropertyBag.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/TAVHostInfo.hpp>
#include <tavsock/TAVProtocolInfo.hpp>
#include <tavsock/TAVServiceInfo.hpp>
#include <tavsock/TAVSockAddr.hpp>
#include <tavsock/TAVSocket.hpp>
#include <tavsock/TAVSocketMgr.hpp>
#include <tavsock/TAVSocketUtil.hpp>
#include <tavsock/TAVSockets.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>
#include <tavsock/TavFTPTransferMgr.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>
#include <tavsock/TavUDPSocketMgr.hpp>
#include <tavsock/Text.hpp>
#include <tavsock/Types.hpp>
#include <tavsock/ValueStore.hpp>
#include <tavsock/Variant.hpp>
#include <tavsock/WinsockErrors.hpp>
