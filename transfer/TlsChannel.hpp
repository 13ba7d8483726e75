// One TLS client connection carried by a socket the channel never touches: bytes received
// from the peer are put in, plain bytes come out; plain bytes to send are put in, records to
// send come out (OpenSSL over two memory BIOs). The owner moves the bytes with the TCP
// manager's events, so nothing here blocks or waits, and the handshake advances one received
// chunk at a time.
#pragma once

#include "transfer/TlsContext.hpp"

#include <tavsock/Variant.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct ssl_st;
struct bio_st;

namespace tav {

/// Not copyable; the owner keeps it for one connection. Thread rule: the owning thread only.
class TlsChannel {
public:
    enum class Phase {
        Handshaking,  // ClientHello sent, waiting for the server
        Open,         // handshake done (certificate accepted): application data flows
        Closed,       // the peer ended the session with close_notify
        Failed        // handshake or record failure; Error() tells why
    };

    /// A channel to `host` (a DNS name, a dotted IPv4 or an IPv6 address, checked against the
    /// certificate when the context verifies; DNS names also go out as SNI). When
    /// `resumeFrom` is not null, its session is offered for resumption (servers that tie a
    /// second connection to the first, like FTP data connections, require it). Null, with
    /// `error` set, when OpenSSL cannot make the connection object.
    static std::unique_ptr<TlsChannel> Create(std::shared_ptr<TlsContext> context, const std::string& host,
                                              const TlsChannel* resumeFrom, std::string& error);
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    /// Begins the handshake: the ClientHello is then waiting in the outgoing records.
    void Start();

    /// Puts `n` bytes received from the peer in and advances: handshake steps, then
    /// decryption. The plain bytes that came out are PlainData()/PlainSize() until the next
    /// call. Records to answer with (handshake, key updates) may be waiting afterwards:
    /// the caller sends TakeOutgoing() after every call. Returns the phase.
    Phase Receive(const uint8_t* data, size_t n);
    const uint8_t* PlainData() const noexcept { return plain_.get(); }
    size_t PlainSize() const noexcept { return plainSize_; }

    /// Encrypts `n` plain bytes into outgoing records; false when the channel is not Open or
    /// the write failed (Error() then tells why).
    bool Send(const uint8_t* data, size_t n);
    /// Queues close_notify (once); the caller sends the outgoing records.
    void Shutdown();

    /// True while records wait to be sent.
    bool HasOutgoing() const;
    /// The records waiting to be sent, taken out of the channel.
    ByteArray TakeOutgoing();

    Phase State() const noexcept { return phase_; }
    /// The context the channel was made with (a second connection of the same session uses
    /// the same trust settings, whatever changed since).
    const std::shared_ptr<TlsContext>& Context() const noexcept { return context_; }
    /// Why the channel failed, in words a user can act on; "" while it has not.
    const std::string& Error() const noexcept { return error_; }
    /// Protocol version and cipher suite of the finished handshake ("" before).
    std::string Version() const;
    std::string Cipher() const;
    /// True when the handshake resumed the session offered to Create.
    bool SessionReused() const;

private:
    TlsChannel(std::shared_ptr<TlsContext> context, ssl_st* ssl, std::string host);
    void Advance();
    void Fail(int sslError);
    void GrowPlain();

    std::shared_ptr<TlsContext> context_;  // outlives ssl_
    ssl_st* ssl_;                          // owned; owns both BIOs
    bio_st* in_ = nullptr;                 // owned by ssl_: a view of the bytes being received, else empty
    bio_st* out_ = nullptr;                // records written by ssl_, to be sent
    std::string host_;
    Phase phase_ = Phase::Handshaking;
    std::string error_;
    bool shutdownSent_ = false;
    std::unique_ptr<uint8_t[]> plain_;     // plain bytes of the last Receive
    size_t plainCapacity_ = 0;
    size_t plainSize_ = 0;
};

/// The reason a certificate was refused, for a verification result of OpenSSL: expired, not
/// for this host, unknown issuer, or OpenSSL's own words for the rarer ones.
std::string CertificateFailureText(long verifyResult, const std::string& host);

}  // namespace tav
