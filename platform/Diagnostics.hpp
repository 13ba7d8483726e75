// The diagnostics service: where the library's precondition checks and reported failures go.
//
// One service per thread, created on first use (Diagnostics::Current()). A failed check never
// stops the caller: the service records it and the method goes on. Each failure
//   - adds 1 to FailureCount(),
//   - is kept in LastFailures() (the newest kKeptFailures, oldest first) with its source and
//     text (the condition text or the message),
//   - is written to the debug log at level 1, so every log level shows failed checks and a
//     level-1 marker logs nothing else.
// Tests read the count and records and clear them with ResetForTesting().
#pragma once

#include <tavsock/Variant.hpp>

#include <concepts>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace tav {

/// A collection the service can test: its Count() and whether it has an item with a key.
template <class C>
concept KeyedCollection = requires(const C& c, const std::string& key) {
    { c.Count() } -> std::convertible_to<int32_t>;
    { c.ContainsKey(key) } -> std::convertible_to<bool>;
};

class Diagnostics {
public:
    struct Failure {
        std::string source;  // SourceName of the caller
        std::string text;    // condition text of a failed check, or the reported message
    };
    static constexpr size_t kKeptFailures = 32;
    /// The debug-log level of failure lines.
    static constexpr int32_t kLogLevel = 1;

    using KeyPresent = std::function<bool(const std::string& key)>;

    /// The calling thread's service.
    static Diagnostics& Current();

    /// Records a failure when `outcome` is false. Returns `outcome`, so a caller may stop if it
    /// chooses to; most go on.
    bool Check(bool outcome, const std::string& source, const std::string& conditionText);

    /// As Check, for callers whose source text costs something to build: `source()` is
    /// called for a failure only, so a passing check allocates nothing.
    template <std::invocable Source>
    bool Check(bool outcome, Source&& source, const char* conditionText) {
        if (!outcome) Record("Check failed", "Condition", conditionText, std::string(source()));
        return outcome;
    }

    /// Records an unconditional failure.
    void ReportFailure(const std::string& message, const std::string& source);

    /// Collection check: true when `indexOrKey` designates an item of a collection with `count`
    /// items, whose keys `hasKey` answers. A number (Integer, Long, Double, Boolean) is a
    /// position, 1 to count, converted like a Long (1.5 is 2); text is a key; anything else
    /// designates nothing. A miss is recorded as a failure naming the value, and false is
    /// returned; the caller decides whether to go on.
    bool CheckIndexOrKey(int32_t count, const KeyPresent& hasKey, const Variant& indexOrKey,
                         const std::string& source);
    template <KeyedCollection C>
    bool CheckIndexOrKey(const C& collection, const Variant& indexOrKey, const std::string& source) {
        return CheckIndexOrKey(static_cast<int32_t>(collection.Count()),
                               [&collection](const std::string& key) { return bool(collection.ContainsKey(key)); },
                               indexOrKey, source);
    }

    /// As CheckIndexOrKey above, with the source built for a miss only.
    template <KeyedCollection C, std::invocable Source>
    bool CheckIndexOrKey(const C& collection, const Variant& indexOrKey, Source&& source) {
        const auto count = static_cast<int32_t>(collection.Count());
        if (indexOrKey.IsNumber() ? PositionDesignates(count, indexOrKey)
                                  : indexOrKey.IsString() && bool(collection.ContainsKey(indexOrKey.AsString())))
            return true;
        return CheckIndexOrKey(collection, indexOrKey, std::string(source()));
    }

    /// Whether the number `position` designates an item of a collection with `count` items
    /// (converted like a Long; a value beyond 32 bits designates nothing). Records nothing.
    static bool PositionDesignates(int32_t count, const Variant& position);

    /// Index test: 1 <= index <= count. Records nothing.
    static bool IndexTest(int32_t count, int32_t index) noexcept { return index >= 1 && index <= count; }
    template <KeyedCollection C>
    static bool IndexTest(const C& collection, int32_t index) {
        return IndexTest(static_cast<int32_t>(collection.Count()), index);
    }

    /// Key test: an item has that key. Records nothing.
    static bool KeyTest(const KeyPresent& hasKey, const std::string& key) { return hasKey && hasKey(key); }
    template <KeyedCollection C>
    static bool KeyTest(const C& collection, const std::string& key) {
        return bool(collection.ContainsKey(key));
    }

    /// Printable text of any value, for failure messages: Empty, numbers in decimal,
    /// True/False, text in double quotes (control characters as \xNN, cut after 80
    /// characters), "Byte(n): hh hh ..." (the first 16 bytes), "Nothing" or "Object <TypeName>".
    static std::string TextOfValue(const Variant& value);

    int64_t FailureCount() const noexcept { return failureCount_; }
    /// The newest failures, oldest first.
    const std::deque<Failure>& LastFailures() const noexcept { return lastFailures_; }
    /// Clears the count and the records.
    void ResetForTesting();

    Diagnostics(const Diagnostics&) = delete;
    Diagnostics& operator=(const Diagnostics&) = delete;

private:
    Diagnostics() = default;
    void Record(const char* what, const std::string& label, const std::string& text, const std::string& source);

    int64_t failureCount_ = 0;
    std::deque<Failure> lastFailures_;
};

}  // namespace tav
