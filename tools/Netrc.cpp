#include "Netrc.hpp"

#include <cstddef>

namespace tavtool {
namespace {

class Tokens {
public:
    explicit Tokens(const std::string& text) : text_(text) {}

    /// The next token, or nothing at the end of the text.
    std::optional<std::string> Next() {
        while (at_ < text_.size() && IsBlank(text_[at_])) ++at_;
        if (at_ >= text_.size()) return std::nullopt;
        std::string token;
        if (text_[at_] == '"') {
            for (++at_; at_ < text_.size() && text_[at_] != '"'; ++at_) {
                if (text_[at_] == '\\' && at_ + 1 < text_.size()) ++at_;
                token += text_[at_];
            }
            if (at_ < text_.size()) ++at_;  // the closing quote
            return token;
        }
        while (at_ < text_.size() && !IsBlank(text_[at_])) token += text_[at_++];
        return token;
    }
    /// Skips a macro body: everything up to and including the next empty line.
    void SkipMacro() {
        const size_t end = text_.find("\n\n", at_);
        at_ = end == std::string::npos ? text_.size() : end + 2;
    }

private:
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    const std::string& text_;
    size_t at_ = 0;
};

}  // namespace

std::optional<NetrcLogin> NetrcLookup(const std::string& text, const std::string& host) {
    Tokens tokens(text);
    std::optional<NetrcLogin> fallback;
    // The entry being read: it matches the host, or it is the default entry.
    bool inEntry = false, matches = false, isDefault = false;
    NetrcLogin entry;
    auto finish = [&]() -> bool {
        if (inEntry && matches) return true;
        if (inEntry && isDefault && !fallback) fallback = entry;
        return false;
    };
    while (std::optional<std::string> word = tokens.Next()) {
        if (*word == "machine" || *word == "default") {
            if (finish()) return entry;
            inEntry = true;
            isDefault = *word == "default";
            entry = {};
            matches = false;
            if (!isDefault) {
                const std::optional<std::string> name = tokens.Next();
                matches = name && *name == host;
            }
        } else if (*word == "login" || *word == "password") {
            const std::optional<std::string> value = tokens.Next();
            if (value && inEntry) (*word == "login" ? entry.login : entry.password) = *value;
        } else if (*word == "account") {
            (void)tokens.Next();
        } else if (*word == "macdef") {
            (void)tokens.Next();
            tokens.SkipMacro();
        }
    }
    if (finish()) return entry;
    return fallback;
}

}  // namespace tavtool
