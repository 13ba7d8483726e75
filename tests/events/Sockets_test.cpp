// The socket collection: positions, keys, checks, enumeration and persistence.
#include <tavsock/CreateObject.hpp>
#include <tavsock/TAVSocket.hpp>
#include <tavsock/TAVSockets.hpp>

#include "core/SockErrors.hpp"
#include "core/SocketAccess.hpp"
#include "platform/Diagnostics.hpp"

#include <gtest/gtest.h>

namespace tav::test {
namespace {

class SocketsTest : public ::testing::Test {
protected:
    void SetUp() override { Diagnostics::Current().ResetForTesting(); }
    static int64_t Failures() { return Diagnostics::Current().FailureCount(); }
    static const Diagnostics::Failure& Last() { return Diagnostics::Current().LastFailures().back(); }
    static Variant At(int32_t position) { return Variant(position); }
    template <class Fn>
    static int32_t ErrorOf(Fn fn) {
        try {
            fn();
        } catch (const SockError& e) {
            return e.Number();
        }
        return 0;
    }

    std::shared_ptr<TAVSockets> sockets = TAVSockets::Create();
    std::shared_ptr<TAVSocket> first = SocketAccess::Create(), second = SocketAccess::Create(),
                               third = SocketAccess::Create();
};

TEST_F(SocketsTest, PositionsAndKeysInAnyLetterCaseAndRemoveClosesTheGap) {
    sockets->Add(first, "Alpha");
    sockets->Add(second, "");  // no key, as without the argument
    sockets->Add(third, "Gamma");
    EXPECT_EQ(sockets->Item(At(2)), second);
    EXPECT_EQ(sockets->Item(Variant("aLPHA")), first);
    EXPECT_TRUE(sockets->IsValidKey("GAMMA"));
    EXPECT_FALSE(sockets->IsValidKey(""));
    EXPECT_FALSE(sockets->IsValidIndex(0));
    EXPECT_TRUE(sockets->IsValidIndex(3));
    EXPECT_FALSE(sockets->IsValidIndex(4));
    EXPECT_EQ(Failures(), 0);

    sockets->Remove(At(1));
    EXPECT_EQ(sockets->Item(At(1)), second);
    EXPECT_FALSE(sockets->IsValidKey("alpha"));
    sockets->Remove(Variant("gamma"));
    EXPECT_EQ(sockets->Count(), 1);
}

TEST_F(SocketsTest, BadIndexesAreReportedAndRaiseInvalidParameter) {
    const int32_t invalidParameter = SockErrorNumber(kErrInvalidParameter);
    EXPECT_EQ(ErrorOf([&] { sockets->Item(At(1)); }), invalidParameter);
    ASSERT_EQ(Failures(), 2);  // empty, and no such position
    EXPECT_EQ(Diagnostics::Current().LastFailures().front().text, "Collection can't be empty");
    EXPECT_EQ(Diagnostics::Current().LastFailures().front().source, "TAVSock.TAVSockets.Item");
    EXPECT_EQ(Last().source, "TAVSock.TAVSockets.Get Item");

    sockets->Add(first, "1");
    Diagnostics::Current().ResetForTesting();
    for (const Variant& bad : {At(2), Variant("none"), Variant(first)})
        EXPECT_EQ(ErrorOf([&] { sockets->Item(bad); }), invalidParameter) << Diagnostics::TextOfValue(bad);
    EXPECT_EQ(ErrorOf([&] { sockets->Remove(At(0)); }), invalidParameter);
    EXPECT_EQ(Last().source, "TAVSock.TAVSockets.Remove");
    EXPECT_EQ(Failures(), 4);
    EXPECT_EQ(sockets->Item(Variant("1")), first);  // numeric text is a key
    EXPECT_EQ(sockets->Count(), 1);
}

TEST_F(SocketsTest, DuplicateKeyOrEmptyReferenceRaisesAndChangesNothing) {
    sockets->Add(first, "k");
    EXPECT_EQ(ErrorOf([&] { sockets->Add(second, "K"); }), TAVSockets::kErrDuplicateKey);
    EXPECT_EQ(ErrorOf([&] { sockets->Add(nullptr); }), SockErrorNumber(kErrInvalidParameter));
    EXPECT_EQ(sockets->Count(), 1);
    sockets->Clear();
    sockets->Clear();
    EXPECT_TRUE(sockets->IsEmpty());
}

TEST_F(SocketsTest, ContainsComparesIdentityNotTheHandle) {
    SocketAccess::SetHandle(*first, 7);
    SocketAccess::SetHandle(*second, 7);
    sockets->Add(first);
    EXPECT_TRUE(sockets->Contains(first));
    EXPECT_FALSE(sockets->Contains(second));
    SocketAccess::SetHandle(*first, -1);  // neither owns handle 7
    SocketAccess::SetHandle(*second, -1);
}

TEST_F(SocketsTest, EnumerationInPositionOrderAndASnapshotThatSurvivesRemoval) {
    for (const auto& s : {first, second, third}) sockets->Add(s);
    std::vector<std::shared_ptr<TAVSocket>> seen(sockets->begin(), sockets->end());
    EXPECT_EQ(seen, sockets->NewEnum());
    EXPECT_EQ(seen, (std::vector<std::shared_ptr<TAVSocket>>{first, second, third}));
    for (const auto& s : sockets->NewEnum())
        if (s != second) sockets->Remove(At(s == first ? 1 : 2));
    ASSERT_EQ(sockets->Count(), 1);
    EXPECT_EQ(sockets->Item(At(1)), second);
}

TEST_F(SocketsTest, PersistenceRoundTripOfSeveralItems) {
    sockets->Add(first, "a");
    sockets->Add(second);
    sockets->Add(third, "c");
    MemoryPropertyBag bag;
    sockets->WriteProperties(bag);
    EXPECT_EQ(bag.ReadProperty("TypeName").AsString(), "TAVSockets");
    EXPECT_EQ(bag.ReadProperty("Count").AsLong(), 3);
    auto restored = std::dynamic_pointer_cast<TAVSockets>(CreateObject("TAVSock.TAVSockets"));
    ASSERT_TRUE(restored);
    restored->ReadProperties(bag);
    EXPECT_EQ(restored->NewEnum(), sockets->NewEnum());
    EXPECT_FALSE(restored->IsValidKey("a"));  // keys are not saved

    // Another type name changes nothing; a short store stops at its gap, with a report.
    MemoryPropertyBag foreign;
    foreign.WriteProperty("TypeName", Variant("TAVSockAddr"));
    foreign.WriteProperty("Count", Variant(int32_t{1}));
    foreign.WriteProperty("Item1", Variant(first));
    auto other = TAVSockets::Create();
    other->ReadProperties(foreign);
    EXPECT_TRUE(other->IsEmpty());
    bag.WriteProperty("Count", Variant(int32_t{1000000}));
    bag.WriteProperty("Item2", Variant("not a socket"));
    other->ReadProperties(bag);
    EXPECT_EQ(other->NewEnum(), (std::vector<std::shared_ptr<TAVSocket>>{first, third}));
    EXPECT_EQ(Failures(), 2);
}

}  // namespace
}  // namespace tav::test
