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

// Where the dropping ends and what survives is pinned by the model tests below; here the error
// itself, the limit, and the read path that absorbs it.
TEST_F(FramingTest, OverflowRaisesError5WhichTheReadPathAbsorbsAndTheLimitItselfFits) {
    c_.maxSize = 10;
    framer_.BufferData(c_, "BEGabcdEND");  // exactly at the limit
    EXPECT_EQ(Held(), "BEGabcdEND");
    store_->Remove("7");
    framer_.BufferData(c_, "BEGab");
    try {
        framer_.BufferData(c_, "cdEND!");
        FAIL() << "no error raised";
    } catch (const SockError& e) {
        EXPECT_EQ(e.Number(), static_cast<int32_t>(0x80040205u));
        EXPECT_EQ(e.Description(), "WSAGetLastError Value 5");
    }
    EXPECT_EQ(Held(), "!");  // what follows the message's end mark stays
    EXPECT_FALSE(Read("BEGxxxxxxxxx"));
    EXPECT_EQ(Held(), "");
    EXPECT_TRUE(store_->Exists("7"));  // emptied, not removed
    EXPECT_TRUE(Read("yENDBEGokEND"));
    EXPECT_EQ(c_.messages, Texts{"ok"});
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

// Faults of a handler are shown and the cutting goes on; a nested read (a handler that runs
// the queue) finds the rest already cut free of its message; a manager let go stops it all.
TEST_F(FramingTest, HandlersMayFailReadAgainOrLetTheManagerGo) {
    std::vector<std::pair<std::string, std::string>> boxes;
    SetMessageBoxHandler([&](const std::string& text, const std::string& title) { boxes.emplace_back(text, title); });
    Texts seen;
    c_.onMessage = [&](const std::string& m) {
        seen.push_back(m + ":" + Held());
        int32_t s = 0, e = 0;
        if (m == "a") throw SockError(5, "app", "handler failed");
        if (m == "b") throw 42;
        if (m == "c" && framer_.IsRecvBufReadyToProcess(c_, s, e)) framer_.ProcessRecvBuf(c_, s, e);
        if (m == "d") c_.serving = false;
    };
    Read("BEGaENDBEGbENDBEGcENDBEGdENDBEGeEND");
    SetMessageBoxHandler(nullptr);
    EXPECT_EQ(seen, (Texts{"a:BEGbENDBEGcENDBEGdENDBEGeEND", "b:BEGcENDBEGdENDBEGeEND", "c:BEGdENDBEGeEND", "d:BEGeEND"}));
    EXPECT_EQ(Held(), "BEGeEND");
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

// Random reads against the rules written plainly: reads of any length over the marks' letters
// (long ones holding many messages, tiny ones splitting the marks), and streams of whole
// messages split mostly at their boundaries, which are cut without being held first, sometimes
// a character a read. Limits on both sides of the reads make messages overflow with their end
// marks split anywhere; long reads cross the compaction and the remembered searches.
TEST_F(FramingTest, RandomReadsGiveTheSameMessagesAsTheRulesWrittenPlainly) {
    std::mt19937 rng(12345);
    const char alphabet[] = "BEGNDXbegndx<>|y\xC4\xE4";
    const char* marks[][2] = {{"BEG", "END"}, {"", "END"}, {"<", ">"},    {"bEg", ""},   {"EE", "EE"},
                              {"", ""},       {"<", "ENDX"}, {"", "BEBE"}, {"<", "|"}, {"\xC4", "\xE4x"}};
    const int32_t limits[] = {24, 40, 8192, 1048576};
    const auto letter = [&] { return alphabet[rng() % (sizeof alphabet - 1)]; };
    const auto randomCase = [&](std::string text) {
        for (char& ch : text)
            if (rng() % 2) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return text;
    };
    for (int round = 0; round < 80; ++round) {
        store_->Remove("7");
        c_.messages.clear();
        c_.begin = marks[round % 10][0];
        c_.end = marks[round % 10][1];
        c_.maxSize = limits[round / 10 % 4];
        framing_model::Model ref = ModelFor(c_);
        std::vector<std::string> reads(1);
        if (round / 40 % 2 == 0) {
            for (int r = 0; r < 60; ++r) {
                for (size_t i = (r % 7 == 0) ? 3000 + rng() % 6000 : rng() % 9; i > 0; --i) reads.back() += letter();
                reads.emplace_back();
            }
        } else {
            for (int m = 0; m < 200; ++m) {
                std::string message = rng() % 8 == 0 ? std::string(1, letter()) : std::string();
                message += randomCase(c_.begin);
                for (size_t i = rng() % 40; i > 0; --i) message += letter();
                message += randomCase(c_.end);
                const unsigned how = rng() % 10;
                if (how < 6) {
                    reads.back() += message;  // a read of its own, or the last of several
                    reads.emplace_back();
                } else if (how < 8) {
                    reads.back() += message;
                } else if (how < 9) {
                    const size_t at = rng() % (message.size() + 1);
                    reads.back() += message.substr(0, at);
                    reads.push_back(message.substr(at));
                } else {
                    for (char ch : message) {  // a character a read
                        reads.back() += ch;
                        reads.emplace_back();
                    }
                }
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
