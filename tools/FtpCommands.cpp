// `tavsock ls`, `tavsock get ftp://...` and `tavsock put`: the FTP client from the command
// line. FtpGetCommand is the `get` of ftp:// URLs; FtpCommands.hpp says how it is reached.
#include "FtpCommands.hpp"
#include "GetCommand.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/TavFTPTransferMgr.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tavtool {
namespace {

// ftps:// is explicit FTP over TLS; the options after the URL say whom to trust.
#define TAVSOCK_TLS_OPTIONS " [--cacert FILE] [--capath DIR] [--insecure]"
constexpr const char* kLsUsage =
    "ftp[s]://[USER[:PASS]@]HOST[:PORT]/DIR [--long] [--active] [--timeout SECONDS]" TAVSOCK_TLS_OPTIONS;
constexpr const char* kGetUsage = "[-o FILE|-] [--active] [--timeout SECONDS]" TAVSOCK_TLS_OPTIONS;
constexpr const char* kPutUsage =
    "<local-file> ftp[s]://[USER[:PASS]@]HOST[:PORT]/NAME [--active] [--timeout SECONDS]" TAVSOCK_TLS_OPTIONS;
#undef TAVSOCK_TLS_OPTIONS

struct FtpUrl {
    std::string user = "anonymous";
    std::string password = "tavsock@";
    std::string host;
    int32_t port = 21;
    std::string path;  // relative to the login directory, without the leading "/"
    bool tls = false;  // ftps://: explicit FTP over TLS
};

std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

FtpUrl ParseUrl(const std::string& url) {
    std::string lower = url.substr(0, 7);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    FtpUrl u;
    u.tls = lower == "ftps://";
    if (!u.tls && lower.compare(0, 6, "ftp://") != 0) throw UsageError("not an ftp:// or ftps:// URL: " + url);
    std::string rest = url.substr(u.tls ? 7 : 6);
    const size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    u.path = slash == std::string::npos ? "" : PercentDecoded(rest.substr(slash + 1));
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        const std::string info = authority.substr(0, at);
        authority = authority.substr(at + 1);
        const size_t colon = info.find(':');
        u.user = PercentDecoded(info.substr(0, colon));
        u.password = colon == std::string::npos ? "" : PercentDecoded(info.substr(colon + 1));
        if (u.user.empty()) throw UsageError("empty user name in " + url);
    }
    const size_t colon = authority.rfind(':');
    u.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
        const std::optional<int64_t> port = ParseNumber(authority.substr(colon + 1));
        if (!port || *port < 1 || *port > 65535) throw UsageError("bad port in " + url);
        u.port = static_cast<int32_t>(*port);
    }
    if (u.host.empty()) throw UsageError("no host in " + url);
    return u;
}

struct Options {
    bool active = false;
    bool longForm = false;
    double timeoutSeconds = 30;
    std::string output = "-";
    TlsOptions tls;
};

// Takes the options from args[first...]; the positional arguments are returned.
std::vector<std::string> ParseOptions(const Args& args, size_t first, Options& o, bool allowLong, bool allowOutput) {
    std::vector<std::string> positional;
    for (size_t i = first; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            return args[++i];
        };
        if (a == "--active") {
            o.active = true;
        } else if (o.tls.Take(a, value)) {
        } else if (a == "--long" && allowLong) {
            o.longForm = true;
        } else if ((a == "-o" || a == "--output") && allowOutput) {
            o.output = value();
            if (o.output.empty()) throw UsageError("-o needs a file name or -");
        } else if (a == "--timeout") {
            const std::string t = value();
            char* end = nullptr;
            o.timeoutSeconds = std::strtod(t.c_str(), &end);
            if (t.empty() || *end != '\0' || !(o.timeoutSeconds >= 0) || o.timeoutSeconds > 2000000)
                throw UsageError("--timeout takes seconds (0 = none)");
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    return positional;
}

std::string ObjectErrorText(int32_t code, double timeoutSeconds) {
    switch (code) {
    case 1: return "the host name could not be resolved";
    case 2: return "the control connection could not be made";
    case 3: return "the connection, a command or the data connection failed";
    case 4: return "the server ended the session (421 or lost connection)";
    case 5: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "no progress for %g s", timeoutSeconds);
        return buf;
    }
    case 6: return "the local file could not be written or read";
    case 7: return "the session could not be secured";
    default: return "error " + std::to_string(code);
    }
}

/// One session that logs in, switches to binary, runs one transfer and reports how it ended.
class Session {
public:
    Session(const FtpUrl& url, const Options& o) : url_(url), o_(o) {
        ftp_ = tav::TavFTPTransferMgr::Create();
        ftp_->PairReplies(true);  // every reply stays with its command
        ftp_->PassiveAddressFromReply(false);
        ftp_->CheckDataPeer(true);
        ftp_->Timeout(static_cast<int32_t>(std::min(std::llround(o.timeoutSeconds * 1000), 2000000000LL)));
        ftp_->PassiveMode(!o.active);
        ftp_->Port(url.port);
        ftp_->User(url.user);
        ftp_->Password(url.password);
        ftp_->UseTLS(url.tls);
        o.tls.ApplyTo(*ftp_);
        progress_ = ::isatty(2) == 1;
        ftp_->FTPError.Subscribe([this](const std::string& code, const std::string& text) {
            if (failure_.empty()) failure_ = "server replied " + code + text;
            // A negative reply is the end: no FTPReady follows it.
            if (code.compare(0, 1, "5") == 0) done_ = true;
        });
        ftp_->FTPObjectError.Subscribe([this](int32_t code) {
            if (failure_.empty())
                failure_ = code == 7 && !ftp_->TLSError().empty() ? ftp_->TLSError()
                                                                   : ObjectErrorText(code, o_.timeoutSeconds);
            done_ = true;
        });
        ftp_->FTPReady.Subscribe([this](int32_t) { OnReady(); });
        ftp_->FTPDataReceived.Subscribe([this](std::string& data) {
            std::fwrite(data.data(), 1, data.size(), stdout);
            std::fflush(stdout);
        });
        ftp_->FTPDataTransferred.Subscribe([this](int32_t) { ShowProgress(false); });
    }

    /// Runs `transfer` once logged in and in binary mode; true when every step ended well.
    bool Run(std::function<int32_t(tav::TavFTPTransferMgr&)> transfer) {
        transfer_ = std::move(transfer);
        const int32_t started = ftp_->Connect(url_.host);
        if (started != 0) {
            failure_ = "could not connect (error " + std::to_string(started) + ")";
            return false;
        }
        while (!done_) (void)tav::RunMessagesFor(std::chrono::milliseconds(1000));
        ShowProgress(true);
        return failure_.empty();
    }
    const std::string& Failure() const { return failure_; }
    tav::TavFTPTransferMgr& Ftp() { return *ftp_; }

private:
    void OnReady() {
        // A negative reply ends the session's work, whatever comes after it.
        if (!failure_.empty()) {
            done_ = true;
            return;
        }
        switch (step_++) {
        case 0:
            ftp_->Binary();  // FTPReady again when its reply came
            return;
        case 1:
            try {
                if (transfer_(*ftp_) != 0) {
                    failure_ = "the transfer could not be started";
                    done_ = true;
                }
            } catch (const tav::SockError& e) {
                failure_ = e.Description();
                done_ = true;
            }
            return;
        default:
            done_ = true;
        }
    }
    void ShowProgress(bool last) {
        if (!progress_) return;
        const auto now = std::chrono::steady_clock::now();
        if (!last && now - shown_ < std::chrono::milliseconds(200)) return;
        shown_ = now;
        std::fprintf(stderr, "\r%lld bytes%s", static_cast<long long>(ftp_->ByteCount()), last ? "\n" : "");
    }

    FtpUrl url_;
    Options o_;
    std::shared_ptr<tav::TavFTPTransferMgr> ftp_;
    std::function<int32_t(tav::TavFTPTransferMgr&)> transfer_;
    std::string failure_;
    int step_ = 0;
    bool done_ = false;
    bool progress_ = false;
    std::chrono::steady_clock::time_point shown_{};
};

int Failed(const std::string& what, const std::string& reason) {
    std::fprintf(stderr, "tavsock: %s: %s\n", what.c_str(), reason.c_str());
    return kExitNotFound;
}

int RunLs(const Args& args) {
    Options o;
    const std::vector<std::string> pos = ParseOptions(args, 0, o, true, false);
    if (pos.size() != 1) throw UsageError("one ftp:// or ftps:// URL is needed");
    const FtpUrl url = ParseUrl(pos[0]);
    Session s(url, o);
    const bool ok = s.Run([&](tav::TavFTPTransferMgr& ftp) { return o.longForm ? ftp.List(url.path) : ftp.NameList(url.path); });
    return ok ? kExitOk : Failed("ls " + pos[0], s.Failure());
}

int RunPut(const Args& args) {
    Options o;
    const std::vector<std::string> pos = ParseOptions(args, 0, o, false, false);
    if (pos.size() != 2) throw UsageError("a local file and an ftp:// or ftps:// URL are needed");
    const FtpUrl url = ParseUrl(pos[1]);
    if (url.path.empty() || url.path.back() == '/') throw UsageError("the URL must name the file to store");
    struct stat info {};
    if (::stat(pos[0].c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return Failed("put " + pos[0], "not a readable regular file");
    Session s(url, o);
    bool ok = s.Run([&](tav::TavFTPTransferMgr& ftp) { return ftp.Store(url.path, pos[0]); });
    if (ok && s.Ftp().ByteCount() != static_cast<int64_t>(info.st_size))
        return Failed("put " + pos[0], "sent " + std::to_string(s.Ftp().ByteCount()) + " of " +
                                           std::to_string(static_cast<long long>(info.st_size)) + " bytes");
    return ok ? kExitOk : Failed("put " + pos[0], s.Failure());
}

}  // namespace

int FtpGetCommand(const Args& args) {
    Options o;
    const std::vector<std::string> pos = ParseOptions(args, 0, o, false, true);
    if (pos.size() != 1) throw UsageError("one ftp:// or ftps:// URL is needed");
    const FtpUrl url = ParseUrl(pos[0]);
    if (url.path.empty() || url.path.back() == '/') throw UsageError("the URL must name a file");
    const bool toStdout = o.output == "-";
    // The file is removed after a failure only when this command made it.
    struct stat before {};
    const bool existed = !toStdout && ::stat(o.output.c_str(), &before) == 0;
    // A file is downloaded whole: a longer one is not left with its old tail.
    if (existed && S_ISREG(before.st_mode) && ::truncate(o.output.c_str(), 0) != 0)
        return Failed("get " + pos[0], "cannot write " + o.output);
    Session s(url, o);
    const std::string target = toStdout ? "/dev/stdout" : o.output;
    bool ok = s.Run([&](tav::TavFTPTransferMgr& ftp) { return ftp.Retrieve(url.path, target); });
    std::string failure = s.Failure();
    const int64_t announced = s.Ftp().AnnouncedSize();
    if (ok && announced >= 0 && announced != s.Ftp().ByteCount()) {
        ok = false;
        failure = "received " + std::to_string(s.Ftp().ByteCount()) + " of " + std::to_string(announced) + " bytes";
    }
    if (!ok && !toStdout && !existed) {
        struct stat after {};
        if (::lstat(o.output.c_str(), &after) == 0 && S_ISREG(after.st_mode)) ::unlink(o.output.c_str());
    }
    return ok ? kExitOk : Failed("get " + pos[0], failure);
}

std::string FtpGetUsage() {
    return kGetUsage;
}

namespace {
const RegisterCommand kLs{{"ls", kLsUsage, "list a directory of an FTP server (names, or --long)", RunLs}};
const RegisterCommand kPut{{"put", kPutUsage, "store a local file on an FTP server", RunPut}};
const RegisterGetScheme kFtpGet{{"ftp://", FtpGetUsage(), FtpGetCommand}};
const RegisterGetScheme kFtpsGet{{"ftps://", "(as ftp://)", FtpGetCommand}};
}  // namespace

}  // namespace tavtool
