// The options of the transfer commands (`get`, `ls`, `put`), spelled as curl spells them so
// habits carry over. One table drives both the parser and the help text, so the two agree.
// Options may stand before, between or after the URLs; "--" ends the options.
#pragma once

#include "Tool.hpp"

#include <string>
#include <vector>

namespace tavtool {

/// Which command an option belongs to (a mask: an option may serve several).
enum TransferCommand : unsigned { kGetCommand = 1, kLsCommand = 2, kPutCommand = 4 };

struct TransferOptions {
    std::vector<std::string> operands;  // URLs (and put's local files), in the order given
    std::vector<std::string> outputs;   // -o, paired with the URLs in order; "-" = stdout
    bool remoteName = false;            // -O: URLs without an -o are saved under their last segment
    double timeoutSeconds = 30;         // 0 = none
    bool hasUser = false;               // -u given
    std::string user, password;         // from -u USER[:PASS]
    bool netrc = false;                 // -n or --netrc-file
    std::string netrcFile;              // "" = ~/.netrc
    bool silent = false, verbose = false;
    // https and ftps
    std::string caFile, caFolder;
    bool insecure = false;
    // http(s)
    std::string proxy;
    bool hasData = false;
    std::string data;
    std::string headers;  // the -H lines, each ending in CR LF
    bool showHeader = false;
    bool followRedirects = false;  // -L
    int maxRedirects = 10;         // --max-redirs
    bool resume = false;           // -C: go on from where an output file ends
    // ftp(s)
    bool active = false, longForm = false;

    /// The certificate options on a transfer manager (HTTP or FTP: the same three properties).
    template <class Manager>
    void ApplyTls(Manager& m) const {
        m.TLSCAFile(caFile);
        m.TLSCAFolder(caFolder);
        m.DangerouslyAcceptAnyCertificate(insecure);
    }
    /// Timeout in milliseconds, as the managers take it.
    int32_t TimeoutMs() const;
};

/// True where the manager type can write a download under a new name and rename it over the
/// old file only when complete (ReplaceWhenComplete); a failed download then leaves the old
/// file as it was.
template <class Manager>
constexpr bool kLibraryReplaces = requires(Manager& m) { m.ReplaceWhenComplete(true); };

/// Switches ReplaceWhenComplete on where the manager has it.
template <class Manager>
void ReplaceWhenComplete(Manager& m) {
    if constexpr (kLibraryReplaces<Manager>) m.ReplaceWhenComplete(true);
}

/// The options of `command` in `args`; the rest are operands. Throws UsageError for an
/// option that `command` does not take or a value it cannot use.
TransferOptions ParseTransferOptions(const Args& args, unsigned command);

/// The options of `command`, one line each ("  -o, --output FILE   write to FILE ..."),
/// for the command's help.
std::string TransferOptionHelp(unsigned command);

}  // namespace tavtool
