// `tavsock get`: picks the transfer client by the URL's scheme (GetCommand.hpp).
#include "GetCommand.hpp"

#include <algorithm>

namespace tavtool {
namespace {

std::vector<GetScheme>& Schemes() {
    static std::vector<GetScheme> schemes;
    return schemes;
}

const GetScheme& SchemeOf(const TransferUrl& url) {
    for (const GetScheme& s : Schemes())
        if (std::find(s.schemes.begin(), s.schemes.end(), url.scheme) != s.schemes.end()) return s;
    throw UsageError("no client for the scheme of " + url.shown);
}

int RunGet(const Args& args) {
    const TransferOptions o = ParseTransferOptions(args, kGetCommand);
    if (o.operands.empty()) throw UsageError("a URL is needed");
    if (o.outputs.size() > o.operands.size()) throw UsageError("more -o than URLs");
    std::vector<GetJob> jobs;
    for (size_t i = 0; i < o.operands.size(); ++i) {
        GetJob job{ParseTransferUrl(o.operands[i]), "-"};
        if (i < o.outputs.size())
            job.output = o.outputs[i];
        else if (o.remoteName)
            job.output = RemoteName(job.url);
        SchemeOf(job.url).check(job);
        jobs.push_back(std::move(job));
    }
    int failed = 0;
    for (size_t first = 0; first < jobs.size();) {
        const GetScheme& scheme = SchemeOf(jobs[first].url);
        size_t end = first + 1;
        while (end < jobs.size() && &SchemeOf(jobs[end].url) == &scheme) ++end;
        failed += scheme.run(std::vector<GetJob>(jobs.begin() + first, jobs.begin() + end), o);
        first = end;
    }
    return failed == 0 ? kExitOk : kExitNotFound;
}

const RegisterCommand kGet{{"get", "<url>... [options]", "fetch URLs (http, https, ftp, ftps) to stdout or files", RunGet,
                            TransferOptionHelp(kGetCommand) +
                                "\n  tavsock get http://127.0.0.1:8000/README.md -o copy.md\n"
                                "  tavsock get -O -u joe:secret ftp://127.0.0.1:2121/a.bin ftp://127.0.0.1:2121/b.bin\n"}};

}  // namespace

void AddGetScheme(GetScheme scheme) {
    Schemes().push_back(std::move(scheme));
}

}  // namespace tavtool
