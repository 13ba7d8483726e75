// Library-internal access to TavFTPTransferMgr's session state, for tests and the tool.
//
// TavFTPTransferMgr befriends this one class only. Hosts do not get this header.
#pragma once

#include <tavsock/TavFTPTransferMgr.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class FtpTransferMgrAccess {
public:
    /// The state number (transfer/FtpStates.hpp).
    static int32_t ClientState(const TavFTPTransferMgr& m) noexcept { return m.ClientState; }
    /// The control socket (replaced by every Reset).
    static const std::shared_ptr<TAVSocket>& ControlSocket(const TavFTPTransferMgr& m) noexcept { return m.mControl; }
    /// The data socket, or null.
    static const std::shared_ptr<TAVSocket>& DataSocket(const TavFTPTransferMgr& m) noexcept { return m.mData; }
    /// Text received on the control connection and not yet cut into lines.
    static const std::string& ReplyBuffer(const TavFTPTransferMgr& m) noexcept { return m.mReplyBuffer; }
    /// The bound of a listing or in-memory retrieve (1 GiB); tests lower it.
    static void MaxDataBuffer(TavFTPTransferMgr& m, size_t bytes) noexcept { m.mMaxDataBuffer = bytes; }
    /// The reply splitter, the 227 reply parse and the PORT text, without a connection (for
    /// the fuzz targets); see TavFTPTransferMgr's private members of the same names.
    using ReplyLines = TavFTPTransferMgr::ReplyLines;
    static bool CutReplyLines(std::string& buffer, size_t& scanFrom, ReplyLines& lines) {
        return TavFTPTransferMgr::CutReplyLines(buffer, scanFrom, lines);
    }
    static bool ParsePassiveReply(const std::string& replyText, std::string& host, uint16_t& port) {
        return TavFTPTransferMgr::ParsePassiveReply(replyText, host, port);
    }
    static std::string PortCommand(const std::string& dottedAddress, uint16_t port) {
        return TavFTPTransferMgr::PortCommand(dottedAddress, port);
    }
    /// The TCP manager the client works through.
    static const std::shared_ptr<TavTCPSocketMgr>& Tcp(const TavFTPTransferMgr& m) noexcept { return m.mTcp; }
};

}  // namespace tav
