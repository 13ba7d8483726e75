#include "TransferOptions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>

namespace tavtool {
namespace {

struct OptionSpec {
    const char* shortName;  // "" when none
    const char* longName;
    const char* value;      // the value's name in the help, "" for a flag, "[-]" for an optional "-" or number
    unsigned commands;
    const char* help;
    std::function<void(TransferOptions&, const std::string&)> apply;
};

constexpr unsigned kAll = kGetCommand | kLsCommand | kPutCommand;

double Seconds(const std::string& text) {
    char* end = nullptr;
    const double s = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(s >= 0) || s > 2000000) throw UsageError("--timeout takes seconds (0 = none)");
    return s;
}

const std::vector<OptionSpec>& Specs() {
    using O = TransferOptions;
    using S = const std::string&;
    static const std::vector<OptionSpec> specs = {
        {"-o", "--output", "FILE", kGetCommand, "write to FILE (- for stdout); once per URL, in order",
         [](O& o, S v) {
             if (v.empty()) throw UsageError("-o needs a file name or -");
             o.outputs.push_back(v);
         }},
        {"-O", "--remote-name", "", kGetCommand, "save each URL under its last path segment, in this folder",
         [](O& o, S) { o.remoteName = true; }},
        {"-u", "--user", "USER:PASS", kAll, "log in as USER (http(s): Basic authentication)",
         [](O& o, S v) {
             const size_t colon = v.find(':');
             o.user = v.substr(0, colon);
             o.password = colon == std::string::npos ? "" : v.substr(colon + 1);
             if (o.user.empty()) throw UsageError("-u needs USER:PASS");
             o.hasUser = true;
         }},
        {"-n", "--netrc", "", kAll, "take the login for the host from ~/.netrc", [](O& o, S) { o.netrc = true; }},
        {"", "--netrc-file", "FILE", kAll, "as --netrc, from FILE",
         [](O& o, S v) {
             o.netrc = true;
             o.netrcFile = v;
         }},
        {"", "--timeout", "SECONDS", kAll, "end a transfer without progress for that long (default 30, 0 = never)",
         [](O& o, S v) { o.timeoutSeconds = Seconds(v); }},
        {"-s", "--silent", "", kAll, "no progress line (failures are still told)", [](O& o, S) { o.silent = true; }},
        {"-v", "--verbose", "", kAll, "show the request and reply headers (FTP: the control dialogue)",
         [](O& o, S) { o.verbose = true; }},
        {"", "--proxy", "HOST[:PORT]", kGetCommand, "http(s): go through this proxy", [](O& o, S v) { o.proxy = v; }},
        {"", "--data", "TEXT", kGetCommand, "http(s): POST TEXT as the request body",
         [](O& o, S v) {
             if (v.empty()) throw UsageError("--data needs a non-empty text");
             o.hasData = true;
             o.data = v;
         }},
        {"-H", "--header", "LINE", kGetCommand, "http(s): add a header line (repeatable)",
         [](O& o, S v) { o.headers += v + "\r\n"; }},
        {"-L", "--location", "", kGetCommand, "http(s): follow redirects (301, 302, 303, 307, 308; not https to http)",
         [](O& o, S) { o.followRedirects = true; }},
        {"", "--max-redirs", "N", kGetCommand, "http(s): follow at most N redirects (default 10)",
         [](O& o, S v) {
             char* end = nullptr;
             const long n = std::strtol(v.c_str(), &end, 10);
             if (v.empty() || *end != '\0' || n < 0 || n > 1000) throw UsageError("--max-redirs takes a number from 0 to 1000");
             o.maxRedirects = static_cast<int>(n);
         }},
        {"-C", "--continue", "[-]", kGetCommand, "resume an output file (-o, -O) from where it ends",
         [](O& o, S v) {
             // An offset other than the file's own end would join bytes that do not belong together.
             if (!v.empty() && v != "-") throw UsageError("-C takes no offset: -C - (or -C) resumes from where the file ends");
             o.resume = true;
         }},
        {"", "--show-header", "", kGetCommand, "http(s): write the response header block to stderr",
         [](O& o, S) { o.showHeader = true; }},
        {"", "--long", "", kLsCommand, "ftp(s): the long listing (LIST) instead of names",
         [](O& o, S) { o.longForm = true; }},
        {"", "--active", "", kAll, "ftp(s): active data connections (PORT) instead of passive",
         [](O& o, S) { o.active = true; }},
        {"", "--cacert", "FILE", kAll, "https, ftps: trust only the authorities in FILE",
         [](O& o, S v) { o.caFile = v; }},
        {"", "--capath", "DIR", kAll, "https, ftps: trust only the authorities in DIR (hashed names)",
         [](O& o, S v) { o.caFolder = v; }},
        {"-k", "--insecure", "", kAll, "https, ftps: no certificate check (test servers only)",
         [](O& o, S) { o.insecure = true; }},
    };
    return specs;
}

}  // namespace

int32_t TransferOptions::TimeoutMs() const {
    return static_cast<int32_t>(std::min(std::llround(timeoutSeconds * 1000), 2000000000LL));
}

TransferOptions ParseTransferOptions(const Args& args, unsigned command) {
    TransferOptions o;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            o.operands.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        const auto known = std::find_if(Specs().begin(), Specs().end(), [&](const OptionSpec& s) {
            return (s.commands & command) != 0 && (a == s.shortName || a == s.longName);
        });
        if (known == Specs().end()) throw UsageError("unknown option " + a);
        std::string value;
        if (*known->value == '[') {
            // curl's spelling "-C -"; a number is taken too, so that it is refused, not fetched.
            const std::string next = i + 1 < args.size() ? args[i + 1] : "";
            if (next == "-" || (!next.empty() && next.find_first_not_of("0123456789") == std::string::npos)) value = args[++i];
        } else if (*known->value != '\0') {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            value = args[++i];
        }
        known->apply(o, value);
    }
    return o;
}

std::string TransferOptionHelp(unsigned command) {
    std::string text;
    for (const OptionSpec& s : Specs()) {
        if ((s.commands & command) == 0) continue;
        std::string names = std::string(*s.shortName ? s.shortName : "  ") + (*s.shortName ? ", " : "  ") + s.longName;
        if (*s.value) names += std::string(" ") + s.value;
        char line[160];
        std::snprintf(line, sizeof line, "  %-28s %s\n", names.c_str(), s.help);
        text += line;
    }
    return text;
}

}  // namespace tavtool
