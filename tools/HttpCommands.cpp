// `tavsock get http://...` and `https://...`: one request through a TavHTTPTransferMgr. The body streams to a
// file or to standard output as it arrives (the manager writes it; nothing is held), the
// header block goes to stderr on request, progress to stderr while it is a terminal.
#include "GetCommand.hpp"
#include "Tool.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

namespace tavtool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "[-o FILE|-] [--proxy HOST[:PORT]] [--timeout SECONDS] [--data TEXT] [-H LINE]... [--show-header]\n"
    "      [--cacert FILE] [--capath DIR] [--insecure]   (https: trusted authorities; no certificate check)";

struct GetOptions {
    std::string url;
    std::string output = "-";
    std::string proxy;
    double timeoutSeconds = 30;
    bool hasData = false;
    std::string data;
    std::string headers;  // the -H lines, each ending in CR LF
    bool showHeader = false;
    TlsOptions tls;
};

GetOptions ParseGetOptions(const Args& args) {
    GetOptions o;
    bool haveUrl = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            return args[++i];
        };
        if (a == "-o" || a == "--output") {
            o.output = value();
        } else if (a == "--proxy") {
            o.proxy = value();
        } else if (a == "--timeout") {
            const std::string& t = value();
            char* end = nullptr;
            o.timeoutSeconds = std::strtod(t.c_str(), &end);
            if (t.empty() || *end != '\0' || !(o.timeoutSeconds >= 0) || o.timeoutSeconds > 2000000)
                throw UsageError("--timeout takes seconds (0 = none)");
        } else if (a == "--data") {
            o.hasData = true;
            o.data = value();
        } else if (a == "-H" || a == "--header") {
            o.headers += value() + "\r\n";
        } else if (a == "--show-header") {
            o.showHeader = true;
        } else if (o.tls.Take(a, value)) {
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option " + a);
        } else if (!haveUrl) {
            o.url = a;
            haveUrl = true;
        } else {
            throw UsageError("one URL only");
        }
    }
    if (!haveUrl) throw UsageError("a URL is needed");
    if (o.hasData && o.data.empty()) throw UsageError("--data needs a non-empty text");
    return o;
}

std::string Bytes(double n) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (n >= 1024 && u < 4) {
        n /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", n, units[u]);
    return buf;
}

/// One redrawn progress line on stderr: bytes, percent and time left when the length is
/// known, rate. Drawn at most five times a second.
class Progress {
public:
    explicit Progress(bool enabled) : enabled_(enabled) {}
    void Update(const tav::TavHTTPTransferMgr& mgr, bool last = false) {
        if (!enabled_) return;
        const auto now = Clock::now();
        if (!last && now - drawn_ < std::chrono::milliseconds(200)) return;
        drawn_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double got = static_cast<double>(mgr.BytesReceived());
        const double rate = seconds > 0 ? got / seconds : 0;
        std::string line = Bytes(got);
        const int64_t length = mgr.ContentLength();
        if (length > 0) {
            line += " of " + Bytes(static_cast<double>(length));
            char pct[16];
            std::snprintf(pct, sizeof pct, " (%.0f%%)", 100.0 * got / static_cast<double>(length));
            line += pct;
        }
        line += ", " + Bytes(rate) + "/s";
        if (length > 0 && rate > 0 && got < static_cast<double>(length)) {
            const auto left = static_cast<long long>(std::ceil((static_cast<double>(length) - got) / rate));
            line += ", " + std::to_string(left) + " s left";
        }
        std::fprintf(stderr, "\r%-72s", line.c_str());
        if (last) std::fprintf(stderr, "\n");
        std::fflush(stderr);
        shown_ = true;
    }
    void End(const tav::TavHTTPTransferMgr& mgr) {
        if (shown_) Update(mgr, true);
    }

private:
    bool enabled_;
    bool shown_ = false;
    Clock::time_point start_ = Clock::now();
    Clock::time_point drawn_{};
};

std::string ObjectErrorText(int32_t code, double timeoutSeconds) {
    switch (code) {
    case 1: return "the host name could not be resolved";
    case 3: return "no connection could be made, or the request could not be sent";
    case 4: return "the response was longer than its Content-Length, or its header block did not end";
    case 5: return "the connection failed or was reset";
    case tav::TavHTTPTransferMgr::kObjectErrorTimeout: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "no progress for %g s", timeoutSeconds);
        return buf;
    }
    case tav::TavHTTPTransferMgr::kObjectErrorWrite: return "the output could not be written";
    case tav::TavHTTPTransferMgr::kObjectErrorTLS: return "the connection could not be secured";
    default: return "object error " + std::to_string(code);
    }
}

/// The status of a complete header block ("200"), or "" when it did not end.
std::string StatusOf(const std::string& header) {
    if (header.size() < 4 || header.compare(header.size() - 4, 4, "\r\n\r\n") != 0) return "";
    const size_t space = header.find(' ');
    return space == std::string::npos ? "" : header.substr(space + 1, 3);
}

int RunHttpGet(const Args& args) {
    const GetOptions o = ParseGetOptions(args);
    const auto mgr = tav::TavHTTPTransferMgr::Create();
    mgr->Timeout(static_cast<int32_t>(std::lround(o.timeoutSeconds * 1000)));
    o.tls.ApplyTo(*mgr);
    try {
        mgr->Proxy(o.proxy);
    } catch (const tav::SockError&) {
        throw UsageError("malformed proxy " + o.proxy);
    }
    try {
        mgr->URL(o.url);
    } catch (const tav::SockError&) {
        throw UsageError("malformed URL " + o.url);
    }

    // The body is not shown on the terminal it would share with the progress line.
    const bool toStdout = o.output == "-";
    Progress progress(::isatty(STDERR_FILENO) && !(toStdout && ::isatty(STDOUT_FILENO)));
    bool done = false;
    std::string failure;
    mgr->HTTPDataTransferred.Subscribe([&](int32_t) { progress.Update(*mgr); });
    mgr->HTTPError.Subscribe([&](const std::string& status, const std::string& reason) {
        failure = "HTTP " + status + " " + reason;
    });
    mgr->HTTPObjectError.Subscribe([&](int32_t code) {
        if (failure.empty())
            failure = code == tav::TavHTTPTransferMgr::kObjectErrorTLS && !mgr->TLSError().empty()
                          ? mgr->TLSError()
                          : ObjectErrorText(code, o.timeoutSeconds);
        // A socket error does not end the request by itself (a refused connect never would).
        if (code == 5) done = true;
    });
    mgr->HTTPReady.Subscribe([&](int32_t) { done = true; });

    // A descriptor name: the manager writes through standard output itself, whatever it is.
    const std::string outputFile = toStdout ? "/dev/stdout" : o.output;
    int32_t started = 0;
    try {
        started = mgr->Execute(o.url, o.hasData ? "POST" : "GET", o.data, o.headers, outputFile);
    } catch (const tav::SockError& e) {
        // Library error 3: the output file could not be opened (or the URL failed with it).
        std::fprintf(stderr, "tavsock get: %s: %s\n", o.output == "-" ? "standard output" : o.output.c_str(),
                     e.Description().c_str());
        return kExitNotFound;
    }
    if (started != 0) {
        std::fprintf(stderr, "tavsock get: the host look-up could not start (error %d)\n", started);
        return kExitNotFound;
    }
    while (!done) tav::RunMessagesUntil([&] { return done; }, std::chrono::hours(1));
    if (mgr->RequestState() != tav::TavHTTPTransferMgr::Idle) mgr->Reset();
    progress.End(*mgr);

    if (o.showHeader) {
        std::fwrite(mgr->HTTPHeader().data(), 1, mgr->HTTPHeader().size(), stderr);
        std::fflush(stderr);
    }
    if (failure.empty()) {
        const std::string status = StatusOf(mgr->HTTPHeader());
        const int64_t length = mgr->ContentLength();
        if (status.empty())
            failure = "the connection closed before the header block ended";
        else if (status[0] != '2')
            failure = "HTTP " + status;
        else if (length >= 0 && mgr->BytesReceived() != length)
            failure = "body of " + std::to_string(mgr->BytesReceived()) + " bytes, " + std::to_string(length) +
                      " announced";
    }
    if (!failure.empty()) {
        std::fprintf(stderr, "tavsock get: %s\n", failure.c_str());
        return kExitNotFound;
    }
    return kExitOk;
}

const RegisterGetScheme kHttp{{"http://", kUsage, RunHttpGet, true}};
const RegisterGetScheme kHttps{{"https://", "(as http://)", RunHttpGet, false}};

}  // namespace
}  // namespace tavtool
