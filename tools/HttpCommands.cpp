// `tavsock get http://...` and `https://...`: one request per URL through a TavHTTPTransferMgr.
// The body streams to a file or to standard output as it arrives (the manager writes it;
// nothing is held), the header block goes to stderr on request, progress to stderr while it
// is a terminal.
#include "GetCommand.hpp"
#include "Progress.hpp"

#include <tavsock/MessageLoop.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/TavHTTPTransferMgr.hpp>

#include <unistd.h>

#include <cstdio>
#include <string>

namespace tavtool {
namespace {

using Http = tav::TavHTTPTransferMgr;

std::string Where(const GetJob& job) { return job.output == "-" ? "standard output" : job.output; }

/// The reason for an object error, naming the server ("host:port": the proxy when there is one).
std::string ObjectErrorText(const Http& mgr, int32_t code, const GetJob& job,
                            const TransferOptions& o) {
    const std::string server = o.proxy.empty() ? job.url.HostPort() : o.proxy;
    switch (code) {
    case 1: return "could not resolve host " + (o.proxy.empty() ? job.url.host : o.proxy);
    case 3: return "could not connect to " + server;
    case 4: return "the response was longer than its Content-Length, or its header block did not end";
    case 5:
        return mgr.RequestState() == Http::Connecting ? "could not connect to " + server : "the connection to " + server + " was reset";
    case Http::kObjectErrorTimeout: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "no progress for %g s", o.timeoutSeconds);
        return buf;
    }
    case Http::kObjectErrorWrite: {
        const std::string why = job.output == "-" ? StdoutProblem() : WriteProblem(job.output);
        return "cannot write " + Where(job) + (why.empty() ? "" : ": " + why);
    }
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

/// Fetches one URL; "" when it ended with a whole 2xx body, else the reason.
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
    const Login login = LoginFor(job.url, o);
    const std::string headers = o.headers + (login.given ? BasicAuthorization(login) : "");
    const std::string method = o.hasData ? "POST" : "GET";
    if (o.verbose) {
        std::fprintf(stderr, "> %s %s\n", method.c_str(), job.url.shown.c_str());
        ShowLines("> ", o.headers);
        if (login.given) std::fprintf(stderr, "> Authorization: Basic (%s:***)\n", Printable(login.user).c_str());
    }

    // The body is not shown on the terminal it would share with the progress line.
    const bool toStdout = job.output == "-";
    Progress progress(!o.silent && ::isatty(STDERR_FILENO) && !(toStdout && ::isatty(STDOUT_FILENO)));
    bool done = false;
    std::string failure;
    mgr->HTTPDataTransferred.Subscribe([&](int32_t) { progress.Update(mgr->BytesReceived(), mgr->ContentLength()); });
    mgr->HTTPError.Subscribe([&](const std::string& status, const std::string& reason) {
        if (failure.empty()) failure = "HTTP " + status + " " + reason;
    });
    mgr->HTTPObjectError.Subscribe([&](int32_t code) {
        if (failure.empty()) failure = ObjectErrorText(*mgr, code, job, o);
        // A socket error does not end the request by itself (a refused connect never would).
        if (code == 5) done = true;
    });
    mgr->HTTPReady.Subscribe([&](int32_t) { done = true; });

    // A descriptor name: the manager writes through standard output itself, whatever it is.
    int32_t started = 0;
    try {
        started = mgr->Execute(job.url.ForHttp(), method, o.data, headers, toStdout ? "/dev/stdout" : job.output);
    } catch (const tav::SockError& e) {
        const std::string why = toStdout ? StdoutProblem() : WriteProblem(job.output);
        return "cannot write " + Where(job) + ": " + (why.empty() ? e.Description() : why);
    }
    if (started != 0) return "could not resolve host " + job.url.host + " (" + ErrorText(started) + ")";
    // Every notification that ends a request ends the wait: HTTPReady, an object error that
    // left the manager Idle, and a socket error (the manager would wait on).
    tav::RunMessagesUntil(
        [&] {
            if (!failure.empty() && mgr->RequestState() == Http::Idle) done = true;
            return done;
        },
        std::chrono::hours(24 * 365));
    if (mgr->RequestState() != Http::Idle) mgr->Reset();
    progress.End(mgr->BytesReceived(), mgr->ContentLength());

    if (o.verbose) ShowLines("< ", mgr->HTTPHeader());
    if (o.showHeader) ShowLines("", mgr->HTTPHeader(), "\r\n");
    if (!failure.empty()) return failure;
    const std::string status = StatusOf(mgr->HTTPHeader());
    const int64_t length = mgr->ContentLength();
    if (status.empty()) return "the connection closed before the header block ended";
    if (status[0] != '2') return "HTTP " + status;
    if (length >= 0 && mgr->BytesReceived() != length)
        return "body of " + std::to_string(mgr->BytesReceived()) + " bytes, " + std::to_string(length) + " announced";
    return "";
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
