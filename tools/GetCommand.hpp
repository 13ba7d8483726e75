// `tavsock get <url>... [options]`: one command for every transfer client, dispatched by the
// URL's scheme. A client adds its schemes from its own source file with a namespace-scope
// RegisterGetScheme object (as commands register themselves, Tool.hpp); the command itself
// knows none of them. Every URL is taken apart before the first is fetched, so a bad one
// stops the command before anything is sent.
#pragma once

#include "TransferUrl.hpp"

#include <functional>
#include <string>
#include <vector>

namespace tavtool {

/// One URL to fetch and where its body goes ("-" = standard output).
struct GetJob {
    TransferUrl url;
    std::string output;
};

struct GetScheme {
    std::vector<std::string> schemes;  // lower-case, without "://", e.g. {"http", "https"}
    /// Fetches `jobs` in order (a run of consecutive URLs of these schemes); each failure is
    /// told on stderr and the rest still fetched. Returns the number that failed.
    std::function<int(const std::vector<GetJob>&, const TransferOptions&)> run;
    /// Called for every job of these schemes before the first URL is fetched; throws
    /// UsageError for one the client cannot take.
    std::function<void(const GetJob&)> check = [](const GetJob&) {};
};

void AddGetScheme(GetScheme scheme);

struct RegisterGetScheme {
    explicit RegisterGetScheme(GetScheme scheme) { AddGetScheme(std::move(scheme)); }
};

}  // namespace tavtool
