// `tavsock ls`, `tavsock get ftp://...` and `tavsock put`: the FTP client from the command
// line. Consecutive URLs of one server and login share one session (FtpSession).
#include "FtpSession.hpp"
#include "GetCommand.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace tavtool {
namespace {

using Ftp = tav::TavFTPTransferMgr;

/// The session for `url`: `current` when it can serve it, else a new one, opened. "" or why
/// no session could be had.
std::string SessionFor(std::unique_ptr<FtpSession>& current, const TransferUrl& url, const TransferOptions& o) {
    if (current && current->Serves(url)) return "";
    current = std::make_unique<FtpSession>(url, o);
    std::string failure = current->Open();
    if (!failure.empty()) current.reset();
    return failure;
}

/// The listing as `ls` prints it: LF line ends, NLST names without their folder.
std::string ListingLines(const std::string& listing, bool names, bool toTerminal) {
    std::string out;
    for (size_t at = 0; at < listing.size();) {
        size_t end = listing.find('\n', at);
        if (end == std::string::npos) end = listing.size();
        std::string line = listing.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (names && line.rfind('/') != std::string::npos) line = line.substr(line.rfind('/') + 1);
        // Names are data for a pipe, but a terminal is not shown their control characters.
        if (!line.empty()) out += (toTerminal ? Printable(line) : line) + "\n";
        at = end + 1;
    }
    return out;
}

int RunLs(const Args& args) {
    const TransferOptions o = ParseTransferOptions(args, kLsCommand);
    if (o.operands.empty()) throw UsageError("an ftp:// or ftps:// URL is needed");
    std::vector<TransferUrl> urls;
    for (const std::string& text : o.operands) {
        urls.push_back(ParseTransferUrl(text));
        if (!urls.back().Ftp()) throw UsageError("not an ftp:// or ftps:// URL: " + urls.back().shown);
    }
    std::unique_ptr<FtpSession> session;
    int failed = 0;
    for (size_t i = 0; i < urls.size(); ++i) {
        const TransferUrl& url = urls[i];
        std::string failure = SessionFor(session, url, o);
        if (failure.empty()) {
            const std::string folder = url.FtpPath();
            failure = session->Run([&](Ftp& ftp) { return o.longForm ? ftp.List(folder) : ftp.NameList(folder); }, -1, "");
        }
        if (failure.empty()) {
            // Several listings are told apart as ls tells folders apart.
            const std::string head = urls.size() > 1 ? (i > 0 ? "\n" : "") + url.shown + ":\n" : "";
            std::string error;
            if (!WriteStdout(head + ListingLines(session->TakeData(), !o.longForm, ::isatty(STDOUT_FILENO) == 1), error)) {
                Fail("ls", "cannot write standard output: " + error);
                return kExitNotFound;
            }
            continue;
        }
        Fail("ls", url.shown + ": " + failure);
        ++failed;
    }
    return failed == 0 ? kExitOk : kExitNotFound;
}

/// Fetches one ftp URL into job.output over `session`; "" or the reason.
std::string Retrieve(FtpSession& session, const GetJob& job, bool resume) {
    const std::string path = job.url.FtpPath();
    const bool toStdout = job.output == "-";
    struct stat before {};
    const bool existed = !toStdout && ::stat(job.output.c_str(), &before) == 0;
    ReplaceWhenComplete(session.Mgr());
    // -C: a regular output file that holds bytes already is resumed where it ends.
    const int64_t offset = resume && existed && S_ISREG(before.st_mode) ? before.st_size : 0;
    session.Mgr().RestartAt(offset);
    if constexpr (!kLibraryReplaces<Ftp>) {
        // Without it, a file is emptied so that a longer one is not left with its old tail.
        if (offset == 0 && existed && S_ISREG(before.st_mode) && ::truncate(job.output.c_str(), 0) != 0)
            return "cannot write " + job.output + ": " + std::strerror(errno);
    }
    const std::string where = toStdout ? "standard output" : job.output;
    std::string failure = session.Run([&](Ftp& ftp) { return ftp.Retrieve(path, toStdout ? "/dev/stdout" : job.output); },
                                      -1, "cannot write " + where);
    // A resumed file's size may be announced whole or as what is left.
    const int64_t announced = session.Mgr().AnnouncedSize();
    const int64_t got = session.Mgr().ByteCount();
    if (failure.empty() && announced >= 0 && announced != got && announced != offset + got)
        failure = "received " + std::to_string(got) + " of " + std::to_string(announced) + " bytes";
    if (failure == "cannot write " + where) {
        const std::string why = toStdout ? StdoutProblem() : WriteProblem(job.output);
        if (!why.empty()) failure += ": " + why;
    }
    if constexpr (!kLibraryReplaces<Ftp>) {
        // The file is removed after a failure only when this command made it.
        struct stat after {};
        if (!failure.empty() && !toStdout && !existed && ::lstat(job.output.c_str(), &after) == 0 && S_ISREG(after.st_mode))
            ::unlink(job.output.c_str());
    }
    return failure;
}

int RunFtpGet(const std::vector<GetJob>& jobs, const TransferOptions& o) {
    std::unique_ptr<FtpSession> session;
    int failed = 0;
    for (const GetJob& job : jobs) {
        std::string failure = SessionFor(session, job.url, o);
        if (failure.empty()) failure = Retrieve(*session, job, o.resume);
        if (failure.empty()) continue;
        Fail("get", job.url.shown + ": " + failure);
        ++failed;
    }
    return failed;
}

/// The size of a local file to store, or -1 with the reason in `why` when it is no regular,
/// readable, non-empty file.
int64_t UploadSize(const std::string& name, std::string& why) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    const int error = fd < 0 || ::fstat(fd, &info) != 0 ? errno : 0;
    if (fd >= 0) ::close(fd);
    if (error != 0)
        why = std::string("cannot read it: ") + std::strerror(error);
    else if (!S_ISREG(info.st_mode))
        why = "cannot read it: not a regular file";
    else if (info.st_size == 0)
        why = "it is empty: there is nothing to store";
    return why.empty() ? info.st_size : -1;
}

int RunPut(const Args& args) {
    const TransferOptions o = ParseTransferOptions(args, kPutCommand);
    if (o.operands.size() < 2) throw UsageError("local files and an ftp:// or ftps:// URL are needed");
    const TransferUrl url = ParseTransferUrl(o.operands.back());
    if (!url.Ftp()) throw UsageError("not an ftp:// or ftps:// URL: " + url.shown);
    const std::string target = url.FtpPath();
    const bool intoFolder = target.empty() || target.back() == '/';
    if (o.operands.size() > 2 && !intoFolder) throw UsageError("several files go into a folder: end the URL with /");
    const std::vector<std::string> locals(o.operands.begin(), o.operands.end() - 1);
    std::vector<std::string> remotes;
    for (const std::string& local : locals) {
        remotes.push_back(intoFolder ? target + local.substr(local.rfind('/') + 1) : target);
        RefuseCommandText("the remote name " + remotes.back(), remotes.back());
    }
    std::unique_ptr<FtpSession> session;
    int failed = 0;
    for (size_t i = 0; i < locals.size(); ++i) {
        std::string failure;
        const int64_t size = UploadSize(locals[i], failure);
        if (failure.empty()) failure = SessionFor(session, url, o);
        if (failure.empty())
            failure = session->Run([&](Ftp& ftp) { return ftp.Store(remotes[i], locals[i]); }, size, "cannot read it");
        if (failure.empty() && session->Mgr().ByteCount() != size)
            failure = "sent " + std::to_string(session->Mgr().ByteCount()) + " of " + std::to_string(size) + " bytes";
        if (failure.empty()) continue;
        Fail("put", locals[i] + ": " + failure);
        ++failed;
    }
    return failed == 0 ? kExitOk : kExitNotFound;
}

const RegisterCommand kLs{{"ls", "<ftp-url>... [options]", "list folders of an FTP server (names, or --long)", RunLs,
                           TransferOptionHelp(kLsCommand) +
                               "\n  tavsock ls ftp://127.0.0.1:2121/pub\n"
                               "  tavsock ls --long -n ftps://ftp.example.org/upload/ --cacert ca.pem\n"}};
const RegisterCommand kPut{{"put", "<local-file>... <ftp-url> [options]", "store local files on an FTP server", RunPut,
                            TransferOptionHelp(kPutCommand) +
                                "\n  tavsock put file.bin ftp://127.0.0.1:2121/upload/file.bin\n"
                                "  tavsock put -u joe:secret a.txt b.txt ftp://127.0.0.1:2121/upload/\n"}};
const RegisterGetScheme kFtpGet{{{"ftp", "ftps"}, RunFtpGet, [](const GetJob& job) {
                                      const std::string path = job.url.FtpPath();
                                      if (path.empty() || path.back() == '/')
                                          throw UsageError("the URL must name a file: " + job.url.shown);
                                  }}};

}  // namespace
}  // namespace tavtool
