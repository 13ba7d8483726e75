// The socket collection: positions, keys, checks, enumeration and persistence.
#include <tavsock/CreateObject.hpp>
#include <tavsock/TAVSockets.hpp>
#include <tavsock/TAVSocket.hpp>

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
    static std::string LastSource() { return Diagnostics::Current().LastFailures().back().source; }

    std::shared_ptr<TAVSockets> sockets = TAVSockets::Create();
    std::shared_ptr<TAVSocket> first = SocketAccess::Create(), second = SocketAccess::Create(),
                               third = SocketAccess::Create();
};

template <class Fn>
int32_t ErrorOf(Fn fn) {
    try {
        fn();
    } catch (const SockError& e) {
        return e.Number();
    }
    return 0;
}

TEST_F(SocketsTest, PositionsAndKeysInAnyLetterCase) {
    sockets->Add(first, "Alpha");
    sockets->Add(second);
    sockets->Add(third, "Gamma");
    EXPECT_EQ(sockets->Count(), 3);
    EXPECT_EQ(sockets->Item(Variant(int32_t{2})), second);
    EXPECT_EQ(sockets->Item(Variant(int16_t{3})), third);
    EXPECT_EQ(sockets->Item(Variant("aLPHA")), first);
    EXPECT_TRUE(sockets->IsValidKey("GAMMA"));
    EXPECT_FALSE(sockets->IsValidKey(""));
    EXPECT_FALSE(sockets->IsValidIndex(0));
    EXPECT_TRUE(sockets->IsValidIndex(3));
    EXPECT_FALSE(sockets->IsValidIndex(4));
    EXPECT_EQ(Failures(), 0);

    sockets->Remove(Variant(int32_t{1}));
    EXPECT_EQ(sockets->Item(Variant(int32_t{1})), second);
    EXPECT_FALSE(sockets->IsValidKey("alpha"));
    sockets->Remove(Variant("gamma"));
    EXPECT_EQ(sockets->Count(), 1);
}

TEST_F(SocketsTest, BadIndexesAreReportedAndRaiseInvalidParameter) {
    const int32_t invalidParameter = SockErrorNumber(kErrInvalidParameter);
    // Empty: both checks fail.
    EXPECT_EQ(ErrorOf([&] { sockets->Item(Variant(int32_t{1})); }), invalidParameter);
    EXPECT_EQ(Failures(), 2);
    EXPECT_EQ(Diagnostics::Current().LastFailures().front().text, "Collection can't be empty");
    EXPECT_EQ(Diagnostics::Current().LastFailures().front().source, "TAVSock.TAVSockets.Item");
    EXPECT_EQ(LastSource(), "TAVSock.TAVSockets.Get Item");

    sockets->Add(first, "1");
    Diagnostics::Current().ResetForTesting();
    EXPECT_EQ(ErrorOf([&] { sockets->Item(Variant(int32_t{2})); }), invalidParameter);
    EXPECT_EQ(ErrorOf([&] { sockets->Item(Variant("none")); }), invalidParameter);
    EXPECT_EQ(ErrorOf([&] { sockets->Item(Variant(first)); }), invalidParameter);
    EXPECT_EQ(ErrorOf([&] { sockets->Remove(Variant(int32_t{0})); }), invalidParameter);
    EXPECT_EQ(LastSource(), "TAVSock.TAVSockets.Remove");
    EXPECT_EQ(Failures(), 4);
    // Numeric text is a key, not a position.
    EXPECT_EQ(sockets->Item(Variant("1")), first);
    EXPECT_EQ(sockets->Count(), 1);
}

TEST_F(SocketsTest, DuplicateKeyRaisesAndChangesNothingEmptyKeyIsNoKey) {
    sockets->Add(first, "k");
    EXPECT_EQ(ErrorOf([&] { sockets->Add(second, "K"); }), TAVSockets::kErrDuplicateKey);
    EXPECT_EQ(sockets->Count(), 1);
    EXPECT_EQ(ErrorOf([&] { sockets->Add(nullptr); }), SockErrorNumber(kErrInvalidParameter));
    sockets->Add(second, "");
    sockets->Add(third);
    EXPECT_EQ(sockets->Count(), 3);
    EXPECT_FALSE(sockets->IsValidKey(""));
    sockets->Clear();
    sockets->Clear();
    EXPECT_TRUE(sockets->IsEmpty());
}

TEST_F(SocketsTest, ContainsComparesIdentityNotTheHandle) {
    SocketAccess::SetHandle(*first, 7);
    SocketAccess::SetHandle(*second, 7);  // another object on the same handle
    sockets->Add(first);
    EXPECT_TRUE(sockets->Contains(first));
    EXPECT_FALSE(sockets->Contains(second));
    EXPECT_FALSE(sockets->Contains(nullptr));
    SocketAccess::SetHandle(*first, -1);  // neither owns handle 7
    SocketAccess::SetHandle(*second, -1);
}

TEST_F(SocketsTest, EnumerationInPositionOrderAndSnapshotSurvivesRemoval) {
    sockets->Add(first);
    sockets->Add(second);
    sockets->Add(third);
    std::vector<std::shared_ptr<TAVSocket>> seen;
    for (const auto& s : *sockets) seen.push_back(s);
    EXPECT_EQ(seen, (std::vector<std::shared_ptr<TAVSocket>>{first, second, third}));
    for (const auto& s : sockets->NewEnum())
        if (s != second) sockets->Remove(Variant(s == first ? int32_t{1} : int32_t{2}));
    ASSERT_EQ(sockets->Count(), 1);
    EXPECT_EQ(sockets->Item(Variant(int32_t{1})), second);
}

TEST_F(SocketsTest, PersistenceRoundTripOfSeveralItems) {
    auto created = std::dynamic_pointer_cast<TAVSockets>(CreateObject("TAVSock.TAVSockets"));
    ASSERT_TRUE(created);
    sockets->Add(first, "a");
    sockets->Add(second);
    sockets->Add(third, "c");
    MemoryPropertyBag bag;
    sockets->WriteProperties(bag);
    EXPECT_EQ(bag.ReadProperty("TypeName").AsString(), "TAVSockets");
    EXPECT_EQ(bag.ReadProperty("Count").AsLong(), 3);

    created->ReadProperties(bag);
    ASSERT_EQ(created->Count(), 3);
    EXPECT_EQ(created->Item(Variant(int32_t{1})), first);
    EXPECT_EQ(created->Item(Variant(int32_t{3})), third);
    EXPECT_FALSE(created->IsValidKey("a"));  // keys are not saved

    // Another type name changes nothing; a short store stops at the gap, with a report.
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
    EXPECT_EQ(other->Count(), 2);
    EXPECT_EQ(Failures(), 2);
}

}  // namespace
}  // namespace tav::test
