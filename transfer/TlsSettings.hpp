// What a transfer client's TLS connections share: the trust store, whether the server's
// certificate is checked, the set-up time limit, and what the last set-up gave.
#pragma once

#include "transfer/TlsChannel.hpp"
#include "transfer/TlsContext.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace tav {

/// The TLS properties of a transfer manager (TLSCAFile, TLSCAFolder,
/// DangerouslyAcceptAnyCertificate, TLSHandshakeTimeout) and its read-only results (TLSError,
/// TLSVersion, TLSCipher). Channels are made from one context, built at the first need and
/// kept until a trust setting changes, so the trust store is read once and sessions can be
/// resumed. One thread; not copyable.
class TlsSettings {
public:
    /// `upToTls12`: no TLS 1.3, for servers whose 1.3 support is broken.
    explicit TlsSettings(bool upToTls12 = false) : upToTls12_(upToTls12) {}
    TlsSettings(const TlsSettings&) = delete;
    TlsSettings& operator=(const TlsSettings&) = delete;

    /// A PEM file / a hashed folder (`openssl rehash`) of authorities trusted instead of the
    /// system's store; "" for none. Read when the next channel is made.
    const std::string& CAFile() const noexcept { return caFile_; }
    void CAFile(const std::string& path);
    const std::string& CAFolder() const noexcept { return caFolder_; }
    void CAFolder(const std::string& path);
    /// True accepts any certificate for any name (encrypted, but not authenticated).
    bool AcceptAnyCertificate() const noexcept { return acceptAny_; }
    void AcceptAnyCertificate(bool value);
    /// Milliseconds a set-up (CONNECT answer, AUTH TLS, handshake) may take; 0 for no limit
    /// of its own. 30,000 by default. Negative raises library error 1 and keeps the value.
    int32_t HandshakeTimeout() const noexcept { return handshakeTimeout_; }
    void HandshakeTimeout(int32_t ms);

    /// A channel to `host` (see TlsChannel::Create), handshake not yet started. Null when
    /// the context or the channel cannot be made (an unreadable CA file): Error() says why.
    std::unique_ptr<TlsChannel> OpenChannel(const std::string& host, const TlsChannel* resumeFrom = nullptr);

    /// Why the last set-up failed ("" when it did not); the version and cipher suite of the
    /// last finished handshake ("" before).
    const std::string& Error() const noexcept { return error_; }
    const std::string& Version() const noexcept { return version_; }
    const std::string& Cipher() const noexcept { return cipher_; }
    /// Forgets the results (a new request or session starts).
    void ClearResults();
    /// Records why the set-up failed.
    void Failed(const std::string& reason) { error_ = reason; }
    /// Records the version and cipher suite of `channel`'s finished handshake.
    void Secured(const TlsChannel& channel);

private:
    bool upToTls12_;
    std::string caFile_, caFolder_;
    bool acceptAny_ = false;
    int32_t handshakeTimeout_ = 30000;
    std::shared_ptr<TlsContext> context_;  // null until needed, and after a trust setting changes
    std::string error_, version_, cipher_;
};

}  // namespace tav

/// Defines the TLS properties of transfer manager `Class` (TLSCAFile, TLSCAFolder,
/// DangerouslyAcceptAnyCertificate, TLSHandshakeTimeout, TLSError, TLSVersion, TLSCipher) over
/// the TlsSettings `settings` (an expression valid in its member functions): one definition
/// for both clients, so the properties cannot drift apart.
#define TAV_DEFINE_TLS_PROPERTIES(Class, settings)                                                           \
    const std::string& Class::TLSCAFile() const noexcept { return settings.CAFile(); }                       \
    void Class::TLSCAFile(const std::string& path) { settings.CAFile(path); }                                \
    const std::string& Class::TLSCAFolder() const noexcept { return settings.CAFolder(); }                   \
    void Class::TLSCAFolder(const std::string& path) { settings.CAFolder(path); }                            \
    bool Class::DangerouslyAcceptAnyCertificate() const noexcept { return settings.AcceptAnyCertificate(); } \
    void Class::DangerouslyAcceptAnyCertificate(bool value) { settings.AcceptAnyCertificate(value); }        \
    int32_t Class::TLSHandshakeTimeout() const noexcept { return settings.HandshakeTimeout(); }              \
    void Class::TLSHandshakeTimeout(int32_t ms) { settings.HandshakeTimeout(ms); }                           \
    const std::string& Class::TLSError() const noexcept { return settings.Error(); }                         \
    const std::string& Class::TLSVersion() const noexcept { return settings.Version(); }                     \
    const std::string& Class::TLSCipher() const noexcept { return settings.Cipher(); }
