// The framing engine of the TCP manager's receive path: text read from a stream socket is
// held per socket until a whole message stands between the socket's begin and end marks, then
// each message is cut out and handed over, in order.
//
// Held text lives in the manager's hold buffer (a ValueStore), one entry per socket under the
// socket's handle in decimal. The entry holds a HeldText object rather than the text itself,
// so that appends happen in place and messages are cut by moving an offset (see HeldText.hpp);
// read it with HeldTextOf(), under which an absent entry, like an empty one, is empty text (an
// entry holding plain text is read as that text and taken over on the next append). Entries
// are made by the first append and removed only when the manager destroys the socket.
//
// Positions are 1-based character positions in the held text, 0 meaning not known or not
// found; MsgStartsAt is the first character of a message, MsgEndsAt its last. Marks compare
// without regard to letter case. Cost: each held character is scanned and moved a bounded
// number of times, so the cost per message does not grow with the number of messages one read
// holds, nor with the number of reads a long message takes.
//
// Every step reads the hold buffer and the socket's settings afresh, so a handler that runs
// the message queue (and so a nested read notification) sees what the outer run stored; a
// message is handed over only after it has been cut. A step is what lies between two
// hand-overs: only a handler can change the settings or the held text, so within a step they
// are read once. A read that finds nothing held and is exactly one whole message is cut where
// it lies instead of being held first; during its hand-over the held text is empty, as it
// would be had the read been held and cut. Logging at level 2; not thread-safe.
#pragma once

#include <tavsock/ValueStore.hpp>

#include "base/NoCaseFinder.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tav {

class HeldText;

/// What framing needs of one socket and of the manager it works for, read at each step.
class FramingContext {
public:
    virtual int32_t Handle() const = 0;
    virtual std::string_view MsgBeginMark() const = 0;
    virtual std::string_view MsgEndMark() const = 0;
    virtual int32_t MaxRecvHoldBufferSize() const = 0;
    /// "Tag>" followed by the manager's Tag: the start of every log line.
    virtual std::string LogPrefix() const = 0;
    /// SourceName of the manager with `procedure`, for checks and the fault message box.
    virtual std::string Source(const char* procedure) const = 0;
    /// Raises DataReceived with one message; whatever the handlers throw comes back here.
    virtual void DeliverMessage(std::string message) = 0;
    /// As DeliverMessage; afterwards `message` holds whatever storage the handlers left (it
    /// may be empty), which the framer fills with the next message instead of allocating.
    virtual void DeliverReusing(std::string& message) { DeliverMessage(std::move(message)); }
    /// Asked after each hand-over: false (the manager was let go, the socket destroyed) ends
    /// the cutting.
    virtual bool StillServing() const = 0;

protected:
    ~FramingContext() = default;
};

class MessageFramer {
public:
    /// Works on `holdBuffer`, which it keeps alive.
    explicit MessageFramer(std::shared_ptr<ValueStore> holdBuffer) : store_(std::move(holdBuffer)) {}

    const std::shared_ptr<ValueStore>& HoldBuffer() const noexcept { return store_; }

    /// The held text under `key`; empty when there is no entry.
    static std::string_view HeldTextOf(const ValueStore& store, const std::string& key);
    /// The held text of the socket `handle`; empty when there is none.
    std::string_view HeldTextOf(int32_t handle) const { return HeldTextOf(*store_, std::to_string(handle)); }

    /// The text branch of a read notification: holds `data`, and when a message is complete
    /// hands over every complete message. An overflow (error 5) is absorbed here. Returns true
    /// when messages were cut (the caller then re-arms its timer), false when the text stays
    /// held. `bytesRead` is only logged.
    bool ReceiveText(FramingContext& c, std::string_view data, int32_t bytesRead);

    /// Appends `data` to the held text. When that would make it longer than
    /// MaxRecvHoldBufferSize, the held text is emptied, `data` dropped and library error 5
    /// raised. With an end mark set, the message that overflowed is dropped whole instead:
    /// everything up to and including its end mark, in this read or in later ones (a mark
    /// that began in the held text and ends in `data` counts), and what follows the mark is
    /// held as usual.
    void BufferData(FramingContext& c, std::string_view data);
    /// 1 without a begin mark; else the position after the first begin mark, 0 when none.
    int32_t FindMsgStart(FramingContext& c);
    /// Without an end mark the held length; else the position before the first end mark that
    /// begins after MsgStartsAt (one beginning exactly there is passed over), 0 when none.
    int32_t FindMsgEnd(FramingContext& c, int32_t MsgStartsAt);
    /// False for empty held text (positions untouched). Otherwise fills the positions that are
    /// 0 and answers whether both are found.
    bool IsRecvBufReadyToProcess(FramingContext& c, int32_t& MsgStartsAt, int32_t& MsgEndsAt);
    /// Cuts and hands over messages from the given positions on, while whole ones are held.
    /// A fault, including one thrown by a handler, is shown in a message box titled with the
    /// source "ProcessRecvBuf", and the cutting goes on.
    void ProcessRecvBuf(FramingContext& c, int32_t& MsgStartsAt, int32_t& MsgEndsAt);

private:
    // What one step works with, read from the context and the hold buffer together. Nothing
    // between two hand-overs can change these (only a handler can), so a step reads them once
    // and every hand-over is followed by a fresh read.
    struct Step {
        int32_t handle = 0;
        HeldText* held = nullptr;  // null: no entry
        std::string_view begin;    // views of the socket's settings: valid until a handler runs
        std::string_view end;
    };
    Step ReadStep(FramingContext& c);
    // BufferData with the step's settings; `s.held` follows the entry when one is made.
    void Hold(FramingContext& c, Step& s, int32_t maxSize, std::string_view data);
    // IsRecvBufReadyToProcess on a step already read.
    bool Ready(FramingContext& c, const Step& s, int32_t& MsgStartsAt, int32_t& MsgEndsAt);
    void LogReadiness(FramingContext& c, const Step& s, int32_t MsgStartsAt, int32_t MsgEndsAt, size_t length,
                      bool ready);
    // The cutting loop of ProcessRecvBuf. With `fresh`, `s` was read since the last hand-over
    // and the positions were found on it. With `direct`, the first message is cut from that
    // text (a read that was never held) instead of from the held text.
    void CutWhileWhole(FramingContext& c, Step s, bool fresh, int32_t& MsgStartsAt, int32_t& MsgEndsAt,
                       const std::string_view* direct = nullptr);
    // The positions the held text would have if it were `text`, as the readiness test finds
    // them; the end is looked for only when the begin mark is found.
    void Locate(const Step& s, std::string_view text, int32_t& MsgStartsAt, int32_t& MsgEndsAt);

    // The HeldText of the entry of `handle`, null when there is none (an entry holding plain
    // text is taken over). The last one found is remembered with a weak reference: removing
    // or replacing the entry ends the object, so a live reference means the entry is still
    // that object, and the messages of a read (even of many reads) cost no look-up of the
    // decimal key.
    HeldText* Existing(int32_t handle) {
        if (cached_ && handle == cachedHandle_ && !cachedLife_.expired()) return cached_;
        return Lookup(handle);
    }
    HeldText* Lookup(int32_t handle);
    // As Existing, making the entry when there is none.
    HeldText& Writable(int32_t handle);
    // Cuts the message [MsgStartsAt, MsgEndsAt] and its end mark off the front; empty when
    // the positions designate nothing (the entry changed under a handler).
    // With `direct`, the message is taken from that text and nothing held is consumed. The
    // message replaces the content of `message`, whose storage is reused.
    static void CutMessage(const Step& s, int32_t MsgStartsAt, int32_t MsgEndsAt, const std::string_view* direct,
                           std::string& message);
    void ShowFault(FramingContext& c) const noexcept;

    std::shared_ptr<ValueStore> store_;
    // Storage of a delivered message, given back by the hand-over, for the next one. Taken
    // (left empty) while a message is out, so a nested run allocates its own.
    std::string spare_;
    // The marks' searches for reads that are never held.
    NoCaseFinder beginFinder_;
    NoCaseFinder endFinder_;
    int32_t cachedHandle_ = 0;
    HeldText* cached_ = nullptr;        // valid while cachedLife_ has not expired
    std::weak_ptr<Object> cachedLife_;
};

}  // namespace tav
