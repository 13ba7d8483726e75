#include "base/SockErrors.hpp"
#include "platform/RaiseEvent.hpp"
#include "platform/SockTestUtil.hpp"

#include <tavsock/CreateObject.hpp>
#include <tavsock/Event.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/Text.hpp>
#include <tavsock/ValueStore.hpp>
#include <tavsock/Variant.hpp>

#include <random>
#include <string>
#include <string_view>

using namespace tav;
using namespace std::string_literals;
using tav::test::Raised;

TEST(Variant, ConvertsNumbersAndTextTheWayTheObjectModelDoesAndCheckedAccessorsRaise) {
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
    // Objects compare by identity; classes are also made by name, unknown names raise error 1.
    auto a = std::dynamic_pointer_cast<ValueStore>(CreateObject("tavsock.valuestore"));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->TypeName(), "ValueStore");
    EXPECT_EQ(Raised([] { CreateObject("TAVSock.NoSuchClass"); }), kSockErrorBase + 1);
    EXPECT_EQ(Variant(a), Variant(a));
    EXPECT_FALSE(Variant(a) == Variant(ValueStore::Create()));
    EXPECT_EQ(Variant(a).ObjectAs<ValueStore>(), a);

    // Checked accessors raise type mismatch (13) and overflow (6).
    EXPECT_EQ(Raised([] { (void)Variant(5).AsString(); }), 13);
    EXPECT_EQ(Raised([] { (void)Variant("abc").AsLong(); }), 13);
    EXPECT_EQ(Raised([] { (void)Variant(70000).AsInteger(); }), 6);
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
    RaiseEvent(ev, 7, arg);
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
    RaiseEvent(raw->Fired);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(owner, nullptr);

    // Ended inside a nested raise: both raises finish their snapshots, and a handle used after
    // the end (from the outer raise, then afterwards) does nothing harmful.
    owner = std::make_unique<Owner>();
    raw = owner.get();
    int depth = 0;
    int outerCalls = 0;
    EventConnection later;
    owner->Fired.Subscribe([&] {
        if (++depth == 1) {
            RaiseEvent(raw->Fired);
            later.Disconnect();
        } else {
            owner.reset();
        }
    });
    later = owner->Fired.Subscribe([&] { ++outerCalls; });
    RaiseEvent(raw->Fired);
    EXPECT_EQ(owner, nullptr);
    EXPECT_EQ(outerCalls, 1);  // the inner raise called it; the outer one found it disconnected
    later.Disconnect();
    EXPECT_FALSE(later.Connected());
}

TEST(Event, ScopedSubscriptionEndsWithItsScopeAndHostsCannotRaise) {
    // A host holds the event through its owner's public member; raising is not open to it.
    static_assert(!std::is_invocable_v<const Event<int>&, int>);
    auto ev = std::make_unique<Event<int>>();
    int seen = 0;
    auto kept = ev->Subscribe([&](int v) { seen += v; });  // explicit form: outlives its handle's scope
    {
        EventSubscription scoped = ev->SubscribeScoped([&](int v) { seen += 10 * v; });
        EventSubscription moved = std::move(scoped);  // the moved-from object ends nothing
        RaiseEvent(*ev, 1);
        EXPECT_EQ(seen, 11);
        EXPECT_TRUE(moved.Connected());
    }
    RaiseEvent(*ev, 1);
    EXPECT_EQ(seen, 12);

    // Released, a scoped subscription lives on; an owner gone before its subscription is fine.
    EventConnection released = ev->SubscribeScoped([&](int v) { seen += 100 * v; }).Release();
    EventSubscription late(ev->Subscribe([&](int) { ADD_FAILURE(); }));
    late.Disconnect();
    RaiseEvent(*ev, 1);
    EXPECT_EQ(seen, 113);
    EventSubscription outlives = ev->SubscribeScoped([](int) {});
    ev.reset();
    EXPECT_FALSE(outlives.Connected());
    kept.Disconnect();
    released.Disconnect();
}

TEST(SockErrors, LibraryErrorsCarryNumberSourceAndTextByCode) {
    const std::pair<int32_t, const char*> cases[] = {
        {1, "Invalid Parameter"},
        {2, "Operation invalid for current object state"},
        {3, "Error accessing specified host file"},
        {4, "Command argument contains CR, LF or NUL"},
        {10054, "WSAGetLastError Value 10054"},
    };
    for (const auto& [code, text] : cases) {
        try {
            RaiseSockError(code);
            ADD_FAILURE() << code;
        } catch (const SockError& e) {
            EXPECT_EQ(static_cast<uint32_t>(e.Number()), 0x80040200u + static_cast<uint32_t>(code));
            EXPECT_EQ(e.Source(), "TAV Winsock Library");
            EXPECT_EQ(e.Description(), text);
        }
    }
}

// Case-insensitive comparison, and the case-folding search against a one-byte-at-a-time
// reference: every byte value, needles of one to four characters, hits on either side of every
// sixteen-byte boundary.
namespace {

size_t Reference(std::string_view h, std::string_view n, size_t from) {
    if (from > h.size()) return std::string_view::npos;
    if (n.empty()) return from;
    for (size_t i = from; i + n.size() <= h.size(); ++i) {
        size_t k = 0;
        while (k < n.size() && FoldCase(h[i + k]) == FoldCase(n[k])) ++k;
        if (k == n.size()) return i;
    }
    return std::string_view::npos;
}

TEST(FindNoCase, AgreesWithTheReferenceOnEveryByteAndBoundaryAndEqualityFoldsOnlyLetters) {
    std::mt19937 random(14);
    // Needles whose characters fold (letters, accented capitals), pair only by the 0x20 bit
    // without folding (multiplication and division signs, '@' and '`'), or do not fold.
    const std::string needles[] = {"END", "e", "E", "\xE4", "\xD7\xF7", "@`", "\xDF\xFF", "beG", "x", "\x00\x01"s, "EnDx"};
    for (const std::string& needle : needles) {
        for (int round = 0; round < 200; ++round) {
            // Text mostly made of the needle's own characters in both cases, plus any byte.
            std::string text(static_cast<size_t>(random() % 70), ' ');
            for (char& c : text) {
                const unsigned pick = random() % 4;
                const char n = needle[random() % needle.size()];
                c = pick == 0   ? static_cast<char>(random() % 256)
                    : pick == 1 ? static_cast<char>(static_cast<unsigned char>(n) ^ 0x20)
                                : n;
            }
            for (size_t from = 0; from <= text.size() + 1; ++from)
                ASSERT_EQ(FindNoCase(text, needle, from), Reference(text, needle, from))
                    << "needle " << needle << " from " << from << " in " << text;
        }
    }

    // Equality folds the letters of the single-byte code page only.
    EXPECT_TRUE(TextEqualNoCase("BeGin", "bEGIN"));
    EXPECT_TRUE(TextEqualNoCase("\xC4\xD6", "\xE4\xF6"));  // accented capitals fold too
    EXPECT_FALSE(TextEqualNoCase("\xD7", "\xF7"));          // multiplication and division signs do not
    EXPECT_FALSE(TextEqualNoCase("ab", "abc"));
}

}  // namespace
