// The settings every TLS connection of one transfer manager shares: which certificate
// authorities are trusted and whether the server's certificate is checked at all.
#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;

namespace tav {

/// One OpenSSL client context (TLS 1.2 or later). Made once per manager and reused by its
/// connections, so the trust store is read once and sessions can be resumed. Not copyable.
/// Thread rule: used on the thread that owns the manager, like everything else.
class TlsContext {
public:
    struct Settings {
        std::string caFile;    // PEM file of trusted authorities; "" = none
        std::string caFolder;  // hashed folder (c_rehash) of trusted authorities; "" = none
        bool verify = true;    // false accepts any certificate for any name
        bool upToTls12 = false;  // true: no TLS 1.3 (servers whose 1.3 support is broken)
    };

    /// A context for `settings`. With a CA file or folder only those are trusted; with
    /// neither, the system's trust store. Null, with `error` saying why, when OpenSSL cannot
    /// make it or a CA file or folder cannot be read.
    static std::shared_ptr<TlsContext> Create(const Settings& settings, std::string& error);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    ssl_ctx_st* Native() const noexcept { return ctx_; }
    bool Verify() const noexcept { return verify_; }

    /// The text of OpenSSL's oldest queued error (and clears the queue); `fallback` when
    /// none is queued.
    static std::string TakeOpenSslError(const std::string& fallback);

private:
    TlsContext(ssl_ctx_st* ctx, bool verify) : ctx_(ctx), verify_(verify) {}
    ssl_ctx_st* ctx_;  // owned
    bool verify_;
};

}  // namespace tav
