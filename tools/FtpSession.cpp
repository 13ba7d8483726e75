#include "FtpSession.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/SockError.hpp>

#include <unistd.h>

#include <cstdio>

namespace tavtool {
FtpSession::FtpSession(const TransferUrl& url, const TransferOptions& o)
    : url_(url), login_(LoginFor(url, o)), o_(o), ftp_(Ftp::Create()) {
    if (!login_.given) login_ = {true, "anonymous", "tavsock@"};
    ftp_->PairReplies(true);  // every reply stays with its command
    ftp_->PassiveAddressFromReply(false);
    ftp_->CheckDataPeer(true);
    ftp_->StrictPassiveReply(true);  // a 227 whose numbers are not bytes is refused
    ftp_->Timeout(o.TimeoutMs());
    ftp_->PassiveMode(!o.active);
    ftp_->Port(url.port);
    ftp_->User(login_.user);
    ftp_->Password(login_.password);
    ftp_->UseTLS(url.Tls());
    o.ApplyTls(*ftp_);
    // The library masks the password; the server's text is escaped like every text shown.
    if (o.verbose)
        ftp_->FTPControlLine.Subscribe([](bool sent, const std::string& line) {
            std::fprintf(stderr, "%s%s\n", sent ? "> " : "< ", Printable(line).c_str());
        });
    ftp_->FTPError.Subscribe([this](const std::string& code, const std::string& text) {
        if (failure_.empty()) failure_ = "server replied " + code + text;
        negative_ = true;
    });
    ftp_->FTPObjectError.Subscribe([this](int32_t code) {
        if (failure_.empty()) failure_ = ObjectErrorText(code);
        ended_ = true;
    });
    ftp_->FTPReady.Subscribe([this](int32_t) { ended_ = true; });
    ftp_->FTPDataReceived.Subscribe([this](std::string& data) { data_ += std::move(data); });
    ftp_->FTPDataTransferred.Subscribe([this](int32_t) {
        if (progress_) progress_->Update(ftp_->ByteCount(), length_ >= 0 ? length_ : ftp_->AnnouncedSize());
    });
}

std::string FtpSession::ObjectErrorText(int32_t code) const {
    switch (code) {
    case 1: return "could not resolve host " + url_.host;
    case 2: return "could not connect to " + url_.HostPort();
    case 3: return loggedIn_ ? "a command or the data connection failed" : "could not connect to " + url_.HostPort();
    case 4: return "the server ended the session (421 or lost connection)";
    case 5: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "no progress for %g s", o_.timeoutSeconds);
        return buf;
    }
    case 6: return LocalFailure();
    case 7: return ftp_->TLSError().empty() ? "the session could not be secured" : ftp_->TLSError();
    case 8: return "the listing passed the 1 GiB the session holds in memory";
    default: return "object error " + std::to_string(code);
    }
}

std::string FtpSession::LocalFailure() const {
    const std::string& text = ftp_->LocalFileError();
    return text.empty() ? localFailure_ : localFailure_ + ": " + FileReason(text);
}

std::string FtpSession::Wait() {
    // FTPReady and FTPObjectError end an operation; a negative reply ends it once the session
    // is no longer busy (Ready or Disconnected: no FTPReady follows then).
    tav::RunMessagesUntil([this] { return ended_ || (negative_ && ftp_->State() != 2); }, std::chrono::hours(24 * 365));
    std::string failure = std::move(failure_);
    failure_.clear();
    ended_ = negative_ = false;
    return failure;
}

std::string FtpSession::Open() {
    if (o_.verbose)
        std::fprintf(stderr, "* connecting to %s as %s\n", url_.HostPort().c_str(), Printable(login_.user).c_str());
    const int32_t started = ftp_->Connect(url_.host);
    if (started != 0) return "could not connect to " + url_.HostPort() + ": " + ErrorText(started);
    std::string failure = Wait();
    if (failure.empty()) {
        loggedIn_ = true;
        ftp_->Binary();  // FTPReady again when its reply came
        failure = Wait();
    }
    if (!failure.empty()) ftp_->Reset();
    return failure;
}

bool FtpSession::Serves(const TransferUrl& url) const {
    const Login login = LoginFor(url, o_);
    return loggedIn_ && ftp_->State() == 1 && url.scheme == url_.scheme && url.host == url_.host && url.port == url_.port &&
           (login.given ? login.user == login_.user && login.password == login_.password : login_.user == "anonymous");
}

std::string FtpSession::Run(const std::function<int32_t(Ftp&)>& start, int64_t length, const std::string& localFailure) {
    localFailure_ = localFailure;
    length_ = length;
    data_.clear();
    progress_.emplace(!o_.silent && ::isatty(STDERR_FILENO) == 1);
    try {
        if (start(*ftp_) != 0) return "the transfer could not be started";
    } catch (const tav::SockError& e) {
        // Library error 3: the local file could not be opened; the library says why.
        return ftp_->LocalFileError().empty() ? e.Description() : LocalFailure();
    }
    std::string failure = Wait();
    progress_->End(ftp_->ByteCount(), length_ >= 0 ? length_ : ftp_->AnnouncedSize());
    progress_.reset();
    return failure;
}

}  // namespace tavtool
