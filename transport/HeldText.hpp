// The text one socket has received and not yet delivered, as the TCP manager's hold buffer
// keeps it.
//
// Messages are cut from the front of the held text, many of them per read. Erasing each one
// from the front of a string would cost the length of everything behind it, so the text keeps
// a consumed offset instead: delivered text stays in the string, ahead of `start_`, until more
// text comes while the dead prefix is at least as long as what is left (and no shorter than a
// floor), or while the string would have to grow anyway; when everything is consumed the string
// is simply emptied. Every byte is then moved at most a constant number of times, whatever the
// number of messages one read holds, and the dead prefix never makes the string larger.
//
// Mark searches remember how far they got: held text only grows at its end between cuts, so a
// search that found nothing resumes where it stopped (less the mark's length) when more text
// has arrived, and one that found its mark answers at once. A long message arriving in many
// reads is thus scanned once, not once per read.
//
// Positions given and returned are 0-based and relative to the held text (the unconsumed
// part); the 1-based positions of the framing rules are built on them by MessageFramer.
// Not thread-safe; one thread.
#pragma once

#include <tavsock/Object.hpp>

#include "base/NoCaseFinder.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace tav {

class HeldText : public Object {
public:
    static constexpr size_t npos = std::string_view::npos;

    /// An empty held text.
    static std::shared_ptr<HeldText> Create() { return std::make_shared<HeldText>(); }
    /// A held text that starts as `text`.
    explicit HeldText(std::string text = {}) : data_(std::move(text)) {}
    std::string TypeName() const override { return "HeldText"; }

    /// What is held; valid until the next change.
    std::string_view Text() const noexcept { return std::string_view(data_).substr(start_); }
    size_t Length() const noexcept { return data_.size() - start_; }
    bool Empty() const noexcept { return data_.size() == start_; }

    /// Adds `more` at the end.
    void Append(std::string_view more);
    /// Drops the first `n` characters (all of them when `n` is larger).
    void Consume(size_t n) noexcept;
    /// Drops everything.
    void Clear() noexcept;

    /// After an overflow, the rest of the message that overflowed is being dropped: true from
    /// StartDiscarding() until DiscardThrough() has met the message's end mark.
    bool Discarding() const noexcept { return discarding_; }
    /// Drops everything held and starts dropping what comes, through the next `endMark`. The
    /// held text's last characters (the mark's length less one) are remembered, so that a mark
    /// begun in the held text and completed by what comes still ends the message; a mark lying
    /// wholly in the held text does not.
    void StartDiscarding(std::string_view endMark);
    /// While discarding: drops the front of `more` through the first occurrence of `endMark`
    /// (which may have begun in text dropped before) and returns what follows it, ending the
    /// discarding; without one, drops all of `more` and returns empty text. Keeps at most the
    /// mark's length less one of dropped text, to find a mark split between reads.
    std::string_view DiscardThrough(std::string_view endMark, std::string_view more);

    /// Case-insensitive search for the framing marks, with the memory described above; one
    /// memory for the begin mark and one for the end mark, since the two searches alternate.
    /// Returns the position of the first occurrence of `mark` at or after `from`, or npos.
    /// An empty mark is found at `from`.
    size_t FindBeginMark(std::string_view mark, size_t from) { return Find(begin_, mark, from); }
    size_t FindEndMark(std::string_view mark, size_t from) { return Find(end_, mark, from); }

private:
    // What one search established, in absolute positions of data_: no occurrence of `mark`
    // starts in [from, resumeAt); `found` is the first one at or after `from`, npos if unknown.
    struct SearchMemo {
        bool valid = false;
        NoCaseFinder mark;  // prepared once: the marks rarely change
        size_t from = 0;
        size_t resumeAt = 0;
        size_t found = npos;
    };

    size_t Find(SearchMemo& memo, std::string_view mark, size_t from);
    // Moves the live text to the front of data_, keeping the memories' meaning.
    void Compact() noexcept;
    void Forget() noexcept {
        begin_.valid = false;
        end_.valid = false;
    }

    std::string data_;
    size_t start_ = 0;  // data_[0, start_) is delivered text not yet compacted away
    bool discarding_ = false;
    std::string tail_;  // while discarding: the last dropped characters, shorter than the mark
    SearchMemo begin_;
    SearchMemo end_;
};

}  // namespace tav
