// The callback interface of the HTTP transfer manager.
#pragma once

#include <tavsock/Variant.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

class TavHTTPTransferMgr;

/// Receives a TavHTTPTransferMgr's five notifications when set as its CallbackObject (the
/// manager then raises no events). Each operation receives the manager first, so one receiver
/// can serve several managers; every operation has an empty body, so a receiver overrides what
/// it needs. Operations are called on the manager's thread while it runs its message queue;
/// whatever they throw is absorbed. A receiver may call Reset or start the next request (the
/// manager is Idle before HTTPReady), or let go of the manager.
///
/// Ownership: the manager keeps its CallbackObject alive. A host that holds the manager and
/// sets itself as the callback should pass a small object that refers to it weakly.
class ITavHTTPNotify {
public:
    virtual ~ITavHTTPNotify() = default;

    /// The whole body, at the end of a request without an output file: text
    /// (TAVRetrieveText) or a byte array (TAVRetrieveByteArray). The receiver may move it out.
    virtual void HTTPDataReceived(const std::shared_ptr<TavHTTPTransferMgr>& Mgr, Variant& DataReceived) {
        (void)Mgr, (void)DataReceived;
    }
    /// Body bytes received so far (saturated at the largest Long).
    virtual void HTTPDataTransferred(const std::shared_ptr<TavHTTPTransferMgr>& Mgr, int32_t ByteCount) {
        (void)Mgr, (void)ByteCount;
    }
    /// A failure on the library side; the codes are listed at TavHTTPTransferMgr.
    virtual void HTTPObjectError(const std::shared_ptr<TavHTTPTransferMgr>& Mgr, int32_t code) {
        (void)Mgr, (void)code;
    }
    /// The request is over (code is always 0).
    virtual void HTTPReady(const std::shared_ptr<TavHTTPTransferMgr>& Mgr, int32_t code) { (void)Mgr, (void)code; }
    /// The server answered with a status other than 2xx: the three status characters and the
    /// reason phrase.
    virtual void HTTPError(const std::shared_ptr<TavHTTPTransferMgr>& Mgr, const std::string& ErrCode,
                           const std::string& errdesc) {
        (void)Mgr, (void)ErrCode, (void)errdesc;
    }
};

}  // namespace tav
