// TlsContext: an OpenSSL client context with the manager's trust settings.
#include "transfer/TlsContext.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace tav {

std::string TlsContext::TakeOpenSslError(const std::string& fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : fallback;
}

std::shared_ptr<TlsContext> TlsContext::Create(const Settings& settings, std::string& error) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        error = TakeOpenSslError("no TLS context could be made");
        return nullptr;
    }
    std::shared_ptr<TlsContext> result(new TlsContext(ctx, settings.verify));
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    if (settings.upToTls12) SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    // Records go through memory buffers: a partial write is fine and the buffer may move.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Sessions are kept by the connections that want to resume them (FTP data connections),
    // not in a cache of the context.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_set_verify(ctx, settings.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);

    if (!settings.caFile.empty() || !settings.caFolder.empty()) {
        const char* file = settings.caFile.empty() ? nullptr : settings.caFile.c_str();
        const char* folder = settings.caFolder.empty() ? nullptr : settings.caFolder.c_str();
        if (SSL_CTX_load_verify_locations(ctx, file, folder) != 1) {
            error = "the certificate authorities in " + std::string(file ? file : folder) +
                    " could not be read (" + TakeOpenSslError("unreadable") + ")";
            return nullptr;
        }
    } else if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
        error = "the system's trusted certificate authorities could not be read (" +
                TakeOpenSslError("unreadable") + ")";
        return nullptr;
    }
    ERR_clear_error();
    return result;
}

TlsContext::~TlsContext() {
    SSL_CTX_free(ctx_);
}

}  // namespace tav
