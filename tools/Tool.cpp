#include "Tool.hpp"

#include <tavsock/SockError.hpp>
#include <tavsock/WinsockErrors.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

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

}  // namespace

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
    std::fprintf(stderr, "tavsock %s: %s\n", command.c_str(), text.c_str());
}

}  // namespace tavtool
