// `tavsock get <url> ...`: one command for every transfer client, dispatched by the URL's
// scheme. A client adds its scheme from its own source file with a namespace-scope
// RegisterGetScheme object (as commands register themselves, Tool.hpp); the command itself
// knows none of them.
#pragma once

#include "Tool.hpp"

#include <functional>
#include <string>

namespace tavtool {

struct GetScheme {
    std::string prefix;  // lower-case, with "://", e.g. "http://"
    std::string usage;   // the options after the URL, for the help text
    /// Gets all arguments of `get` (the URL first); returns the exit code.
    std::function<int(const Args&)> run;
    /// True for the scheme that also takes URLs without any "scheme://".
    bool isDefault = false;
};

void AddGetScheme(GetScheme scheme);

struct RegisterGetScheme {
    explicit RegisterGetScheme(GetScheme scheme) { AddGetScheme(std::move(scheme)); }
};

}  // namespace tavtool
