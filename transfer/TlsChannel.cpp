// TlsChannel: an OpenSSL client connection over memory BIOs.
#include "transfer/TlsChannel.hpp"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tav {

namespace {
constexpr size_t kPlainStart = 64 * 1024;

/// The IP address `host` names ("127.0.0.1", "::1", "fe80::1" of "fe80::1%eth0": a zone is
/// this machine's business, never in a certificate), or "" for a DNS name.
std::string AddressOf(const std::string& host) {
    const std::string address = host.substr(0, host.find('%'));
    in6_addr a{};
    const bool v4 = address.size() == host.size() && ::inet_pton(AF_INET, address.c_str(), &a) == 1;
    return v4 || ::inet_pton(AF_INET6, address.c_str(), &a) == 1 ? address : "";
}
}  // namespace

std::string CertificateFailureText(long verifyResult, const std::string& host) {
    switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED: return "the server's certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID: return "the server's certificate is not valid yet";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return "the server's certificate is for another host, not " + host;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return "the server's certificate comes from an unknown issuer (not a trusted authority)";
    default:
        return std::string("the server's certificate was not accepted: ") + X509_verify_cert_error_string(verifyResult);
    }
}

std::unique_ptr<TlsChannel> TlsChannel::Create(std::shared_ptr<TlsContext> context, const std::string& host,
                                               const TlsChannel* resumeFrom, std::string& error) {
    ERR_clear_error();
    SSL* ssl = SSL_new(context->Native());
    BIO* in = ssl ? BIO_new(BIO_s_mem()) : nullptr;
    BIO* out = in ? BIO_new(BIO_s_mem()) : nullptr;
    if (!out) {
        error = TlsContext::TakeOpenSslError("no TLS connection could be made");
        BIO_free(in);
        SSL_free(ssl);
        return nullptr;
    }
    // An empty input buffer means "more bytes needed", not the end of the stream.
    BIO_set_mem_eof_return(in, -1);
    SSL_set_bio(ssl, in, out);
    SSL_set_connect_state(ssl);

    std::unique_ptr<TlsChannel> channel(new TlsChannel(std::move(context), ssl, host));
    channel->in_ = in;
    channel->out_ = out;
    bool named = true;
    if (const std::string address = AddressOf(host); !address.empty()) {
        // No SNI for an address; the certificate must name it as an IP address (of either
        // family), never match it as a DNS name.
        if (channel->context_->Verify()) named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), address.c_str()) == 1;
    } else {
        named = SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
        if (named && channel->context_->Verify()) {
            SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            named = SSL_set1_host(ssl, host.c_str()) == 1;
        }
    }
    if (!named) {
        error = "the host name " + host + " cannot be checked against a certificate";
        return nullptr;
    }
    if (resumeFrom) {
        // SSL_set_session takes its own reference.
        if (SSL_SESSION* session = SSL_get1_session(resumeFrom->ssl_)) {
            SSL_set_session(ssl, session);
            SSL_SESSION_free(session);
        }
    }
    ERR_clear_error();
    return channel;
}

TlsChannel::TlsChannel(std::shared_ptr<TlsContext> context, ssl_st* ssl, std::string host)
    : context_(std::move(context)), ssl_(ssl), host_(std::move(host)) {}

TlsChannel::~TlsChannel() {
    SSL_free(ssl_);
}

void TlsChannel::Start() {
    Advance();
}

TlsChannel::Phase TlsChannel::Receive(const uint8_t* data, size_t n) {
    plainSize_ = 0;
    if (phase_ == Phase::Failed || phase_ == Phase::Closed) return phase_;
    if (n == 0) {
        Advance();
        return phase_;
    }
    // The received bytes are read where they lie, through a read-only memory buffer, rather
    // than copied into a growing one: on a bulk download that copy is a fair share of the
    // work. Advance reads until OpenSSL wants more, so every byte is then inside OpenSSL (a
    // partial record stays in its own buffer) and the caller's memory is not looked at again:
    // an empty buffer takes its place.
    BIO* view = BIO_new_mem_buf(data, static_cast<int>(std::min<size_t>(n, INT32_MAX)));
    if (!view || n > INT32_MAX) {
        BIO_free(view);
        error_ = "out of memory for received TLS records";
        phase_ = Phase::Failed;
        return phase_;
    }
    BIO_set_mem_eof_return(view, -1);
    SSL_set0_rbio(ssl_, view);
    in_ = view;
    Advance();
    BIO* empty = BIO_new(BIO_s_mem());
    if (!empty) {
        // Nothing may read the caller's bytes later: the channel ends here.
        phase_ = Phase::Failed;
        error_ = "out of memory for received TLS records";
        return phase_;
    }
    BIO_set_mem_eof_return(empty, -1);
    SSL_set0_rbio(ssl_, empty);
    in_ = empty;
    return phase_;
}

void TlsChannel::Advance() {
    ERR_clear_error();
    if (phase_ == Phase::Handshaking) {
        const int r = SSL_do_handshake(ssl_);
        if (r != 1) {
            const int e = SSL_get_error(ssl_, r);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) Fail(e);
            return;
        }
        phase_ = Phase::Open;
    }
    while (phase_ == Phase::Open) {
        if (plainCapacity_ - plainSize_ < 16 * 1024) GrowPlain();
        size_t got = 0;
        const int r = SSL_read_ex(ssl_, plain_.get() + plainSize_, plainCapacity_ - plainSize_, &got);
        if (r == 1) {
            plainSize_ += got;
            continue;
        }
        const int e = SSL_get_error(ssl_, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return;
        if (e == SSL_ERROR_ZERO_RETURN) {
            phase_ = Phase::Closed;
            return;
        }
        Fail(e);
    }
}

void TlsChannel::GrowPlain() {
    const size_t capacity = plainCapacity_ == 0 ? kPlainStart : plainCapacity_ * 2;
    auto bigger = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    if (plainSize_ > 0) std::memcpy(bigger.get(), plain_.get(), plainSize_);
    plain_ = std::move(bigger);
    plainCapacity_ = capacity;
}

void TlsChannel::Fail(int sslError) {
    const bool handshaking = phase_ == Phase::Handshaking;
    phase_ = Phase::Failed;
    const long verify = SSL_get_verify_result(ssl_);
    if (handshaking && context_->Verify() && verify != X509_V_OK) {
        error_ = CertificateFailureText(verify, host_);
    } else if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_SSL) {
        const std::string what = TlsContext::TakeOpenSslError("protocol error");
        error_ = (handshaking ? "the TLS handshake failed: " : "the TLS connection failed: ") + what;
    } else {
        error_ = "TLS error " + std::to_string(sslError);
    }
    ERR_clear_error();
}

bool TlsChannel::Send(const uint8_t* data, size_t n) {
    if (phase_ != Phase::Open) return false;
    ERR_clear_error();
    while (n > 0) {
        size_t written = 0;
        const int r = SSL_write_ex(ssl_, data, n, &written);
        if (r != 1) {
            Fail(SSL_get_error(ssl_, r));
            return false;
        }
        data += written;
        n -= written;
    }
    return true;
}

void TlsChannel::Shutdown() {
    if (shutdownSent_ || phase_ == Phase::Failed || phase_ == Phase::Handshaking) return;
    shutdownSent_ = true;
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

bool TlsChannel::HasOutgoing() const {
    return BIO_ctrl_pending(out_) > 0;
}

ByteArray TlsChannel::TakeOutgoing() {
    ByteArray records(BIO_ctrl_pending(out_));
    if (!records.empty()) {
        const int got = BIO_read(out_, records.data(), static_cast<int>(records.size()));
        records.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }
    return records;
}

std::string TlsChannel::Version() const {
    return phase_ == Phase::Handshaking ? "" : SSL_get_version(ssl_);
}

std::string TlsChannel::Cipher() const {
    const char* name = SSL_get_cipher_name(ssl_);
    return phase_ == Phase::Handshaking || !name ? "" : name;
}

bool TlsChannel::SessionReused() const {
    return SSL_session_reused(ssl_) == 1;
}


}  // namespace tav
