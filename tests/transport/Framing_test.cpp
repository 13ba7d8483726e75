// The framing engine on its own: mark rules, held text, overflow, re-entry, faults and the log
// lines, without sockets.
#include "transport/MessageFramer.hpp"

#include "fuzz/FramingModel.hpp"

#include "core/SocketObjectTestUtil.hpp"
#include "platform/Diagnostics.hpp"

#include <tavsock/MessageBox.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/Text.hpp>

#include <cctype>
#include <functional>
#include <random>

using namespace tav;

namespace {

using Texts = std::vector<std::string>;

/// A socket's framing settings and a manager's hand-over, as plain fields; records what it is
/// handed. `onMessage` runs inside the hand-over, after the message was recorded.
struct FakeFramingContext : FramingContext {
    int32_t handle = 7;
    std::string begin = "BEG", end = "END";
    int32_t maxSize = 1048576;
    Texts messages;
    std::function<void(const std::string&)> onMessage;
    bool serving = true;

    int32_t Handle() const override { return handle; }
    std::string_view MsgBeginMark() const override { return begin; }
    std::string_view MsgEndMark() const override { return end; }
    int32_t MaxRecvHoldBufferSize() const override { return maxSize; }
    std::string LogPrefix() const override { return "Tag>T"; }
    std::string Source(const char* procedure) const override { return std::string("TAVSock.TavTCPSocketMgr.") + procedure; }
    void DeliverMessage(std::string message) override {
        messages.push_back(message);
        if (onMessage) onMessage(messages.back());
    }
    bool StillServing() const override { return serving; }
};

class FramingTest : public ::testing::Test {
protected:
    FramingTest() : store_(ValueStore::Create()), framer_(store_) {}
    // One text read through the read notification's text branch.
    bool Read(const std::string& data) { return framer_.ReceiveText(c_, data, static_cast<int32_t>(data.size())); }
    std::string Held() const { return std::string(framer_.HeldTextOf(c_.handle)); }

    std::shared_ptr<ValueStore> store_;
    MessageFramer framer_;
    FakeFramingContext c_;
};

TEST_F(FramingTest, MarkRulesOverReadsOfAllShapes) {
    struct Case {
        const char* begin;
        const char* end;
        Texts reads, messages;
        const char* held;
    };
    const Case cases[] = {
        {"BEG", "END", {"BEGabENDBEGcdEND"}, {"ab", "cd"}, ""},
        {"BEG", "END", {"BEGab", "cENDx"}, {"abc"}, "x"},
        {"BEG", "END", {"B", "EGxy", "zE", "N", "DBE", "GqE", "ND"}, {"xyz", "q"}, ""},  // marks split
        {"Beg", "eNd", {"begabENDBEGcdend"}, {"ab", "cd"}, ""},
        {"BEG", "\xC4X", {"BEGzz\xE4x"}, {"zz"}, ""},  // the code page's capitals fold too
        {"BEG", "END", {"zzBEGabENDyyBEGcdEND"}, {"ab", "cd"}, ""},
        {"BEG", "END", {"BEGENDxEND"}, {"ENDx"}, ""},  // no empty message right after the begin mark
        {"XEN", "END", {"XENDabEND"}, {"Dab"}, ""},
        {"BEG", "END", {"abENDcdEND", "xEND"}, {}, "abENDcdENDxEND"},  // no begin mark: nothing
        {"", "END", {"abENDcd"}, {"ab"}, "cd"},
        {"", "END", {"ENDabENDq"}, {"ENDab"}, "q"},  // an end mark at position 1 is passed over
        {"", "", {"one", "two and END"}, {"one", "two and END"}, ""},
        {"BEG", "", {"xx", "xBEGrest"}, {"rest"}, ""},
    };
    for (const Case& k : cases) {
        store_->Remove("7");
        c_.messages.clear();
        c_.begin = k.begin;
        c_.end = k.end;
        for (const std::string& r : k.reads) Read(r);
        EXPECT_EQ(c_.messages, k.messages) << k.begin << "/" << k.end << " " << k.reads[0];
        EXPECT_EQ(Held(), k.held) << k.begin << "/" << k.end << " " << k.reads[0];
    }
}

TEST_F(FramingTest, OverflowDropsTheWholeMessageThroughItsEndMarkWithError5AbsorbedOnTheReadPath) {
    c_.maxSize = 10;
    framer_.BufferData(c_, "BEGab");
    try {
        framer_.BufferData(c_, "cdEND!");
        FAIL() << "no error raised";
    } catch (const SockError& e) {
        EXPECT_EQ(e.Number(), static_cast<int32_t>(0x80040205u));
        EXPECT_EQ(e.Description(), "WSAGetLastError Value 5");
    }
    EXPECT_EQ(Held(), "!");  // what follows the message's end mark stays
    store_->Remove("7");
    framer_.BufferData(c_, "BEGabcdEND");  // exactly at the limit
    EXPECT_EQ(Held(), "BEGabcdEND");
    store_->Remove("7");

    // A message that overflows over several reads is never handed over, not even its tail;
    // its end mark may come split between reads. The next message is delivered.
    c_.maxSize = 12;
    EXPECT_FALSE(Read("BEGxxxxxxx"));
    EXPECT_FALSE(Read("yyyyyyE"));
    EXPECT_EQ(Held(), "");
    EXPECT_FALSE(Read("yyyyEN"));
    EXPECT_TRUE(Read("dBEGokENDBEGn"));
    EXPECT_EQ(c_.messages, Texts{"ok"});
    EXPECT_EQ(Held(), "BEGn");
    EXPECT_TRUE(store_->Exists("7"));  // emptied, not removed

    // No message had begun (text without a begin mark is held, and overflows): the held
    // text and the read go, nothing more, and the next message is delivered.
    store_->Remove("7");
    c_.messages.clear();
    c_.maxSize = 8192;
    Read("abENDcdEND");
    Read(std::string(4000, 'k') + "END");
    EXPECT_FALSE(Read(std::string(4500, 'm')));
    EXPECT_EQ(Held(), "");
    EXPECT_TRUE(Read("BEGokEND"));
    EXPECT_EQ(c_.messages, Texts{"ok"});

    // Without an end mark nothing tells where the message ends: the chunk alone goes.
    store_->Remove("7");
    c_.end = "";
    c_.maxSize = 12;
    c_.messages.clear();
    EXPECT_FALSE(Read("xxxxxxxx"));  // no begin mark yet: held
    EXPECT_FALSE(Read("xxxBEGa"));
    EXPECT_TRUE(Read("BEGb"));
    EXPECT_EQ(c_.messages, Texts{"b"});
}

// The read that overflows may complete an end mark the held text ends with: that mark ends
// the message that overflowed, so the message right after it is delivered. Each mark is split
// at every position, with and without a begin mark, the held part in capitals and the rest in
// small letters (the search folds case across the join).
TEST_F(FramingTest, AnEndMarkSplitBetweenHeldTextAndTheOverflowingReadEndsTheDroppedMessage) {
    auto lower = [](std::string t) {
        for (char& ch : t) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return t;
    };
    constexpr size_t kLimit = 40;
    for (const std::string begin : {"", "<b>"}) {
        // A mark of one character cannot be split: it comes whole in the read that overflows.
        for (const std::string mark : {"|", "EN", "END", "ENDX", "ABAB"}) {
            for (size_t k = mark.size() > 1 ? 1 : 0; k < mark.size(); ++k) {
                const std::string head = mark.substr(0, k), rest = lower(mark.substr(k));
                const std::string next = begin + "ok" + mark + begin + "n";
                const std::string filler(kLimit - begin.size() - k, '.');
                SCOPED_TRACE("begin '" + begin + "' mark " + head + "|" + rest);
                c_.begin = begin;
                c_.end = mark;

                // Only the start of the mark is held; the read overflows with the rest of it.
                store_->Remove("7");
                c_.messages.clear();
                c_.maxSize = static_cast<int32_t>(next.size());
                Read(head);
                Read(rest + next);
                EXPECT_EQ(c_.messages, Texts{"ok"});
                EXPECT_EQ(Held(), begin + "n");

                // Held text at the limit, left behind a delivered message; the rest of the mark
                // comes a character a read, then the next message.
                store_->Remove("7");
                c_.messages.clear();
                c_.maxSize = static_cast<int32_t>(kLimit);
                Read(begin + "m0" + mark + begin + filler.substr(0, 2));
                Read(filler.substr(2) + head);
                ASSERT_EQ(Held().size(), kLimit);
                for (char ch : rest) Read(std::string(1, ch));
                Read(next);
                EXPECT_EQ(c_.messages, (Texts{"m0", "ok"}));
                EXPECT_EQ(Held(), begin + "n");

                // A held start of a mark that the read does not complete ends nothing: the
                // dropping goes on through the first whole mark.
                store_->Remove("7");
                c_.messages.clear();
                Read(begin + filler + head);
                Read("y" + next + mark + begin + "z");
                EXPECT_EQ(c_.messages, Texts{"n"});
                EXPECT_EQ(Held(), begin + "z");
            }
        }
    }
}

// Positions themselves are pinned by the log lines below.
TEST_F(FramingTest, PlainHeldTextIsTakenOverAndAnAbsentEntryIsEmpty) {
    Diagnostics::Current().ResetForTesting();
    store_->Value("7", Variant("zBEGabENDBEGcdEN"));  // plain text is read and taken over
    int32_t s = 0, e = 0;
    framer_.ProcessRecvBuf(c_, s, e);
    EXPECT_EQ(c_.messages, Texts{"ab"});
    EXPECT_EQ(Held(), "BEGcdEN");
    // Processing when not ready fails the check and cuts nothing.
    s = e = 0;
    framer_.ProcessRecvBuf(c_, s, e);
    EXPECT_EQ(c_.messages.size(), 1u);
    ASSERT_EQ(Diagnostics::Current().FailureCount(), 1);
    EXPECT_EQ(Diagnostics::Current().LastFailures().back().text, "IsRecvBufReadyToProcess(Skt)");
    EXPECT_EQ(Diagnostics::Current().LastFailures().back().source, "TAVSock.TavTCPSocketMgr.ProcessRecvBuf");
    Diagnostics::Current().ResetForTesting();
    // An absent entry reads as empty text: no begin mark, and nothing is made.
    store_->Remove("7");
    EXPECT_EQ(framer_.FindMsgStart(c_), 0);
    EXPECT_FALSE(framer_.IsRecvBufReadyToProcess(c_, s, e));
    EXPECT_FALSE(store_->Exists("7"));
}

TEST_F(FramingTest, AHandlerThatReadsAgainSeesOnlyWhatFollowsItsMessage) {
    Texts seen;
    c_.onMessage = [&](const std::string& m) {
        seen.push_back(m + ":" + Held());
        int32_t s = 0, e = 0;
        // A nested read notification: it finds the rest already cut free of "a".
        if (m == "a" && framer_.IsRecvBufReadyToProcess(c_, s, e)) framer_.ProcessRecvBuf(c_, s, e);
    };
    Read("BEGaENDBEGbENDBEGcENDBEGd");
    EXPECT_EQ(c_.messages, (Texts{"a", "b", "c"}));
    EXPECT_EQ(seen, (Texts{"a:BEGbENDBEGcENDBEGd", "b:BEGcENDBEGd", "c:BEGd"}));
    EXPECT_EQ(Held(), "BEGd");
}

TEST_F(FramingTest, HandlerFaultsAreShownAndCuttingGoesOnUntilTheManagerIsLetGo) {
    std::vector<std::pair<std::string, std::string>> boxes;
    SetMessageBoxHandler([&](const std::string& text, const std::string& title) { boxes.emplace_back(text, title); });
    c_.onMessage = [&](const std::string& m) {
        if (m == "a") throw SockError(5, "app", "handler failed");
        if (m == "b") throw 42;
        if (m == "c") c_.serving = false;
    };
    Read("BEGaENDBEGbENDBEGcENDBEGdEND");
    SetMessageBoxHandler(nullptr);
    EXPECT_EQ(c_.messages, (Texts{"a", "b", "c"}));
    EXPECT_EQ(Held(), "BEGdEND");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], std::make_pair(std::string("handler failed"), std::string("TAVSock.TavTCPSocketMgr.ProcessRecvBuf")));
    EXPECT_EQ(boxes[1].first, "Unknown error");
}

// The shared reference model, set up for the current marks and limit.
framing_model::Model ModelFor(const FakeFramingContext& c) {
    framing_model::Model m;
    m.begin = c.begin;
    m.end = c.end;
    m.limit = c.maxSize;
    return m;
}

TEST_F(FramingTest, RandomReadsGiveTheSameMessagesAsTheRulesWrittenPlainly) {
    std::mt19937 rng(12345);
    const char alphabet[] = "BEGNDbegnd<>xy";
    const char* marks[][2] = {{"BEG", "END"}, {"", "END"}, {"<", ">"}, {"bEg", ""}, {"EE", "EE"}, {"", ""}};
    for (int round = 0; round < 40; ++round) {
        store_->Remove("7");
        c_.messages.clear();
        c_.begin = marks[round % 6][0];
        c_.end = marks[round % 6][1];
        c_.maxSize = round % 3 == 0 ? 8192 : 1048576;
        framing_model::Model ref = ModelFor(c_);
        // Long reads holding many messages and tiny ones splitting the marks, so that both
        // compaction and the remembered searches are crossed.
        for (int r = 0; r < 60; ++r) {
            const size_t len = (r % 7 == 0) ? 3000 + rng() % 6000 : rng() % 9;
            std::string data;
            for (size_t i = 0; i < len; ++i) data += alphabet[rng() % (sizeof alphabet - 1)];
            Read(data);
            ref.Read(data);
            ASSERT_EQ(Held(), ref.held) << "round " << round << " read " << r;
        }
        ASSERT_EQ(c_.messages, ref.messages) << "round " << round;
    }
}

// A read that finds nothing held is searched, and when it is one whole message cut, without
// being held first. Streams of messages split mostly at their boundaries (one or several per
// read), sometimes inside, against the plain rules.
TEST_F(FramingTest, ReadsOfWholeMessagesAgreeWithTheRulesWrittenPlainly) {
    std::mt19937 rng(271828);
    const char alphabet[] = "BEGNDbegnd<>xy";
    const char* marks[][2] = {{"BEG", "END"}, {"", "END"}, {"<", ">"}, {"bEg", ""}, {"EE", "EE"}, {"", ""}};
    const auto randomCase = [&](std::string text) {
        for (char& ch : text)
            if (rng() % 2) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return text;
    };
    for (int round = 0; round < 60; ++round) {
        store_->Remove("7");
        c_.messages.clear();
        c_.begin = marks[round % 6][0];
        c_.end = marks[round % 6][1];
        c_.maxSize = round % 5 == 0 ? 24 : 1048576;  // a small limit puts reads on both sides of it
        framing_model::Model ref = ModelFor(c_);
        std::vector<std::string> reads(1);
        for (int m = 0; m < 200; ++m) {
            std::string message = rng() % 8 == 0 ? std::string(1, alphabet[rng() % 14]) : std::string();
            message += randomCase(c_.begin);
            for (size_t i = rng() % 40; i > 0; --i) message += alphabet[rng() % (sizeof alphabet - 1)];
            message += randomCase(c_.end);
            const unsigned how = rng() % 10;
            if (how < 6) {
                reads.back() += message;  // a read of its own, or the last of several
                reads.emplace_back();
            } else if (how < 8) {
                reads.back() += message;
            } else {
                const size_t at = rng() % (message.size() + 1);
                reads.back() += message.substr(0, at);
                reads.push_back(message.substr(at));
            }
        }
        for (size_t r = 0; r < reads.size(); ++r) {
            if (reads[r].empty()) continue;
            Read(reads[r]);
            ref.Read(reads[r]);
            ASSERT_EQ(Held(), ref.held) << "round " << round << " read " << r;
        }
        ASSERT_EQ(c_.messages, ref.messages) << "round " << round;
    }
}

TEST_F(FramingTest, LogLinesCarryPositionsRelativeToWhatIsHeld) {
    test::DebugLogFolder log(2);
    c_.handle = 12;
    framer_.BufferData(c_, "zzBEG");
    Read("abENDBEGcdENDBEGe");
    const std::string ready1 = "T<TAVTcpSocketMgr - IsRecvBufReadyToProcess:True<MsgStartsAt>6<MsgEndsAt>7"
                               "<Len(HoldBuffer(Skt.handle))>22<Skt.Handle>12";
    const Texts expected = {
        "T<TAVTcpSocketMgr - BufferData lenIn:5 lenCurrent:5<maxbufsize>1048576<str>zzBEG<",
        "T<TAVTcpSocketMgr - BufferData lenIn:17 lenCurrent:22<maxbufsize>1048576<str>abENDBEGcdENDBEGe<",
        ready1,
        "T<TAVTcpSocketMgr - ITAVSockNotify_DataReceived have data calling ProcessRecvBuf sckhandle>12"
        "<lenIn>17<str>abENDBEGcdENDBEGe<",
        ready1,
        "T<TAVTcpSocketMgr - ProcessRecvBuf len:2<MsgStartsAt>6<MsgEndsAt>7<MsgLen>2<str>ab<",
        "T<TAVTcpSocketMgr - IsRecvBufReadyToProcess:True<MsgStartsAt>4<MsgEndsAt>5"
        "<Len(HoldBuffer(Skt.handle))>12<Skt.Handle>12",
        "T<TAVTcpSocketMgr - ProcessRecvBuf - Have more data starting over.  MsgStartsAt>4 < MsgLen > 2",
        "T<TAVTcpSocketMgr - ProcessRecvBuf len:2<MsgStartsAt>4<MsgEndsAt>5<MsgLen>2<str>cd<",
        "T<TAVTcpSocketMgr - HAVE DATA<20 ?? IsRecvBufReadyToProcess:False<Skt.MsgBeginMark>BEG"
        "<Skt.MsgEndMark>END<MsgStartsAt>4<MsgEndsAt>0<Len(HoldBuffer(Skt.handle))>4<Skt.Handle>12<buffer>BEGe<",
        "T<TAVTcpSocketMgr - IsRecvBufReadyToProcess:False<MsgStartsAt>4<MsgEndsAt>0"
        "<Len(HoldBuffer(Skt.handle))>4<Skt.Handle>12",
    };
    EXPECT_EQ(test::DebugLogFolder::Messages("T<"), expected);
}

}  // namespace
