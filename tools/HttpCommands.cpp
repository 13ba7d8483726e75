// `tavsock get http://...` and `https://...`: one request per URL through a TavHTTPTransferMgr.
// The body streams to a file or to standard output as it arrives (the manager writes it;
// nothing is held), the header block goes to stderr on request, progress to stderr while it
// is a terminal.
#include "GetCommand.hpp"
#include "Progress.hpp"

#include <tavsock/Event.hpp>
#include <tavsock/MessageLoop.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>
#include <tavsock/Text.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tavtool {
namespace {

using Http = tav::TavHTTPTransferMgr;

std::string Where(const GetJob& job) { return job.output == "-" ? "standard output" : job.output; }

/// The reason for an object error, naming the server ("host:port": the proxy when there is one).
std::string ObjectErrorText(const Http& mgr, int32_t code, const GetJob& job, const TransferUrl& url,
                            const TransferOptions& o) {
    const std::string server = o.proxy.empty() ? url.HostPort() : o.proxy;
    switch (code) {
    case 1: return "could not resolve host " + (o.proxy.empty() ? url.host : o.proxy);
    case 3: return "could not connect to " + server;
    case 4:
        return "the response's framing was broken (longer than its Content-Length, a header block or chunked body "
               "that did not end, or too many interim answers)";
    case 5:
        return mgr.RequestState() == Http::Connecting ? "could not connect to " + server : "the connection to " + server + " was reset";
    case Http::kObjectErrorTimeout: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "no progress for %g s", o.timeoutSeconds);
        return buf;
    }
    case Http::kObjectErrorWrite: return "cannot write " + Where(job) + ": " + FileReason(mgr.OutputFileError());
    case Http::kObjectErrorTLS: return mgr.TLSError().empty() ? "the connection could not be secured" : mgr.TLSError();
    default: return "object error " + std::to_string(code);
    }
}

/// The status of a complete header block ("200"), or "" when it did not end.
std::string StatusOf(const std::string& header) {
    if (header.size() < 4 || header.compare(header.size() - 4, 4, "\r\n\r\n") != 0) return "";
    const size_t space = header.find(' ');
    return space == std::string::npos ? "" : header.substr(space + 1, 3);
}

/// Each line of `block` with `mark` before it, escaped, on stderr, ended by `end`; a block
/// that ends in an empty line keeps it.
void ShowLines(const char* mark, const std::string& block, const char* ending = "\n") {
    for (size_t at = 0; at < block.size();) {
        size_t end = block.find("\r\n", at);
        if (end == std::string::npos) end = block.size();
        std::fprintf(stderr, "%s%s%s", end > at ? mark : "", Printable(block.substr(at, end - at)).c_str(), ending);
        at = end + 2;
    }
}

/// One request of a fetch (the first, or one a redirect led to).
struct Hop {
    TransferUrl url;
    std::string method, data;
    Login login;
};

/// How one request ended: "" with a whole 2xx body, else the reason; a redirect's status.
struct Outcome {
    std::string failure;
    std::string status;  // of an HTTP error ("301"), else ""
};

Outcome Request(Http& mgr, const GetJob& job, const Hop& hop, const TransferOptions& o) {
    const std::string headers = o.headers + (hop.login.given ? BasicAuthorization(hop.login) : "");
    if (o.verbose) {
        std::fprintf(stderr, "> %s %s\n", hop.method.c_str(), hop.url.shown.c_str());
        // The manager sends its own agent unless a -H line names one.
        if (tav::FindNoCase("\r\n" + o.headers, "\r\nUser-Agent:") == std::string::npos)
            std::fprintf(stderr, "> User-Agent: %s\n", Printable(mgr.UserAgent()).c_str());
        ShowLines("> ", o.headers);
        if (hop.login.given) std::fprintf(stderr, "> Authorization: Basic (%s:***)\n", Printable(hop.login.user).c_str());
    }

    // The body is not shown on the terminal it would share with the progress line.
    const bool toStdout = job.output == "-";
    Progress progress(!o.silent && ::isatty(STDERR_FILENO) && !(toStdout && ::isatty(STDOUT_FILENO)));
    bool done = false;
    Outcome out;
    std::vector<tav::EventSubscription> subscriptions;
    subscriptions.push_back(mgr.HTTPDataTransferred.SubscribeScoped([&](int32_t) { progress.Update(mgr.BytesReceived(), mgr.ContentLength()); }));
    subscriptions.push_back(mgr.HTTPError.SubscribeScoped([&](const std::string& status, const std::string& reason) {
        if (!out.failure.empty()) return;
        out.failure = "HTTP " + status + " " + reason;
        out.status = status;
    }));
    subscriptions.push_back(mgr.HTTPObjectError.SubscribeScoped([&](int32_t code) {
        if (out.failure.empty()) out.failure = ObjectErrorText(mgr, code, job, hop.url, o);
    }));
    subscriptions.push_back(mgr.HTTPReady.SubscribeScoped([&](int32_t) { done = true; }));

    // A descriptor name: the manager writes through standard output itself, whatever it is.
    int32_t started = 0;
    try {
        started = mgr.Execute(hop.url.ForHttp(), hop.method, hop.data, headers, toStdout ? "/dev/stdout" : job.output);
    } catch (const tav::SockError& e) {
        return {"cannot write " + Where(job) + ": " + (mgr.OutputFileError().empty() ? e.Description() : FileReason(mgr.OutputFileError())), ""};
    }
    if (started != 0) return {"could not resolve host " + hop.url.host + " (" + ErrorText(started) + ")", ""};
    // Every notification that ends a request ends the wait (the header lists them): HTTPReady,
    // or an object error that left the manager Idle.
    tav::RunMessagesUntil(
        [&] {
            if (!out.failure.empty() && mgr.RequestState() == Http::Idle) done = true;
            return done;
        },
        std::chrono::hours(24 * 365));
    if (mgr.RequestState() != Http::Idle) mgr.Reset();
    progress.End(mgr.BytesReceived(), mgr.ContentLength());

    if (o.verbose) ShowLines("< ", mgr.HTTPHeader());
    if (o.showHeader) ShowLines("", mgr.HTTPHeader(), "\r\n");
    if (!out.failure.empty()) return out;
    const std::string status = StatusOf(mgr.HTTPHeader());
    const int64_t length = mgr.ContentLength();
    if (status.empty()) return {"the connection closed before the header block ended", ""};
    // A resumed file already whole: the manager ends the 416 for its very size without an error.
    if (status == "416" && mgr.RestartAt() > 0) return {};
    if (status[0] != '2') return {"HTTP " + status, ""};
    if (length >= 0 && mgr.BytesReceived() != length)
        return {"body of " + std::to_string(mgr.BytesReceived()) + " bytes, " + std::to_string(length) + " announced", ""};
    return {};
}

bool IsRedirect(const std::string& status) {
    return status == "301" || status == "302" || status == "303" || status == "307" || status == "308";
}

/// Fetches one URL, following redirects with -L; "" when it ended with a whole 2xx body,
/// else the reason.
std::string Fetch(const GetJob& job, const TransferOptions& o) {
    const auto mgr = Http::Create();
    mgr->Timeout(o.TimeoutMs());
    o.ApplyTls(*mgr);
    ReplaceWhenComplete(*mgr);
    try {
        mgr->Proxy(o.proxy);
    } catch (const tav::SockError&) {
        throw UsageError("malformed proxy " + o.proxy);
    }
    // -C: an output file that holds bytes already is resumed where it ends (a 200 answer
    // replaces it whole).
    struct stat existing{};
    if (o.resume && job.output != "-" && ::lstat(job.output.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        mgr->RestartAt(existing.st_size);
    Hop hop{job.url, o.hasData ? "POST" : "GET", o.data, LoginFor(job.url, o)};
    for (int redirects = 0;; ++redirects) {
        const Outcome out = Request(*mgr, job, hop, o);
        if (!IsRedirect(out.status)) return out.failure;
        const std::string location = mgr->RedirectURL();
        if (location.empty()) return out.failure + " (no Location to follow)";
        if (!o.followRedirects) return out.failure + "; Location: " + location + " (-L follows it)";
        if (redirects >= o.maxRedirects)
            return "stopped after " + std::to_string(o.maxRedirects) + " redirects (--max-redirs); the next was to " + location;
        TransferUrl next;
        try {
            next = ParseTransferUrl(location);
        } catch (const UsageError&) {
            return out.failure + "; cannot follow Location " + location;
        }
        if (hop.url.scheme == "https" && next.scheme == "http") return "refusing the redirect from https to http: " + location;
        // 303 asks for the result with GET; the others repeat the request as it was.
        if (out.status == "303") hop.method = "GET", hop.data.clear();
        // A login goes to the server it was given for, never to the one a redirect names.
        if (next.HostPort() != job.url.HostPort() || next.scheme != job.url.scheme) hop.login = Login{};
        hop.url = next;
    }
}

int RunHttpGet(const std::vector<GetJob>& jobs, const TransferOptions& o) {
    int failed = 0;
    for (const GetJob& job : jobs) {
        const std::string failure = Fetch(job, o);
        if (failure.empty()) continue;
        Fail("get", job.url.shown + ": " + failure);
        ++failed;
    }
    return failed;
}

const RegisterGetScheme kHttp{{{"http", "https"}, RunHttpGet}};

}  // namespace
}  // namespace tavtool
