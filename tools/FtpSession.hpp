// One logged-in FTP session of the tool's ftp commands (`ls`, `get ftp://...`, `put`), kept
// for as many operations on the same server as a command has: each runs until the
// notification that ends it, whichever that is.
#pragma once

#include "Progress.hpp"
#include "TransferUrl.hpp"

#include <tavsock/TavFTPTransferMgr.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tavtool {

class FtpSession {
public:
    using Ftp = tav::TavFTPTransferMgr;

    /// A session for `url`'s server and login (LoginFor; anonymous without one), not yet
    /// connected. `o` must outlive the session.
    FtpSession(const TransferUrl& url, const TransferOptions& o);
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;

    /// Connects, logs in and switches to binary; "" when Ready, else the reason.
    std::string Open();
    /// True while the session is Ready and logged in to the server (scheme, host, port and
    /// login) that `url` needs, so it can serve it.
    bool Serves(const TransferUrl& url) const;

    /// Runs one operation: `start` begins it, then the queue runs until a notification ends
    /// it. `length` (-1: unknown, else the announced size is used) feeds the progress line;
    /// `localFailure` ("cannot write out.bin") begins the reason given when the local file
    /// fails (library error 3, object error 6). Returns "" when it ended in FTPReady, else the
    /// reason. With --verbose the whole control dialogue goes to stderr as it happens.
    std::string Run(const std::function<int32_t(Ftp&)>& start, int64_t length, const std::string& localFailure);

    Ftp& Mgr() { return *ftp_; }
    /// What FTPDataReceived delivered during the last operation (a listing).
    std::string TakeData() { return std::move(data_); }

private:
    std::string Wait();
    std::string ObjectErrorText(int32_t code) const;
    /// The local file's failure: Run's `localFailure` and the library's reason.
    std::string LocalFailure() const;

    TransferUrl url_;
    Login login_;
    const TransferOptions& o_;
    std::shared_ptr<Ftp> ftp_;
    bool loggedIn_ = false;
    bool ended_ = false;     // FTPReady or FTPObjectError came
    bool negative_ = false;  // FTPError came: ends the operation once the session is no longer busy
    std::string failure_;
    std::string localFailure_;
    std::string data_;
    int64_t length_ = -1;
    std::optional<Progress> progress_;
};

}  // namespace tavtool
