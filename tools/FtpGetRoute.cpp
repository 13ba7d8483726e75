// `tavsock get` for ftp:// URLs, while no other client offers a `get`.
#include "FtpCommands.hpp"

namespace tavtool {
namespace {

int RunGet(const Args& args) {
    if (args.empty() || args[0].size() < 6 || (args[0].compare(0, 6, "ftp://") != 0 && args[0].compare(0, 6, "FTP://") != 0))
        throw UsageError("an ftp:// URL is needed");
    return FtpGetCommand(args);
}

const RegisterCommand kGet{{"get", "ftp://[USER[:PASS]@]HOST[:PORT]/FILE " + FtpGetUsage(),
                            "retrieve a file from an FTP server", RunGet}};

}  // namespace
}  // namespace tavtool
