// The framing engine on its own: held text, mark searches, message cutting, overflow, re-entry
// and the log lines, without sockets.
#include "FramingTestUtil.hpp"

#include "platform/Diagnostics.hpp"
#include "transport/HeldText.hpp"

#include <tavsock/MessageBox.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/Text.hpp>

#include <random>

using namespace tav;
using tavtest::FakeFramingContext;

namespace {

class FramingTest : public ::testing::Test {
protected:
    FramingTest() : store_(ValueStore::Create()), framer_(store_) {
        c_.begin = "BEG";
        c_.end = "END";
    }
    // One text read through the read notification's text branch.
    bool Read(const std::string& data) { return framer_.ReceiveText(c_, data, static_cast<int32_t>(data.size())); }
    std::string Held() const { return std::string(framer_.HeldTextOf(c_.handle)); }

    std::shared_ptr<ValueStore> store_;
    MessageFramer framer_;
    FakeFramingContext c_;
};

using Messages = std::vector<std::string>;

TEST_F(FramingTest, OneReadWithTwoMessagesDeliversBothInOrderAndEmptiesTheBuffer) {
    EXPECT_TRUE(Read("BEGabENDBEGcdEND"));
    EXPECT_EQ(c_.messages, (Messages{"ab", "cd"}));
    EXPECT_EQ(Held(), "");
    EXPECT_TRUE(store_->Exists("7"));  // the entry stays until the socket is destroyed
}

TEST_F(FramingTest, MessageAndMarksSplitAcrossReadsAreJoined) {
    EXPECT_FALSE(Read("BEGab"));
    EXPECT_TRUE(c_.messages.empty());
    EXPECT_TRUE(Read("cENDx"));
    EXPECT_EQ(c_.messages, (Messages{"abc"}));
    EXPECT_EQ(Held(), "x");

    // Both marks cut in pieces by the reads.
    store_->Remove("7");
    c_.messages.clear();
    for (const char* piece : {"B", "EGxy", "zE", "N", "DBE", "GqE", "ND"}) Read(piece);
    EXPECT_EQ(c_.messages, (Messages{"xyz", "q"}));
}

TEST_F(FramingTest, MarksMatchInAnyLetterCase) {
    c_.begin = "Beg";
    c_.end = "eNd";
    Read("begabENDBEGcdend\xC4x\xE4");  // letters of the single-byte code page fold too
    EXPECT_EQ(c_.messages, (Messages{"ab", "cd"}));
    c_.end = "\xC4X";
    c_.messages.clear();
    Read("BEGzz\xE4x");
    EXPECT_EQ(c_.messages, (Messages{"zz"}));
}

TEST_F(FramingTest, TextBeforeTheBeginMarkIsDroppedWithTheMessage) {
    Read("zzBEGabENDyyBEGcdEND");
    EXPECT_EQ(c_.messages, (Messages{"ab", "cd"}));
}

TEST_F(FramingTest, AnEndMarkRightAfterTheBeginMarkDoesNotEndAnEmptyMessage) {
    Read("BEGENDxEND");
    EXPECT_EQ(c_.messages, (Messages{"ENDx"}));
    // Nor does one that overlaps the begin mark's last characters count before the start.
    c_.messages.clear();
    c_.begin = "XEN";
    Read("XENDabEND");
    EXPECT_EQ(c_.messages, (Messages{"Dab"}));
}

TEST_F(FramingTest, WithOnlyAnEndMarkAMarkAtTheVeryStartIsPassedOver) {
    c_.begin.clear();
    Read("abENDcd");
    EXPECT_EQ(c_.messages, (Messages{"ab"}));
    EXPECT_EQ(Held(), "cd");
    // The message starts at position 1, so an end mark there does not end it.
    store_->Remove("7");
    c_.messages.clear();
    Read("ENDabENDq");
    EXPECT_EQ(c_.messages, (Messages{"ENDab"}));
    EXPECT_EQ(Held(), "q");
}

TEST_F(FramingTest, WithoutMarksEveryReadIsDeliveredWhole) {
    c_.begin.clear();
    c_.end.clear();
    Read("one");
    Read("two and END");
    EXPECT_EQ(c_.messages, (Messages{"one", "two and END"}));
    EXPECT_EQ(Held(), "");
    // Only a begin mark: everything after it, once found.
    c_.begin = "BEG";
    c_.messages.clear();
    EXPECT_FALSE(Read("xx"));
    Read("xBEGrest");
    EXPECT_EQ(c_.messages, (Messages{"rest"}));
}

TEST_F(FramingTest, WithoutTheBeginMarkNothingIsDeliveredUntilTheBufferOverflows) {
    c_.maxSize = 8192;
    const std::string chunk = std::string(1000, 'a') + "END";
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(Read(chunk));
    EXPECT_EQ(Held().size(), 8u * chunk.size());
    // The ninth chunk would pass the limit: all of it and the held text are dropped.
    EXPECT_FALSE(Read(chunk));
    EXPECT_TRUE(c_.messages.empty());
    EXPECT_EQ(Held().size(), 0u);
    EXPECT_TRUE(Read("BEGokEND"));
    EXPECT_EQ(c_.messages, (Messages{"ok"}));
}

TEST_F(FramingTest, OverflowRaisesError5FromBufferDataAndAbsorbsItOnTheReadPath) {
    c_.maxSize = 10;
    framer_.BufferData(c_, "BEGab");
    try {
        framer_.BufferData(c_, "cdEND!");
        FAIL() << "no error raised";
    } catch (const SockError& e) {
        EXPECT_EQ(e.Number(), static_cast<int32_t>(0x80040205u));
        EXPECT_EQ(e.Source(), "TAV Winsock Library");
        EXPECT_EQ(e.Description(), "WSAGetLastError Value 5");
    }
    EXPECT_EQ(Held(), "");
    // Exactly at the limit is allowed.
    framer_.BufferData(c_, "BEGabcdEND");
    EXPECT_EQ(Held(), "BEGabcdEND");
    EXPECT_FALSE(Read("x"));
    EXPECT_TRUE(c_.messages.empty());
}

TEST_F(FramingTest, PositionsAreCountedFromTheStartOfWhatIsStillHeld) {
    framer_.BufferData(c_, "zBEGabENDBEGcdEN");
    EXPECT_EQ(framer_.FindMsgStart(c_), 5);
    EXPECT_EQ(framer_.FindMsgEnd(c_, 5), 6);
    EXPECT_EQ(framer_.FindMsgEnd(c_, 0), 6);
    EXPECT_EQ(framer_.FindMsgEnd(c_, 7), 0);  // the end mark starting at 7 is passed over
    int32_t s = 0, e = 0;
    framer_.ProcessRecvBuf(c_, s, e);
    EXPECT_EQ(c_.messages, (Messages{"ab"}));
    EXPECT_EQ(Held(), "BEGcdEN");
    EXPECT_EQ(framer_.FindMsgStart(c_), 4);
    EXPECT_EQ(framer_.FindMsgEnd(c_, 4), 0);
    framer_.BufferData(c_, "D");
    EXPECT_EQ(framer_.FindMsgEnd(c_, 4), 5);
    s = e = 0;
    EXPECT_TRUE(framer_.IsRecvBufReadyToProcess(c_, s, e));
    EXPECT_EQ(s, 4);
    EXPECT_EQ(e, 5);
    // Positions already known are kept; empty held text leaves them alone.
    s = 2, e = 3;
    EXPECT_TRUE(framer_.IsRecvBufReadyToProcess(c_, s, e));
    EXPECT_EQ(s, 2);
    store_->Remove("7");
    EXPECT_FALSE(framer_.IsRecvBufReadyToProcess(c_, s, e));
    EXPECT_EQ(e, 3);
    // A missing entry reads as empty text: no begin mark, and the held length is 0.
    EXPECT_EQ(framer_.FindMsgStart(c_), 0);
    c_.end.clear();
    EXPECT_EQ(framer_.FindMsgEnd(c_, 1), 0);
    EXPECT_FALSE(store_->Exists("7"));
}

TEST_F(FramingTest, PlainTextStoredInTheEntryIsReadAndTakenOver) {
    store_->Value("7", Variant("BEGab"));
    EXPECT_EQ(Held(), "BEGab");
    EXPECT_TRUE(Read("ENDBEGc"));
    EXPECT_EQ(c_.messages, (Messages{"ab"}));
    EXPECT_EQ(Held(), "BEGc");
}

TEST_F(FramingTest, AHandlerThatReadsAgainSeesOnlyWhatFollowsItsMessage) {
    Messages seen;
    c_.onMessage = [&](const std::string& m) {
        seen.push_back(m + ":" + Held());
        if (m == "a") {
            int32_t s = 0, e = 0;
            // A nested read notification: it finds the rest already cut free of "a".
            if (framer_.IsRecvBufReadyToProcess(c_, s, e)) framer_.ProcessRecvBuf(c_, s, e);
        }
    };
    Read("BEGaENDBEGbENDBEGcENDBEGd");
    EXPECT_EQ(c_.messages, (Messages{"a", "b", "c"}));
    EXPECT_EQ(seen, (Messages{"a:BEGbENDBEGcENDBEGd", "b:BEGcENDBEGd", "c:BEGd"}));
    EXPECT_EQ(Held(), "BEGd");
}

TEST_F(FramingTest, AFaultInAHandlerIsShownAndTheRestIsStillDelivered) {
    std::vector<std::pair<std::string, std::string>> boxes;
    SetMessageBoxHandler([&](const std::string& text, const std::string& title) { boxes.emplace_back(text, title); });
    c_.onMessage = [](const std::string& m) {
        if (m == "a") throw SockError(5, "app", "handler failed");
        if (m == "b") throw 42;
    };
    Read("BEGaENDBEGbENDBEGcEND");
    SetMessageBoxHandler(nullptr);
    EXPECT_EQ(c_.messages, (Messages{"a", "b", "c"}));
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].first, "handler failed");
    EXPECT_EQ(boxes[0].second, "TAVSock.TavTCPSocketMgr.ProcessRecvBuf");
    EXPECT_EQ(boxes[1].first, "Unknown error");
}

TEST_F(FramingTest, AManagerNoLongerServingStopsTheCuttingAndKeepsTheRest) {
    c_.onMessage = [&](const std::string&) { c_.serving = false; };
    Read("BEGaENDBEGbEND");
    EXPECT_EQ(c_.messages, (Messages{"a"}));
    EXPECT_EQ(Held(), "BEGbEND");
}

TEST_F(FramingTest, ProcessingWhenNotReadyFailsTheCheckAndCutsNothing) {
    Diagnostics::Current().ResetForTesting();
    framer_.BufferData(c_, "BEGab");
    int32_t s = 0, e = 0;
    framer_.ProcessRecvBuf(c_, s, e);
    EXPECT_TRUE(c_.messages.empty());
    ASSERT_EQ(Diagnostics::Current().FailureCount(), 1);
    EXPECT_EQ(Diagnostics::Current().LastFailures().back().text, "IsRecvBufReadyToProcess(Skt)");
    EXPECT_EQ(Diagnostics::Current().LastFailures().back().source, "TAVSock.TavTCPSocketMgr.ProcessRecvBuf");
    Diagnostics::Current().ResetForTesting();
}

// The rules written out the slow, obvious way: whole strings, searches from position 1.
struct ReferenceFramer {
    std::string held;
    std::vector<std::string> messages;
    void Read(const std::string& data, const std::string& b, const std::string& e, size_t maxSize) {
        if (held.size() + data.size() > maxSize) {
            held.clear();
            return;
        }
        held += data;
        for (;;) {
            if (held.empty()) return;
            size_t s = 1;
            if (!b.empty()) {
                const size_t p = FindNoCase(held, b);
                if (p == std::string::npos) return;
                s = p + 1 + b.size();
            }
            size_t end = held.size();
            if (!e.empty()) {
                size_t p = FindNoCase(held, e);
                while (p != std::string::npos && p + 1 <= s) p = FindNoCase(held, e, p + 1);
                if (p == std::string::npos) return;
                end = p;
            }
            messages.push_back(held.substr(s - 1, end - s + 1));
            held.erase(0, end + e.size());
        }
    }
};

TEST_F(FramingTest, RandomReadsGiveTheSameMessagesAsTheRulesWrittenPlainly) {
    std::mt19937 rng(12345);
    const char alphabet[] = "BEGNDbegnd<>xy";
    for (int round = 0; round < 40; ++round) {
        store_->Remove("7");
        c_.messages.clear();
        const char* marks[][2] = {{"BEG", "END"}, {"", "END"}, {"<", ">"}, {"bEg", ""}, {"EE", "EE"}, {"", ""}};
        c_.begin = marks[round % 6][0];
        c_.end = marks[round % 6][1];
        c_.maxSize = round % 3 == 0 ? 8192 : 1048576;
        ReferenceFramer ref;
        // Long reads holding many messages, and tiny ones splitting the marks, so that both
        // compaction and the remembered searches are crossed.
        for (int r = 0; r < 60; ++r) {
            const size_t len = (r % 7 == 0) ? 3000 + rng() % 6000 : rng() % 9;
            std::string data;
            for (size_t i = 0; i < len; ++i) data += alphabet[rng() % (sizeof alphabet - 1)];
            Read(data);
            ref.Read(data, c_.begin, c_.end, static_cast<size_t>(c_.maxSize));
            ASSERT_EQ(Held(), ref.held) << "round " << round << " read " << r;
        }
        ASSERT_EQ(c_.messages, ref.messages) << "round " << round;
    }
}

TEST(HeldTextTest, CompactsOnlyWhenTheDeadPrefixOutweighsTheLiveText) {
    HeldText h;
    h.Append(std::string(10000, 'a') + "END" + std::string(100, 'b'));
    EXPECT_EQ(h.FindEndMark("end", 0), 10000u);
    h.Consume(5000);
    EXPECT_EQ(h.Length(), 5103u);
    EXPECT_EQ(h.FindEndMark("END", 0), 5000u);
    h.Consume(5003);  // compacts: 10003 dead against 100 live
    EXPECT_EQ(h.Text(), std::string(100, 'b'));
    h.Append("xEN");
    EXPECT_EQ(h.FindEndMark("END", 0), HeldText::npos);
    h.Append("D");
    EXPECT_EQ(h.FindEndMark("END", 0), 101u);  // resumed across the split mark
    h.Consume(1000);
    EXPECT_TRUE(h.Empty());
}

TEST_F(FramingTest, LogLinesCarryPositionsRelativeToWhatIsHeld) {
    tavtest::ScopedDebugLog log;
    c_.handle = 12;
    framer_.BufferData(c_, "zzBEG");
    Read("abENDBEGcdENDBEGe");
    const std::vector<std::string> expected = {
        "Tag>T<TAVTcpSocketMgr - BufferData lenIn:5 lenCurrent:5<maxbufsize>1048576<str>zzBEG<",
        "Tag>T<TAVTcpSocketMgr - BufferData lenIn:17 lenCurrent:22<maxbufsize>1048576<str>abENDBEGcdENDBEGe<",
        "Tag>T<TAVTcpSocketMgr - IsRecvBufReadyToProcess:True<MsgStartsAt>6<MsgEndsAt>7"
        "<Len(HoldBuffer(Skt.handle))>22<Skt.Handle>12",
        "Tag>T<TAVTcpSocketMgr - ITAVSockNotify_DataReceived have data calling ProcessRecvBuf sckhandle>12"
        "<lenIn>17<str>abENDBEGcdENDBEGe<",
        "Tag>T<TAVTcpSocketMgr - IsRecvBufReadyToProcess:True<MsgStartsAt>6<MsgEndsAt>7"
        "<Len(HoldBuffer(Skt.handle))>22<Skt.Handle>12",
        "Tag>T<TAVTcpSocketMgr - ProcessRecvBuf len:2<MsgStartsAt>6<MsgEndsAt>7<MsgLen>2<str>ab<",
        "Tag>T<TAVTcpSocketMgr - IsRecvBufReadyToProcess:True<MsgStartsAt>4<MsgEndsAt>5"
        "<Len(HoldBuffer(Skt.handle))>12<Skt.Handle>12",
        "Tag>T<TAVTcpSocketMgr - ProcessRecvBuf - Have more data starting over.  MsgStartsAt>4 < MsgLen > 2",
        "Tag>T<TAVTcpSocketMgr - ProcessRecvBuf len:2<MsgStartsAt>4<MsgEndsAt>5<MsgLen>2<str>cd<",
        "Tag>T<TAVTcpSocketMgr - HAVE DATA<20 ?? IsRecvBufReadyToProcess:False<Skt.MsgBeginMark>BEG"
        "<Skt.MsgEndMark>END<MsgStartsAt>4<MsgEndsAt>0<Len(HoldBuffer(Skt.handle))>4<Skt.Handle>12<buffer>BEGe<",
        "Tag>T<TAVTcpSocketMgr - IsRecvBufReadyToProcess:False<MsgStartsAt>4<MsgEndsAt>0"
        "<Len(HoldBuffer(Skt.handle))>4<Skt.Handle>12",
    };
    EXPECT_EQ(log.Messages(), expected);
}

TEST_F(FramingTest, LongTextsAreLoggedByTheirEnds) {
    tavtest::ScopedDebugLog log;
    c_.maxSize = 100;
    const std::string data = "BEG" + std::string(70, 'a') + "b";
    Read(data);
    Read(std::string(30, 'c'));  // overflow
    const auto lines = log.Messages();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Tag>T<TAVTcpSocketMgr - BufferData lenIn:74 lenCurrent:74<maxbufsize>100<strleft70>BEG" +
                            std::string(67, 'a') + "<strright70>" + std::string(69, 'a') + "b<");
    EXPECT_EQ(lines[1], "Tag>T<TAVTcpSocketMgr - HAVE DATA>20 ?? IsRecvBufReadyToProcess:False<Skt.MsgBeginMark>BEG"
                        "<Skt.MsgEndMark>END<MsgStartsAt>4<MsgEndsAt>0<Len(HoldBuffer(Skt.handle))>74<Skt.Handle>7"
                        "<left20>BEG" + std::string(17, 'a') + "<right20>" + std::string(19, 'a') + "b<");
    EXPECT_EQ(lines[3], "Tag>T<TAVTcpSocketMgr - BufferData SOCKET ERR - OVERFLOW");
    EXPECT_EQ(lines[4], "Tag>T<TAVTcpSocketMgr - IsRecvBufReadyToProcess:False<MsgStartsAt>0<MsgEndsAt>0"
                        "<Len(HoldBuffer(Skt.handle))>0<Skt.Handle>7");
}

}  // namespace
