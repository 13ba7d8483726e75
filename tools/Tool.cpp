#include "Tool.hpp"

#include <tavsock/SockError.hpp>
#include <tavsock/TAVSocketMgr.hpp>
#include <tavsock/WinsockErrors.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tavtool {

namespace {

// Function-local statics: registrations run during static initialisation of other files,
// whose order is unspecified.
std::vector<Command>& CommandList() {
    static std::vector<Command> list;
    return list;
}
std::vector<DemoPart>& DemoPartList() {
    static std::vector<DemoPart> list;
    return list;
}

std::shared_ptr<tav::TAVSocketMgr>& HeldManager() {
    static std::shared_ptr<tav::TAVSocketMgr> manager;
    return manager;
}

}  // namespace

tav::TAVSocketMgr& SocketManager() { return *HeldManager(); }

SocketManagerScope::SocketManagerScope() { HeldManager() = tav::TAVSocketMgr::Create(); }

SocketManagerScope::~SocketManagerScope() { HeldManager().reset(); }

void AddCommand(Command command) { CommandList().push_back(std::move(command)); }

void AddDemoPart(DemoPart part) { DemoPartList().push_back(std::move(part)); }

std::vector<Command> Commands() {
    std::vector<Command> out = CommandList();
    std::sort(out.begin(), out.end(), [](const Command& a, const Command& b) { return a.name < b.name; });
    return out;
}

std::vector<DemoPart> DemoParts() {
    std::vector<DemoPart> out = DemoPartList();
    std::stable_sort(out.begin(), out.end(), [](const DemoPart& a, const DemoPart& b) { return a.order < b.order; });
    return out;
}

std::optional<int64_t> ParseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const bool negative = !hex && text[0] == '-';
    const size_t start = hex ? 2 : (negative ? 1 : 0);
    if (start >= text.size()) return std::nullopt;
    for (size_t i = start; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!(hex ? std::isxdigit(c) : std::isdigit(c))) return std::nullopt;
    }
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, hex ? 16 : 10);
    if (errno == ERANGE) return std::nullopt;
    return value;
}

std::string Hex32(int32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(static_cast<uint32_t>(value)));
    return buf;
}

void RequireArgs(const Args& args, size_t min, size_t max) {
    if (args.size() < min) throw UsageError("missing argument");
    if (args.size() > max) throw UsageError("too many arguments");
}

std::string ErrorText(int32_t error) {
    const std::string name = tav::WinsockErrorName(error);
    return "error " + std::to_string(error) + (name.empty() ? "" : " (" + tav::WinsockErrorText(error) + ")");
}

std::string RaisedText(int32_t number, const std::string& description) {
    const auto code = static_cast<int32_t>(static_cast<uint32_t>(number) - static_cast<uint32_t>(tav::kSockErrorBase));
    if (code < 0 || code > 0xFFFF) return ErrorText(number);
    // A library error: "WSAGetLastError Value 10048" says more with the name of 10048.
    const std::string name = tav::WinsockErrorName(code);
    return "error " + std::to_string(number) + " (" + Hex32(number) + "): " + description +
           (name.empty() ? "" : " (" + tav::WinsockErrorText(code) + ")");
}

void Fail(const std::string& command, const std::string& text) {
    std::fflush(stdout);  // keep the order of what a terminal shows
    std::fprintf(stderr, "tavsock %s: %s\n", command.c_str(), Printable(text).c_str());
}

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    auto escape = [&out](unsigned char c) {
        char buf[8];
        if (c >= 7 && c <= 13)
            std::snprintf(buf, sizeof buf, "\\%c", "abtnvfr"[c - 7]);
        else
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
    };
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            escape(c);
            ++i;
        } else if (c == '\\') {
            out += "\\\\";
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            // A whole UTF-8 sequence passes, unless it encodes a C1 control (U+0080..U+009F).
            const size_t n = c > 0xF4 ? 0 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
            bool whole = n > 0 && i + n <= text.size();
            for (size_t k = 1; whole && k < n; ++k) whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
            if (whole && !c1) {
                out.append(text, i, n);
                i += n;
            } else {
                escape(c);
                ++i;
            }
        }
    }
    return out;
}

bool WriteStdout(const std::string& data, std::string& error) {
    std::fflush(stdout);  // what stdio holds goes first
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? std::strerror(errno) : "no progress";
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string StdoutProblem() {
    struct stat info {};
    if (::fstat(STDOUT_FILENO, &info) != 0) return std::strerror(errno);
    if (!S_ISFIFO(info.st_mode) && !S_ISSOCK(info.st_mode)) return "";
    pollfd p{STDOUT_FILENO, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0 ? std::strerror(EPIPE) : "";
}

std::string WriteProblem(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
        return ::access(path.c_str(), W_OK) != 0 ? std::strerror(errno) : "";
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::stat(folder.c_str(), &info) != 0) return std::strerror(errno);
    if (!S_ISDIR(info.st_mode)) return std::strerror(ENOTDIR);
    return ::access(folder.c_str(), W_OK) != 0 ? std::strerror(errno) : "";
}

std::string FileReason(const std::string& text) {
    // The name may hold ": "; the system's reason never does.
    const size_t at = text.rfind(": ");
    return at == std::string::npos ? text : text.substr(at + 2);
}

}  // namespace tavtool
