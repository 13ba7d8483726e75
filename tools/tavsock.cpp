// tavsock: look-ups, conversions and a tour of the library from the command line.
//
// main() keeps a socket manager for the command's duration (creating it starts the network
// stack and fills the start-up record), finds the subcommand in the registry (Tool.hpp) and runs it.
// Subcommands and demo parts live in their own files and register themselves.
#include "Tool.hpp"

#include <tavsock/SockError.hpp>

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

using namespace tavtool;

void PrintUsage(std::FILE* out) {
    std::fprintf(out, "usage: tavsock <command> [arguments]\n       tavsock help <command>, tavsock <command> --help\n\ncommands:\n");
    for (const Command& c : Commands()) {
        const std::string head = c.name + (c.args.empty() ? "" : " " + c.args);
        // Long argument lists put the help text on a line of its own.
        if (head.size() > 34)
            std::fprintf(out, "  %s\n  %-34s %s\n", head.c_str(), "", c.help.c_str());
        else
            std::fprintf(out, "  %-34s %s\n", head.c_str(), c.help.c_str());
    }
    std::fprintf(out,
                 "\nexit status: %d success, %d failure (nothing found, refused, timed out; the reason on\n"
                 "stderr) or a demo step failed, %d bad arguments\n",
                 kExitOk, kExitNotFound, kExitUsage);
}

/// Runs every demo part in order; a part that throws or reports failure does not stop the
/// tour, but makes its exit status kExitNotFound.
int RunDemo(const Args& args) {
    RequireArgs(args, 0, 0);
    int failed = 0;
    const std::vector<DemoPart> parts = DemoParts();
    for (const DemoPart& part : parts) {
        std::printf("== %s ==\n", part.title.c_str());
        bool ok = false;
        try {
            ok = part.run();
        } catch (const tav::SockError& e) {
            std::printf("  raised %s\n", RaisedText(e.Number(), e.Description()).c_str());
        } catch (const std::exception& e) {
            std::printf("  failed: %s\n", e.what());
        }
        if (!ok) {
            ++failed;
            std::printf("  -> FAILED\n");
        }
        std::printf("\n");
    }
    std::printf("demo: %zu parts, %d failed\n", parts.size(), failed);
    if (failed > 0) Fail("demo", std::to_string(failed) + " of " + std::to_string(parts.size()) + " parts failed");
    return failed == 0 ? kExitOk : kExitNotFound;
}

const RegisterCommand kDemo{{"demo", "", "a short tour of the library on this machine (127.0.0.1 only)", RunDemo}};

std::string UsageLine(const Command& c) { return "tavsock " + c.name + (c.args.empty() ? "" : " " + c.args); }

const Command* Find(const std::string& name) {
    static const std::vector<Command> all = Commands();
    for (const Command& c : all)
        if (c.name == name) return &c;
    return nullptr;
}

void PrintCommandHelp(const Command& c) {
    std::printf("usage: %s\n\n  %s\n", UsageLine(c).c_str(), c.help.c_str());
    if (!c.details.empty()) std::printf("\n%s", c.details.c_str());
}

int RunHelp(const Args& args) {
    RequireArgs(args, 0, 1);
    if (args.empty()) {
        PrintUsage(stdout);
        return kExitOk;
    }
    const Command* c = Find(args[0]);
    if (!c) throw UsageError("no command '" + args[0] + "'; 'tavsock help' lists them");
    PrintCommandHelp(*c);
    return kExitOk;
}

const RegisterCommand kHelp{{"help", "[command]", "this text, or the help of one command", RunHelp,
                             "  tavsock <command> --help shows the same as tavsock help <command>.\n"}};

int RunVersion(const Args& args) {
    RequireArgs(args, 0, 0);
    std::printf("tavsock %s\n", TAVSOCK_VERSION);
    return kExitOk;
}

const RegisterCommand kVersion{{"version", "", "the version of the tool and library (also --version)", RunVersion}};

}  // namespace

int main(int argc, char** argv) {
    const Args all(argv + 1, argv + argc);
    if (all.empty()) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    std::string name = all[0];
    if (name == "-h" || name == "--help") name = "help";
    if (name == "-V" || name == "--version") name = "version";
    const Args args(all.begin() + 1, all.end());
    const Command* c = Find(name);
    if (!c) {
        std::fprintf(stderr, "tavsock: unknown command '%s'\n\n", Printable(name).c_str());
        PrintUsage(stderr);
        return kExitUsage;
    }
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") {
            PrintCommandHelp(*c);
            return kExitOk;
        }
    const SocketManagerScope stack;
    // A closed output is reported by the write that meets it, not by a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const int status = c->run(args);
        // What stdio still holds, and any write of it that failed before.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            Fail(name, std::string("cannot write standard output: ") + std::strerror(errno));
            return kExitNotFound;
        }
        return status;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "tavsock %s: %s\nusage: %s\n", name.c_str(), Printable(e.what()).c_str(), UsageLine(*c).c_str());
        return kExitUsage;
    } catch (const tav::SockError& e) {
        Fail(name, RaisedText(e.Number(), e.Description()));
        return kExitNotFound;
    }
}
