// The tavsock tool's command and demo registry, and small helpers its commands share.
//
// Subcommands and parts of the `demo` tour register themselves from their own source files
// with a namespace-scope RegisterCommand / RegisterDemoPart object, so adding one means adding
// a .cpp file to tools/ and nothing else. Everything runs on the main thread, after main()
// has started the network stack for it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tav {
class TAVSocketMgr;
}

namespace tavtool {

using Args = std::vector<std::string>;

/// Exit codes: success, nothing found (or a demo part failed), bad arguments.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNotFound = 1;
inline constexpr int kExitUsage = 2;

/// Thrown by a command for arguments it cannot use; main prints the message and the
/// command's usage line and exits with kExitUsage.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// One subcommand: `tavsock <name> <args...>`. `run` gets the arguments after the name and
/// returns the exit code.
///
/// `tavsock help <name>` and `tavsock <name> --help` print the usage line, `help` and then
/// `details`; a command adds its longer help by giving `details` as the fifth field of its
/// entry (arguments, options, defaults, an example). Without it, the help is the usage line
/// and the one-line text.
struct Command {
    std::string name;
    std::string args;  // as shown in the usage text, e.g. "<name-or-port> [protocol]"
    std::string help;  // one line
    std::function<int(const Args&)> run;
    std::string details = {};  // lines ending in "\n", each indented by two spaces
};

/// One stop of the `demo` tour. Parts run by ascending `order`; the bands keep the tour in a
/// sensible sequence as parts are added: 100-199 names and library information, 200-299
/// socket managers and events, 300-399 background look-ups, 400-499 transfer clients.
/// `run` prints what it shows and returns false when something it expected did not happen.
struct DemoPart {
    int order;
    std::string title;
    std::function<bool()> run;
};

void AddCommand(Command command);
void AddDemoPart(DemoPart part);
/// Commands in registration-independent order (by name).
std::vector<Command> Commands();
/// Demo parts by ascending order.
std::vector<DemoPart> DemoParts();

struct RegisterCommand {
    explicit RegisterCommand(Command command) { AddCommand(std::move(command)); }
};
struct RegisterDemoPart {
    explicit RegisterDemoPart(DemoPart part) { AddDemoPart(std::move(part)); }
};

/// The socket manager main() keeps while a command runs: creating it started the network
/// stack on this thread, as any manager does, and the commands borrow its Util and
/// SockLibInfo. Only valid inside a SocketManagerScope.
tav::TAVSocketMgr& SocketManager();

/// Creates that manager and lets go of it at the end of the scope.
class SocketManagerScope {
public:
    SocketManagerScope();
    ~SocketManagerScope();
    SocketManagerScope(const SocketManagerScope&) = delete;
    SocketManagerScope& operator=(const SocketManagerScope&) = delete;
};

/// Parses a whole decimal number or a 0x-prefixed hexadecimal one; nothing for other text.
std::optional<int64_t> ParseNumber(const std::string& text);

/// "0x" followed by 8 hex digits of the 32-bit pattern.
std::string Hex32(int32_t value);

/// Throws UsageError unless args.size() is within [min, max].
void RequireArgs(const Args& args, size_t min, size_t max);

/// "error 10048 (WSAEADDRINUSE: address already in use)"; a number without a Windows Sockets
/// name is shown as "error N".
std::string ErrorText(int32_t error);

/// A raised error for a person: a bare socket error as ErrorText, a library error as its
/// number in hex and its description, followed by the socket error's name when its code is one.
std::string RaisedText(int32_t number, const std::string& description);

/// Writes "tavsock <command>: <text>" to stderr, where every failure of a command goes; the
/// text is shown Printable, so what it quotes from a peer or a name cannot steer a terminal.
void Fail(const std::string& command, const std::string& text);

/// Text from a peer made safe for a terminal: control characters (C0, DEL, the C1 range) and
/// bytes that are not UTF-8 become escapes ("\r", "\x1b"); a backslash is doubled.
std::string Printable(const std::string& text);

/// Writes all of `data` to standard output (unbuffered by stdio); false with the system's
/// error text in `error` ("No space left on device", "Broken pipe").
bool WriteStdout(const std::string& data, std::string& error);

/// Why standard output took no more bytes, for a write that the library made and could not
/// finish: "Broken pipe" when the reading end of a pipe or socket is gone, else "".
std::string StdoutProblem();

/// Why `path` cannot be written ("No such file or directory", "Is a directory", "Permission
/// denied"), found by looking at it and its folder without creating anything; "" when no
/// reason shows.
std::string WriteProblem(const std::string& path);

/// The reason in a library's local file text ("cannot write NAME: No space left on device"
/// gives "No space left on device"): what follows its last ": ", or all of it without one.
std::string FileReason(const std::string& text);

}  // namespace tavtool
