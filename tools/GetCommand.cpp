// `tavsock get`: picks the transfer client by the URL's scheme (GetCommand.hpp).
#include "GetCommand.hpp"

#include <algorithm>
#include <cctype>
#include <vector>

namespace tavtool {
namespace {

std::vector<GetScheme>& Schemes() {
    static std::vector<GetScheme> schemes;
    return schemes;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

int RunGet(const Args& args) {
    if (args.empty()) throw UsageError("a URL is needed");
    const std::string url = Lower(args[0]);
    const bool hasScheme = url.find("://") != std::string::npos;
    for (const GetScheme& s : Schemes())
        if (hasScheme ? url.compare(0, s.prefix.size(), s.prefix) == 0 : s.isDefault) return s.run(args);
    throw UsageError("no client for the scheme of " + args[0]);
}

const RegisterCommand kGet{{"get", "<url> [options]",
                            "fetch a URL; `tavsock get` with no URL lists the options of each scheme", [](const Args& args) {
                                if (!args.empty()) return RunGet(args);
                                std::string text = "a URL is needed:";
                                for (const GetScheme& s : Schemes()) text += "\n  " + s.prefix + "... " + s.usage;
                                throw UsageError(text);
                            }}};

}  // namespace

void AddGetScheme(GetScheme scheme) {
    Schemes().push_back(std::move(scheme));
}

}  // namespace tavtool
