// tavsock: look-ups, conversions and a tour of the library from the command line.
//
// main() starts the network stack on this thread the way a socket manager does (so the
// start-up record is filled), finds the subcommand in the registry (Tool.hpp) and runs it.
// Subcommands and demo parts live in their own files and register themselves.
#include "Tool.hpp"

#include <tavsock/SockError.hpp>

#include "names/StartupRecord.hpp"
#include "platform/SockIntf.hpp"

#include <cstdio>
#include <exception>
#include <string>

namespace {

using namespace tavtool;

void PrintUsage(std::FILE* out) {
    std::fprintf(out, "usage: tavsock <command> [arguments]\n\ncommands:\n");
    for (const Command& c : Commands()) {
        const std::string head = c.name + (c.args.empty() ? "" : " " + c.args);
        // Long argument lists put the help text on a line of its own.
        if (head.size() > 34)
            std::fprintf(out, "  %s\n  %-34s %s\n", head.c_str(), "", c.help.c_str());
        else
            std::fprintf(out, "  %-34s %s\n", head.c_str(), c.help.c_str());
    }
    std::fprintf(out,
                 "\nexit status: %d success, %d nothing found or a demo step failed, %d bad arguments\n",
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
            std::printf("  raised error %d (%s): %s\n", e.Number(), Hex32(e.Number()).c_str(), e.Description().c_str());
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
    return failed == 0 ? kExitOk : kExitNotFound;
}

const RegisterCommand kDemo{{"demo", "", "a short tour of the library on this machine (127.0.0.1 only)", RunDemo}};

int RunHelp(const Args&) {
    PrintUsage(stdout);
    return kExitOk;
}

const RegisterCommand kHelp{{"help", "", "this text", RunHelp}};

/// Keeps the stack started, as a socket manager would, for the command's duration.
class StackSession {
public:
    StackSession() : result_(tav::sockintf::intWSAStartup(0x0101, &tav::ThreadStartupRecord())) {}
    ~StackSession() {
        if (result_ == 0) tav::sockintf::intWSACleanup();
    }
    StackSession(const StackSession&) = delete;
    StackSession& operator=(const StackSession&) = delete;
    /// 0, or the Windows Sockets error of the start-up.
    int Result() const { return result_; }

private:
    int result_;
};

}  // namespace

int main(int argc, char** argv) {
    const Args all(argv + 1, argv + argc);
    if (all.empty()) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    const std::string name = all[0] == "-h" || all[0] == "--help" ? "help" : all[0];
    const Args args(all.begin() + 1, all.end());
    for (const Command& c : Commands()) {
        if (c.name != name) continue;
        StackSession stack;
        if (stack.Result() != 0) {
            std::fprintf(stderr, "tavsock: the network stack did not start (error %d)\n", stack.Result());
            return kExitNotFound;
        }
        try {
            return c.run(args);
        } catch (const UsageError& e) {
            const std::string usage = c.args.empty() ? name : name + " " + c.args;
            std::fprintf(stderr, "tavsock %s: %s\nusage: tavsock %s\n", name.c_str(), e.what(), usage.c_str());
            return kExitUsage;
        } catch (const tav::SockError& e) {
            std::fprintf(stderr, "tavsock %s: error %d (%s): %s\n", name.c_str(), e.Number(), Hex32(e.Number()).c_str(),
                         e.Description().c_str());
            return kExitNotFound;
        }
    }
    std::fprintf(stderr, "tavsock: unknown command '%s'\n\n", name.c_str());
    PrintUsage(stderr);
    return kExitUsage;
}
