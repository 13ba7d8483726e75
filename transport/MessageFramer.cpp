#include "transport/MessageFramer.hpp"

#include "platform/DebugLog.hpp"
#include "base/SockErrors.hpp"
#include "platform/Diagnostics.hpp"
#include "transport/HeldText.hpp"

#include <tavsock/MessageBox.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/Text.hpp>

#include <algorithm>
#include <exception>

namespace tav {

namespace {

constexpr int32_t kLogLevel = 2;
constexpr int32_t kErrHoldBufferOverflow = 5;
constexpr size_t npos = std::string_view::npos;
constexpr size_t kKeptMessageCapacity = 16384;

// Appends `text` whole between `whole` and "<" when it has at most `limit` characters, else
// its first and last `limit` characters after `left` and `right`.
void AppendShown(std::string& line, std::string_view text, size_t limit, const char* whole, const char* left,
                 const char* right) {
    if (text.size() <= limit) {
        line.append(whole).append(text);
    } else {
        line.append(left).append(text.substr(0, limit));
        line.append(right).append(text.substr(text.size() - limit));
    }
    line += '<';
}

void AppendShown70(std::string& line, std::string_view text) {
    AppendShown(line, text, 70, "<str>", "<strleft70>", "<strright70>");
}

// Marks are a few characters: a plain loop beats a call to memcmp.
bool SameText(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k)
        if (a[k] != b[k]) return false;
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view mark) noexcept {
    if (text.size() < mark.size()) return false;
    for (size_t k = 0; k < mark.size(); ++k)
        if (FoldCase(text[k]) != FoldCase(mark[k])) return false;
    return true;
}

// The HeldText of an existing entry, null when there is none; `life` gets the object's
// reference. An entry holding plain text is taken over into a HeldText in place, so that it
// can be searched with memory and cut.
HeldText* Existing(ValueStore& store, const std::string& key, std::weak_ptr<Object>& life) {
    Variant* entry = store.Find(key);
    if (!entry) return nullptr;
    if (entry->IsObject()) {
        if (auto* held = dynamic_cast<HeldText*>(entry->AsObject().get())) {
            life = entry->AsObject();
            return held;
        }
    }
    auto held = std::make_shared<HeldText>(entry->IsString() ? entry->AsString() : std::string());
    HeldText* raw = held.get();
    life = held;
    *entry = Variant(std::move(held));
    return raw;
}

// FindMsgStart on held text `held` (null: empty).
int32_t StartIn(HeldText* held, std::string_view beginMark) {
    if (beginMark.empty()) return 1;
    if (!held) return 0;
    const size_t p = held->FindBeginMark(beginMark, 0);
    return p == npos ? 0 : static_cast<int32_t>(p + 1 + beginMark.size());
}

// FindMsgEnd on held text `held` (null: empty). The first end mark at a 1-based position
// above MsgStartsAt is the first one at a 0-based index of at least MsgStartsAt; the 1-based
// position before it is that same index.
int32_t EndIn(HeldText* held, std::string_view endMark, int32_t MsgStartsAt) {
    if (endMark.empty()) return held ? static_cast<int32_t>(held->Length()) : 0;
    if (!held) return 0;
    const size_t p = held->FindEndMark(endMark, MsgStartsAt > 0 ? static_cast<size_t>(MsgStartsAt) : 0);
    return p == npos ? 0 : static_cast<int32_t>(p);
}

}  // namespace

std::string_view MessageFramer::HeldTextOf(const ValueStore& store, const std::string& key) {
    const Variant* entry = store.Find(key);
    if (!entry) return {};
    if (entry->IsString()) return entry->AsString();
    if (entry->IsObject()) {
        if (auto* held = dynamic_cast<const HeldText*>(entry->AsObject().get())) return held->Text();
    }
    return {};
}

HeldText* MessageFramer::Lookup(int32_t handle) {
    cached_ = tav::Existing(*store_, std::to_string(handle), cachedLife_);
    cachedHandle_ = handle;
    return cached_;
}

HeldText& MessageFramer::Writable(int32_t handle) {
    if (HeldText* held = Existing(handle)) return *held;
    auto held = std::make_shared<HeldText>();
    HeldText& ref = *held;
    cachedLife_ = held;
    cached_ = &ref;
    cachedHandle_ = handle;
    store_->Slot(std::to_string(handle)) = Variant(std::move(held));
    return ref;
}

MessageFramer::Step MessageFramer::ReadStep(FramingContext& c) {
    Step s;
    s.handle = c.Handle();
    s.held = Existing(s.handle);
    s.begin = c.MsgBeginMark();
    s.end = c.MsgEndMark();
    return s;
}

bool MessageFramer::ReceiveText(FramingContext& c, std::string_view data, int32_t bytesRead) {
    // No handler runs before the first hand-over, so one read of the settings serves the
    // holding, the readiness test and the first cut.
    Step s;
    bool haveStep = false;
    int32_t MsgStartsAt = 0;
    int32_t MsgEndsAt = 0;
    bool whole = false;
    try {
        s = ReadStep(c);
        haveStep = true;
        const int32_t maxSize = c.MaxRecvHoldBufferSize();
        // With nothing held and a read that fits, the held text would be exactly `data`, so
        // the positions are found in `data` itself; when the read is one whole message and
        // nothing more (a peer that writes each message at once), the message is cut from
        // `data` and the text is never held at all. Log lines show the held text, so a run
        // that logs always holds it.
        if (s.held && s.held->Empty() && !s.held->Discarding() && !data.empty() &&
            static_cast<int64_t>(data.size()) <= maxSize && !DebugLogWanted(kLogLevel)) {
            Locate(s, data, MsgStartsAt, MsgEndsAt);
            whole = MsgStartsAt > 0 && MsgEndsAt > 0 && static_cast<size_t>(MsgEndsAt) + s.end.size() == data.size();
        }
        if (!whole) Hold(c, s, maxSize, data);
    } catch (...) {
        // An overflow emptied the held text; the readiness test below finds nothing. Any
        // other fault may have left the entry half made: read it again.
        haveStep = false;
        whole = false;
        MsgStartsAt = 0;
        MsgEndsAt = 0;
    }
    if (whole) {
        // Held for the whole run: a handler may let go of the manager that owns the store.
        const std::shared_ptr<ValueStore> store = store_;
        CutWhileWhole(c, s, true, MsgStartsAt, MsgEndsAt, &data);
        return true;
    }
    bool ready = false;
    try {
        if (!haveStep) s = ReadStep(c);
        ready = Ready(c, s, MsgStartsAt, MsgEndsAt);
    } catch (...) {
    }
    if (!ready) return false;
    if (DebugLogWanted(kLogLevel)) {
        std::string line = c.LogPrefix();
        line.append("<TAVTcpSocketMgr - ITAVSockNotify_DataReceived have data calling ProcessRecvBuf sckhandle>")
            .append(std::to_string(s.handle))
            .append("<lenIn>")
            .append(std::to_string(bytesRead));
        AppendShown70(line, data);
        WriteDebugLog(kLogLevel, line);
    }
    // Held for the whole run: a handler may let go of the manager that owns the store.
    const std::shared_ptr<ValueStore> store = store_;
    // ProcessRecvBuf's own readiness test would find what was just found; only its log line
    // is repeated.
    if (DebugLogWanted(kLogLevel)) {
        try {
            LogReadiness(c, s, MsgStartsAt, MsgEndsAt, s.held ? s.held->Length() : 0, true);
        } catch (...) {
            ShowFault(c);
        }
    }
    CutWhileWhole(c, s, true, MsgStartsAt, MsgEndsAt);
    return true;
}

void MessageFramer::BufferData(FramingContext& c, std::string_view data) {
    Step s;
    s.handle = c.Handle();
    s.held = Existing(s.handle);
    const int32_t maxSize = c.MaxRecvHoldBufferSize();
    s.end = c.MsgEndMark();
    Hold(c, s, maxSize, data);
}

void MessageFramer::Hold(FramingContext& c, Step& s, int32_t maxSize, std::string_view data) {
    HeldText* held = s.held;
    const std::string_view endMark = s.end;
    bool overflowed = false;
    for (;;) {
        // The rest of a message that overflowed is dropped through its end mark: no part of it
        // may ever be handed over as if it were a message.
        if (held && held->Discarding()) {
            data = held->DiscardThrough(endMark, data);
            if (held->Discarding()) break;
        }
        const int64_t heldLength = held ? static_cast<int64_t>(held->Length()) : 0;
        if (heldLength + static_cast<int64_t>(data.size()) <= maxSize) {
            HeldText& target = held ? *held : Writable(s.handle);
            s.held = &target;
            target.Append(data);
            if (DebugLogWanted(kLogLevel)) {
                std::string line = c.LogPrefix();
                line.append("<TAVTcpSocketMgr - BufferData lenIn:")
                    .append(std::to_string(data.size()))
                    .append(" lenCurrent:")
                    .append(std::to_string(target.Length()))
                    .append("<maxbufsize>")
                    .append(std::to_string(maxSize));
                AppendShown70(line, data);
                WriteDebugLog(kLogLevel, line);
            }
            break;
        }
        // Overflow: what was held and this chunk are dropped; with an end mark, only as far
        // as the end of the message that overflowed, so the messages after it survive.
        HeldText& target = Writable(s.handle);
        s.held = &target;
        if (DebugLogWanted(kLogLevel)) WriteDebugLog(kLogLevel, c.LogPrefix() + "<TAVTcpSocketMgr - BufferData SOCKET ERR - OVERFLOW");
        overflowed = true;
        if (endMark.empty()) {
            target.Clear();
            break;
        }
        // The message's end mark may have begun in the held text: the read stopped
        // inside it.
        target.StartDiscarding(endMark);
        held = &target;
    }
    if (overflowed) RaiseSockError(kErrHoldBufferOverflow);
}

int32_t MessageFramer::FindMsgStart(FramingContext& c) {
    return StartIn(Existing(c.Handle()), c.MsgBeginMark());
}

int32_t MessageFramer::FindMsgEnd(FramingContext& c, int32_t MsgStartsAt) {
    return EndIn(Existing(c.Handle()), c.MsgEndMark(), MsgStartsAt);
}

bool MessageFramer::IsRecvBufReadyToProcess(FramingContext& c, int32_t& MsgStartsAt, int32_t& MsgEndsAt) {
    return Ready(c, ReadStep(c), MsgStartsAt, MsgEndsAt);
}

bool MessageFramer::Ready(FramingContext& c, const Step& s, int32_t& MsgStartsAt, int32_t& MsgEndsAt) {
    const size_t length = s.held ? s.held->Length() : 0;
    bool ready = false;
    if (length != 0) {
        if (MsgStartsAt == 0) MsgStartsAt = StartIn(s.held, s.begin);
        if (MsgEndsAt == 0) MsgEndsAt = EndIn(s.held, s.end, MsgStartsAt);
        ready = MsgStartsAt > 0 && MsgEndsAt > 0;
    }
    if (DebugLogWanted(kLogLevel)) LogReadiness(c, s, MsgStartsAt, MsgEndsAt, length, ready);
    return ready;
}

void MessageFramer::LogReadiness(FramingContext& c, const Step& s, int32_t MsgStartsAt, int32_t MsgEndsAt,
                                 size_t length, bool ready) {
    const std::string prefix = c.LogPrefix();
    const std::string fields = "<MsgStartsAt>" + std::to_string(MsgStartsAt) + "<MsgEndsAt>" +
                               std::to_string(MsgEndsAt) + "<Len(HoldBuffer(Skt.handle))>" + std::to_string(length) +
                               "<Skt.Handle>" + std::to_string(s.handle);
    if (length != 0 && !ready) {
        std::string line = prefix;
        line.append(length <= 20 ? "<TAVTcpSocketMgr - HAVE DATA<20 ?? IsRecvBufReadyToProcess:"
                                 : "<TAVTcpSocketMgr - HAVE DATA>20 ?? IsRecvBufReadyToProcess:")
            .append("False<Skt.MsgBeginMark>")
            .append(s.begin)
            .append("<Skt.MsgEndMark>")
            .append(s.end)
            .append(fields);
        AppendShown(line, s.held->Text(), 20, "<buffer>", "<left20>", "<right20>");
        WriteDebugLog(kLogLevel, line);
    }
    WriteDebugLog(kLogLevel, prefix + "<TAVTcpSocketMgr - IsRecvBufReadyToProcess:" + (ready ? "True" : "False") + fields);
}

void MessageFramer::ProcessRecvBuf(FramingContext& c, int32_t& MsgStartsAt, int32_t& MsgEndsAt) {
    // Held for the whole run: a handler may let go of the manager that owns the store.
    const std::shared_ptr<ValueStore> store = store_;
    Step s;
    bool fresh = false;
    try {
        s = ReadStep(c);
        fresh = Ready(c, s, MsgStartsAt, MsgEndsAt);
        if (!fresh) Diagnostics::Current().Check(false, c.Source("ProcessRecvBuf"), "IsRecvBufReadyToProcess(Skt)");
    } catch (...) {
        fresh = false;
        ShowFault(c);
    }
    CutWhileWhole(c, s, fresh, MsgStartsAt, MsgEndsAt);
}

void MessageFramer::Locate(const Step& s, std::string_view text, int32_t& MsgStartsAt, int32_t& MsgEndsAt) {
    if (s.begin.empty()) {
        MsgStartsAt = 1;
    } else {
        // A read mostly starts with its message's begin mark: no search set up for that.
        size_t p = 0;
        if (!StartsWithNoCase(text, s.begin)) {
            if (!SameText(beginFinder_.Needle(), s.begin)) beginFinder_.Reset(s.begin);
            p = beginFinder_.Find(text, 0);
        }
        if (p == npos) return;
        MsgStartsAt = static_cast<int32_t>(p + 1 + s.begin.size());
    }
    if (s.end.empty()) {
        MsgEndsAt = static_cast<int32_t>(text.size());
    } else {
        if (!SameText(endFinder_.Needle(), s.end)) endFinder_.Reset(s.end);
        const size_t p = endFinder_.Find(text, static_cast<size_t>(MsgStartsAt));
        if (p != npos) MsgEndsAt = static_cast<int32_t>(p);
    }
}

void MessageFramer::CutWhileWhole(FramingContext& c, Step s, bool fresh, int32_t& MsgStartsAt, int32_t& MsgEndsAt,
                                  const std::string_view* direct) {
    // One string carries every message of the run: the hand-over gives its storage back.
    std::string message = std::move(spare_);
    spare_.clear();  // a moved-from string is left valid but unspecified
    for (;;) {
        int32_t MsgLen = 0;
        bool cut = false;
        try {
            if (!fresh) s = ReadStep(c);
            if (MsgStartsAt == 0) MsgStartsAt = StartIn(s.held, s.begin);
            if (MsgEndsAt == 0) MsgEndsAt = EndIn(s.held, s.end, MsgStartsAt);
            // Only whole messages are cut; each cut takes at least one character, so the loop
            // ends.
            if (MsgStartsAt <= 0 || MsgEndsAt <= 0) break;
            MsgLen = MsgEndsAt - MsgStartsAt + 1;
            CutMessage(s, MsgStartsAt, MsgEndsAt, direct, message);
            direct = nullptr;
            cut = true;
            if (DebugLogWanted(kLogLevel)) {
                std::string line = c.LogPrefix();
                line.append("<TAVTcpSocketMgr - ProcessRecvBuf len:")
                    .append(std::to_string(message.size()))
                    .append("<MsgStartsAt>")
                    .append(std::to_string(MsgStartsAt))
                    .append("<MsgEndsAt>")
                    .append(std::to_string(MsgEndsAt))
                    .append("<MsgLen>")
                    .append(std::to_string(MsgLen));
                AppendShown70(line, message);
                WriteDebugLog(kLogLevel, line);
            }
            c.DeliverReusing(message);
        } catch (...) {
            ShowFault(c);
            // A fault before the cut would meet the same text again.
            if (!cut) break;
        }
        // Nothing of this object is touched before this test: a handler may have terminated
        // the manager, and this framer with it.
        if (!c.StillServing()) return;

        // The handlers may have changed anything: the held text (a nested read), the entry,
        // the marks. Everything is read afresh.
        MsgStartsAt = 0;
        MsgEndsAt = 0;
        bool more = false;
        try {
            s = ReadStep(c);
            more = Ready(c, s, MsgStartsAt, MsgEndsAt);
            if (more && DebugLogWanted(kLogLevel))
                WriteDebugLog(kLogLevel, c.LogPrefix() +
                                             "<TAVTcpSocketMgr - ProcessRecvBuf - Have more data starting over.  MsgStartsAt>" +
                                             std::to_string(MsgStartsAt) + " < MsgLen > " + std::to_string(MsgLen));
        } catch (...) {
            ShowFault(c);
        }
        if (!more) break;
        fresh = true;
    }
    // A large buffer is not kept: one long message must not pin its size for good.
    if (message.capacity() <= kKeptMessageCapacity) {
        message.clear();
        spare_ = std::move(message);
    }
}

void MessageFramer::CutMessage(const Step& s, int32_t MsgStartsAt, int32_t MsgEndsAt, const std::string_view* direct,
                               std::string& message) {
    message.clear();
    HeldText* held = s.held;
    if (!held && !direct) return;
    const std::string_view text = direct ? *direct : held->Text();
    const size_t first = static_cast<size_t>(MsgStartsAt - 1);
    const size_t count = MsgEndsAt >= MsgStartsAt ? static_cast<size_t>(MsgEndsAt - MsgStartsAt + 1) : 0;
    if (first < text.size()) message.append(text.substr(first, count));
    // Text before the begin mark and the begin mark go with the message; the end mark too.
    if (!direct) held->Consume(static_cast<size_t>(MsgEndsAt) + s.end.size());
}

void MessageFramer::ShowFault(FramingContext& c) const noexcept {
    try {
        std::string text;
        try {
            throw;
        } catch (const SockError& e) {
            text = e.Description().empty() ? "Error " + std::to_string(e.Number()) : e.Description();
        } catch (const std::exception& e) {
            text = e.what();
        } catch (...) {
            text = "Unknown error";
        }
        ShowMessageBox(text, c.Source("ProcessRecvBuf"));
    } catch (...) {
    }
}

}  // namespace tav
