#include "platform/Diagnostics.hpp"

#include "platform/DebugLog.hpp"

#include <cmath>
#include <cstdio>

namespace tav {

Diagnostics& Diagnostics::Current() {
    thread_local Diagnostics service;
    return service;
}

void Diagnostics::Record(const char* what, const std::string& label, const std::string& text,
                         const std::string& source) {
    ++failureCount_;
    if (lastFailures_.size() == kKeptFailures) lastFailures_.pop_front();
    lastFailures_.push_back(Failure{source, text});
    if (DebugLogWanted(kLogLevel))
        WriteDebugLog(kLogLevel, std::string("Diagnostics>") + what + "<" + label + ">" + text + "<Source>" + source);
}

bool Diagnostics::Check(bool outcome, const std::string& source, const std::string& conditionText) {
    if (!outcome) Record("Check failed", "Condition", conditionText, source);
    return outcome;
}

void Diagnostics::ReportFailure(const std::string& message, const std::string& source) {
    Record("Failure", "Message", message, source);
}

bool Diagnostics::PositionDesignates(int32_t count, const Variant& position) {
    return std::fabs(position.AsDouble()) < 2e9 && IndexTest(count, position.AsLong());
}

bool Diagnostics::CheckIndexOrKey(int32_t count, const KeyPresent& hasKey, const Variant& indexOrKey,
                                  const std::string& source) {
    if (indexOrKey.IsNumber()) {
        // A position converts like any Long (fractions half to even); a value beyond 32 bits
        // designates nothing rather than overflowing.
        if (PositionDesignates(count, indexOrKey)) return true;
        Record("Collection check failed", "Message",
               "Index out of range: " + TextOfValue(indexOrKey) + " (Count = " + std::to_string(count) + ")", source);
        return false;
    }
    if (indexOrKey.IsString()) {
        if (KeyTest(hasKey, indexOrKey.AsString())) return true;
        Record("Collection check failed", "Message", "Key not found: " + TextOfValue(indexOrKey), source);
        return false;
    }
    Record("Collection check failed", "Message", "Invalid index or key: " + TextOfValue(indexOrKey), source);
    return false;
}

std::string Diagnostics::TextOfValue(const Variant& value) {
    switch (value.type()) {
    case Variant::Type::Empty: return "Empty";
    case Variant::Type::Integer:
    case Variant::Type::Long:
    case Variant::Type::Double:
    case Variant::Type::Boolean: return value.ToString();
    case Variant::Type::String: {
        constexpr size_t kShown = 80;
        const std::string& s = value.AsString();
        std::string out = "\"";
        for (size_t i = 0; i < s.size() && i < kShown; ++i) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (c < 0x20 || c == 0x7F) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\x%02X", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
        out += s.size() > kShown ? "\"..." : "\"";
        return out;
    }
    case Variant::Type::ByteArray: {
        constexpr size_t kShown = 16;
        const ByteArray& b = value.AsBytes();
        std::string out = "Byte(" + std::to_string(b.size()) + ")";
        for (size_t i = 0; i < b.size() && i < kShown; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X", b[i]);
            out += (i == 0 ? ": " : " ");
            out += hex;
        }
        if (b.size() > kShown) out += " ...";
        return out;
    }
    case Variant::Type::Object: {
        const ObjectPtr& o = value.AsObject();
        return o ? "Object " + o->TypeName() : "Nothing";
    }
    }
    return "?";
}

void Diagnostics::ResetForTesting() {
    failureCount_ = 0;
    lastFailures_.clear();
}

}  // namespace tav
