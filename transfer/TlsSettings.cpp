// The TLS properties and results of a transfer manager.
#include "transfer/TlsSettings.hpp"

#include "transfer/TransferWatchdog.hpp"

namespace tav {

void TlsSettings::CAFile(const std::string& path) {
    caFile_ = path;
    context_.reset();
}

void TlsSettings::CAFolder(const std::string& path) {
    caFolder_ = path;
    context_.reset();
}

void TlsSettings::AcceptAnyCertificate(bool value) {
    acceptAny_ = value;
    context_.reset();
}

void TlsSettings::HandshakeTimeout(int32_t ms) {
    TransferWatchdog::CheckLimit(ms);
    handshakeTimeout_ = ms;
}

std::unique_ptr<TlsChannel> TlsSettings::OpenChannel(const std::string& host, const TlsChannel* resumeFrom) {
    // A resumed session keeps the trust settings it was made with, whatever changed since.
    if (resumeFrom) return TlsChannel::Create(resumeFrom->Context(), host, resumeFrom, error_);
    if (!context_) {
        TlsContext::Settings settings;
        settings.caFile = caFile_;
        settings.caFolder = caFolder_;
        settings.verify = !acceptAny_;
        settings.upToTls12 = upToTls12_;
        context_ = TlsContext::Create(settings, error_);
        if (!context_) return nullptr;
    }
    return TlsChannel::Create(context_, host, nullptr, error_);
}

void TlsSettings::ClearResults() {
    error_.clear();
    version_.clear();
    cipher_.clear();
}

void TlsSettings::Secured(const TlsChannel& channel) {
    version_ = channel.Version();
    cipher_ = channel.Cipher();
}

}  // namespace tav
