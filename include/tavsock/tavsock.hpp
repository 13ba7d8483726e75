// TAVSock: every public class of the library.
#pragma once

#include <tavsock/CreateObject.hpp>
#include <tavsock/Event.hpp>
#include <tavsock/ITAVSockNotify.hpp>
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
#include <tavsock/TavFTPTransferMgr.hpp>
#include <tavsock/TavTCPSocketMgr.hpp>
#include <tavsock/TavUDPSocketMgr.hpp>
#include <tavsock/Text.hpp>
#include <tavsock/Types.hpp>
#include <tavsock/ValueStore.hpp>
#include <tavsock/Variant.hpp>
