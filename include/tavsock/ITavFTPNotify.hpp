// The callback interface of the FTP client.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class TavFTPTransferMgr;

/// Receives a TavFTPTransferMgr's six notifications when set as its CallbackObject (the
/// manager then raises none of them as events, with one exception documented at
/// TavFTPTransferMgr::FTPDataTransferred). Every operation receives the manager first and has
/// an empty body, so a receiver overrides what it needs. Operations are called on the
/// manager's thread while it runs its message queue; whatever they throw is absorbed. A
/// receiver may call back into the manager (Reset, a new command), or let go of it.
///
/// Ownership: the manager keeps its CallbackObject alive. A host object that owns the manager
/// and wants to be its callback should pass a small object that refers to it weakly.
class ITavFTPNotify {
public:
    virtual ~ITavFTPNotify() = default;

    /// A failure on the library side; the codes are listed at TavFTPTransferMgr.
    virtual void FTPObjectError(const std::shared_ptr<TavFTPTransferMgr>& Mgr, int32_t code) { (void)Mgr, (void)code; }
    /// A negative server reply: ErrCode is its three-digit code, errdesc the rest of the line
    /// from the character after the code (it starts with the space or hyphen).
    virtual void FTPError(const std::shared_ptr<TavFTPTransferMgr>& Mgr, const std::string& ErrCode,
                          const std::string& errdesc) {
        (void)Mgr, (void)ErrCode, (void)errdesc;
    }
    /// The current operation is finished; code is always 0.
    virtual void FTPReady(const std::shared_ptr<TavFTPTransferMgr>& Mgr, int32_t code) { (void)Mgr, (void)code; }
    /// A listing, or a file retrieved without a local file name: the manager's own buffer,
    /// valid during the call (a receiver may take it over with std::move).
    virtual void FTPDataReceived(const std::shared_ptr<TavFTPTransferMgr>& Mgr, std::string& DataReceived) {
        (void)Mgr, (void)DataReceived;
    }
    /// Transfer progress: bytes written or handed over so far (wraps beyond 2 GiB).
    virtual void FTPDataTransferred(const std::shared_ptr<TavFTPTransferMgr>& Mgr, int32_t ByteCount) {
        (void)Mgr, (void)ByteCount;
    }
    /// One line of the control dialogue, in order: Sent true for a command (just before it
    /// goes out; the argument of PASS and ACCT shown as "****"), false for a reply line (each
    /// line of a multi-line reply on its own). Without CR LF; the server's text as it came.
    virtual void FTPControlLine(const std::shared_ptr<TavFTPTransferMgr>& Mgr, bool Sent, const std::string& Line) {
        (void)Mgr, (void)Sent, (void)Line;
    }
};

}  // namespace tav
