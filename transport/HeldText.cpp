#include "transport/HeldText.hpp"

#include <tavsock/Text.hpp>

#include <algorithm>

namespace tav {

namespace {
// Below this much dead prefix compacting is not worth a move. The dead prefix never makes the
// string larger than the held text once was (that is bounded by the hold limit).
constexpr size_t kCompactFloor = 4096;

bool StartsWithNoCase(const char* at, std::string_view mark) noexcept {
    for (size_t k = 0; k < mark.size(); ++k)
        if (FoldCase(at[k]) != FoldCase(mark[k])) return false;
    return true;
}
}  // namespace

void HeldText::Append(std::string_view more) {
    // A string that must grow copies everything it holds; drop the dead prefix first so that
    // only live text is moved, and maybe no growth is needed at all. Otherwise compacting
    // only once the dead prefix is at least as long as the live text means each move is paid
    // for by the bytes consumed since the last one: linear overall. Compacting here rather
    // than as messages are cut means a read whose messages are all cut is never moved.
    if (start_ != 0 && (data_.size() + more.size() > data_.capacity() ||
                        (start_ >= kCompactFloor && start_ >= data_.size() - start_)))
        Compact();
    data_.append(more);
}

void HeldText::Consume(size_t n) noexcept {
    start_ += std::min(n, Length());
    if (start_ == data_.size()) Clear();
}

void HeldText::StartDiscarding(std::string_view endMark) {
    const size_t keep = endMark.empty() ? 0 : endMark.size() - 1;
    const std::string_view text = Text();
    tail_.assign(text.substr(text.size() - std::min(keep, text.size())));
    Clear();
    discarding_ = true;
}

std::string_view HeldText::DiscardThrough(std::string_view endMark, std::string_view more) {
    if (!discarding_) return more;
    if (endMark.empty()) return {};
    const size_t keep = endMark.size() - 1;
    size_t through = npos;  // index in `more` just past the mark
    if (!tail_.empty()) {
        // Only occurrences that begin in the tail: the others lie wholly in `more`.
        std::string joint = tail_;
        joint.append(more.substr(0, keep));
        const size_t p = FindNoCase(joint, endMark);
        if (p < tail_.size()) through = p + endMark.size() - tail_.size();
    }
    if (through == npos) {
        const size_t p = FindNoCase(more, endMark);
        if (p != npos) through = p + endMark.size();
    }
    if (through != npos) {
        discarding_ = false;
        tail_.clear();
        return more.substr(through);
    }
    if (more.size() >= keep) {
        tail_.assign(more.substr(more.size() - keep));
    } else {
        tail_.append(more);
        if (tail_.size() > keep) tail_.erase(0, tail_.size() - keep);
    }
    return {};
}

void HeldText::Clear() noexcept {
    data_.clear();  // keeps the capacity for the next read
    start_ = 0;
    Forget();
}

void HeldText::Compact() noexcept {
    const size_t shift = start_;
    if (shift == 0) return;
    data_.erase(0, shift);
    start_ = 0;
    for (SearchMemo* m : {&begin_, &end_}) {
        if (!m->valid) continue;
        if (m->from < shift) {
            m->valid = false;  // it described text that is gone
            continue;
        }
        m->from -= shift;
        m->resumeAt -= shift;
        if (m->found != npos) m->found -= shift;
    }
}

size_t HeldText::Find(SearchMemo& memo, std::string_view mark, size_t from) {
    const size_t absFrom = start_ + from;
    if (absFrom > data_.size()) return npos;
    if (mark.empty()) return from;
    // Held text mostly starts with the next message's begin mark: answered without the
    // memory, which stays true (it describes this same text).
    if (data_.size() - absFrom >= mark.size() && StartsWithNoCase(data_.data() + absFrom, mark)) return from;

    const std::string& known = memo.mark.Needle();
    bool sameMark = known.size() == mark.size();
    for (size_t k = 0; sameMark && k < mark.size(); ++k) sameMark = known[k] == mark[k];
    if (!memo.valid || memo.from != absFrom || !sameMark) {
        if (!sameMark) memo.mark.Reset(mark);
        memo.valid = true;
        memo.from = absFrom;
        memo.resumeAt = absFrom;
        memo.found = npos;
    } else if (memo.found != npos) {
        return memo.found - start_;
    }

    const size_t hit = memo.mark.Find(data_, memo.resumeAt);
    if (hit != npos) {
        memo.found = hit;
        return hit - start_;
    }
    // An occurrence that text still to come could complete starts in the last
    // (length of the mark - 1) characters; resume there.
    const size_t tail = mark.size() - 1;
    memo.resumeAt = std::max(absFrom, data_.size() > tail ? data_.size() - tail : size_t{0});
    return npos;
}

}  // namespace tav
