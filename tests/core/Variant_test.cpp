#include <tavsock/CreateObject.hpp>
#include <tavsock/Event.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/Text.hpp>
#include <tavsock/ValueStore.hpp>
#include <tavsock/Variant.hpp>

#include <gtest/gtest.h>

using namespace tav;

TEST(Variant, ConvertsNumbersAndTextTheWayTheObjectModelDoes) {
    EXPECT_TRUE(Variant().IsEmpty());
    EXPECT_EQ(Variant(int16_t(-5)).type(), Variant::Type::Integer);
    EXPECT_EQ(Variant(5).type(), Variant::Type::Long);
    EXPECT_EQ(Variant(" 42 ").AsLong(), 42);
    EXPECT_TRUE(Variant("3").IsNumeric());
    EXPECT_FALSE(Variant("3x").IsNumeric());
    EXPECT_FALSE(Variant("0x10").IsNumeric());
    EXPECT_EQ(Variant(2.5).AsLong(), 2);  // half to even
    EXPECT_EQ(Variant(true).AsLong(), -1);
    EXPECT_EQ(Variant(int16_t(7)).ToString(), "7");
    EXPECT_EQ(Variant(ByteArray{'a', 'b'}).ToString(), "ab");
    EXPECT_EQ(Variant(int16_t(3)), Variant(3));
    EXPECT_FALSE(Variant("3") == Variant(3));
}

TEST(Variant, CheckedAccessorsRaiseTypeMismatchAndOverflow) {
    try {
        (void)Variant(5).AsString();
        FAIL();
    } catch (const SockError& e) {
        EXPECT_EQ(e.Number(), 13);
    }
    EXPECT_THROW((void)Variant("abc").AsLong(), SockError);
    try {
        (void)Variant(70000).AsInteger();
        FAIL();
    } catch (const SockError& e) {
        EXPECT_EQ(e.Number(), 6);
    }
}

TEST(Variant, ObjectsCompareByIdentity) {
    auto a = ValueStore::Create();
    auto b = ValueStore::Create();
    EXPECT_EQ(Variant(a), Variant(a));
    EXPECT_FALSE(Variant(a) == Variant(b));
    EXPECT_EQ(Variant(a).ObjectAs<ValueStore>(), a);
}

TEST(Event, CallsSubscribersInOrderAndSurvivesUnsubscribeDuringDispatch) {
    Event<int, std::string&> ev;
    std::string trace;
    EventConnection second;
    auto first = ev.Subscribe([&](int v, std::string& s) {
        trace += "1:" + std::to_string(v) + ";";
        s = "changed";
        second.Disconnect();  // the later subscriber must not run in this dispatch
    });
    second = ev.Subscribe([&](int, std::string&) { trace += "2;"; });
    std::string arg = "x";
    ev(7, arg);
    EXPECT_EQ(trace, "1:7;");
    EXPECT_EQ(arg, "changed");
    first.Disconnect();
    EXPECT_FALSE(ev.HasSubscribers());
}

TEST(Event, HandlerMayDestroyTheOwnerOfTheEvent) {
    struct Owner {
        Event<> Fired;
    };
    auto owner = std::make_unique<Owner>();
    int calls = 0;
    owner->Fired.Subscribe([&] {
        ++calls;
        owner.reset();
    });
    owner->Fired.Subscribe([&] { ++calls; });
    auto* raw = owner.get();
    raw->Fired();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(owner, nullptr);
}

TEST(Text, FoldsTheLettersOfTheSingleByteCodePage) {
    EXPECT_TRUE(TextEqualNoCase("BeGin", "bEGIN"));
    EXPECT_TRUE(TextEqualNoCase("\xC4\xD6", "\xE4\xF6"));  // accented capitals fold too
    EXPECT_FALSE(TextEqualNoCase("\xD7", "\xF7"));          // multiplication and division signs do not
    EXPECT_EQ(FindNoCase("xxEnDyyEND", "END"), 2u);
    EXPECT_EQ(FindNoCase("xxEnDyyEND", "END", 3), 7u);
    EXPECT_EQ(FindNoCase("abc", "abcd"), std::string_view::npos);
}

TEST(CreateObject, CreatesByNameAndRejectsUnknownNames) {
    auto o = CreateObject("tavsock.valuestore");
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->TypeName(), "ValueStore");
    try {
        CreateObject("TAVSock.NoSuchClass");
        FAIL();
    } catch (const SockError& e) {
        EXPECT_EQ(e.Number(), kSockErrorBase + 1);
        EXPECT_EQ(e.Source(), "TAV Winsock Library");
        EXPECT_EQ(e.Description(), "Invalid Parameter");
    }
}
