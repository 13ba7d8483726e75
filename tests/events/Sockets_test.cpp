// The socket collection (positions, keys, checks, enumeration, persistence) and the manager's
// set of sockets (creation, DestroySocket's forms, the handle lookup, the manager's properties
// and its end while it still holds sockets).
#include <tavsock/CreateObject.hpp>
#include <tavsock/TAVSocket.hpp>
#include <tavsock/TAVSocketMgr.hpp>
#include <tavsock/TAVSockets.hpp>

#include "base/SockErrors.hpp"
#include "core/SocketAccess.hpp"
#include "events/SocketHandleIndex.hpp"
#include "events/SocketMgrAccess.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/SockTestUtil.hpp"

namespace tav::test {
namespace {

namespace sk = sockintf;

class SocketsTest : public ::testing::Test {
protected:
    void SetUp() override { Diagnostics::Current().ResetForTesting(); }
    static int64_t Failures() { return Diagnostics::Current().FailureCount(); }
    static const Diagnostics::Failure& Last() { return Diagnostics::Current().LastFailures().back(); }
    static Variant At(int32_t position) { return Variant(position); }

    std::shared_ptr<TAVSockets> sockets = TAVSockets::Create();
    std::shared_ptr<TAVSocket> first = SocketAccess::Create(), second = SocketAccess::Create(),
                               third = SocketAccess::Create();
};

TEST_F(SocketsTest, PositionsKeysInAnyLetterCaseEnumerationAndRemoveClosesTheGap) {
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
    // A key in use, in any letter case, or no object: raised, and nothing changes.
    EXPECT_EQ(Raised([&] { sockets->Add(second, "GAMMA"); }), TAVSockets::kErrDuplicateKey);
    EXPECT_EQ(Raised([&] { sockets->Add(nullptr); }), SockErrorNumber(kErrInvalidParameter));
    EXPECT_EQ(sockets->Count(), 3);
    EXPECT_EQ(Failures(), 0);

    // Enumeration goes in position order, over a snapshot that survives removal.
    std::vector<std::shared_ptr<TAVSocket>> seen(sockets->begin(), sockets->end());
    EXPECT_EQ(seen, sockets->NewEnum());
    EXPECT_EQ(seen, (std::vector<std::shared_ptr<TAVSocket>>{first, second, third}));
    for (const auto& s : sockets->NewEnum())
        if (s == first) sockets->Remove(At(1));
    EXPECT_EQ(sockets->Item(At(1)), second);
    EXPECT_FALSE(sockets->IsValidKey("alpha"));
    // Identity, not the handle: every socket here has none.
    EXPECT_TRUE(sockets->Contains(second));
    EXPECT_FALSE(sockets->Contains(first));
    sockets->Remove(Variant("gamma"));
    EXPECT_EQ(sockets->Count(), 1);
    sockets->Clear();
    sockets->Clear();
    EXPECT_TRUE(sockets->IsEmpty());
}

TEST_F(SocketsTest, BadIndexesAreReportedAndRaiseInvalidParameter) {
    const int32_t invalidParameter = SockErrorNumber(kErrInvalidParameter);
    EXPECT_EQ(Raised([&] { sockets->Item(At(1)); }), invalidParameter);
    ASSERT_EQ(Failures(), 2);  // empty, and no such position
    EXPECT_EQ(Diagnostics::Current().LastFailures()[0].text, "Collection can't be empty");
    EXPECT_EQ(Diagnostics::Current().LastFailures()[0].source, "TAVSock.TAVSockets.Item");
    EXPECT_EQ(Last().source, "TAVSock.TAVSockets.Get Item");

    sockets->Add(first, "1");
    Diagnostics::Current().ResetForTesting();
    for (const Variant& bad : {At(2), Variant("none"), Variant(first)})
        EXPECT_EQ(Raised([&] { sockets->Item(bad); }), invalidParameter) << Diagnostics::TextOfValue(bad);
    EXPECT_EQ(Raised([&] { sockets->Remove(At(0)); }), invalidParameter);
    EXPECT_EQ(Last().source, "TAVSock.TAVSockets.Remove");
    EXPECT_EQ(Failures(), 4);
    EXPECT_EQ(sockets->Item(Variant("1")), first);  // numeric text is a key
    EXPECT_EQ(sockets->Count(), 1);
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

class SocketMgrSetTest : public SocketsTest {
protected:
    std::shared_ptr<TAVSocket> Datagram(const std::string& key = "") {
        auto s = mgr->CreateSocket(TAVSockKind_Datagram, key);
        EXPECT_TRUE(s);
        return s;
    }
    /// True when the socket layer lets the handle go back to blocking mode, which it refuses
    /// while the handle is registered for notifications.
    static bool IsNonAsync(const TAVSocket& s) {
        uint32_t off = 0;
        return sk::intioctlsocket(s.Handle(), sk::FIONBIO_W, &off) == 0;
    }

    std::shared_ptr<TAVSocketMgr> mgr = TAVSocketMgr::Create();
};

// Each form of DestroySocket (a position, the object, numeric text) finds its socket, in any
// order among many: the socket is no longer watched nor found by its handle, and the rest keep
// their order. What is not held is left alone.
TEST_F(SocketMgrSetTest, DestroySocketTakesAPositionTheObjectOrNumericTextAndKeepsTheOthersInOrder) {
    std::vector<std::shared_ptr<TAVSocket>> left;
    for (int i = 0; i < 40; ++i) left.push_back(Datagram());
    // The manager checks what its handle index answers against the collection; a second index
    // kept in step shows the answers are right by themselves, across its reorganisations.
    SocketHandleIndex mirror;
    for (const auto& s : left) mirror.Append(s);
    // Nothing held: -1 (an Integer), or nothing at all for a position beyond the count; the
    // sockets stay registered (checked before each removal below).
    auto other = TAVSocketMgr::Create();
    auto stranger = other->CreateSocket(TAVSockKind_Datagram);
    const Variant notHeld = mgr->DestroySocket(Variant(stranger));
    EXPECT_EQ(notHeld.type(), Variant::Type::Integer);
    EXPECT_EQ(notHeld.AsInteger(), -1);
    for (const Variant& v : {At(0), Variant(), Variant("first"), Variant(TAVSockAddr::Create())})
        EXPECT_EQ(mgr->DestroySocket(v).AsInteger(), -1) << Diagnostics::TextOfValue(v);
    EXPECT_TRUE(mgr->DestroySocket(At(41)).IsEmpty());
    EXPECT_TRUE(other->Contains(stranger));
    for (size_t k = 0; !left.empty(); ++k) {
        const size_t at = (k * 7) % left.size();
        const auto victim = left[at];
        const int32_t position = static_cast<int32_t>(at + 1);
        const Variant how = k % 3 == 0 ? At(position) : k % 3 == 1 ? Variant(victim) : Variant(" " + std::to_string(position) + " ");
        ASSERT_FALSE(IsNonAsync(*victim));
        EXPECT_TRUE(mgr->DestroySocket(how).IsEmpty());
        mirror.RemoveAt(position);
        EXPECT_TRUE(IsNonAsync(*victim)) << k;
        EXPECT_EQ(SocketMgrAccess::SocketFromHandle(*mgr, victim->Handle()), nullptr) << k;
        std::erase(left, victim);
        ASSERT_EQ(mgr->SocketCount(), static_cast<int32_t>(left.size()));
        for (size_t p = 0; p < left.size(); ++p) {
            ASSERT_EQ(mgr->Item(At(static_cast<int32_t>(p + 1))), left[p]);
            ASSERT_EQ(mirror.PositionOf(left[p]), static_cast<int32_t>(p + 1));
        }
        EXPECT_EQ(mirror.PositionOf(victim), 0);
    }
}

TEST_F(SocketMgrSetTest, HandleLookupAnswersTheLowestPositionWhenAHandleIsReused) {
    auto old = Datagram();
    const int32_t handle = old->Handle();
    ASSERT_EQ(sk::intclosesocket(handle), 0);  // behind the object's back: the number is free
    auto reuser = Datagram();
    if (reuser->Handle() != handle) GTEST_SKIP() << "the system did not reuse the handle";
    auto twice = Datagram("first");
    ASSERT_EQ(SocketMgrAccess::AddSocket(*mgr, twice, "second"), 0);  // old, reuser, twice, twice

    EXPECT_EQ(SocketMgrAccess::SocketFromHandle(*mgr, handle), old);
    EXPECT_TRUE(mgr->DestroySocket(At(3)).IsEmpty());
    EXPECT_EQ(SocketMgrAccess::SocketFromHandle(*mgr, twice->Handle()), twice);  // still at 3
    EXPECT_EQ(SocketMgrAccess::IndexOfSocket(*mgr, twice), 3);
    EXPECT_TRUE(mgr->IsValidKey("second"));

    SocketAccess::SetHandle(*old, TAVSock_InvalidSocketHandle);  // must not close the reused number
    EXPECT_TRUE(mgr->DestroySocket(At(1)).IsEmpty());
    EXPECT_EQ(SocketMgrAccess::SocketFromHandle(*mgr, handle), reuser);
    EXPECT_EQ(SocketMgrAccess::SocketFromHandle(*mgr, 0), nullptr);
}

TEST_F(SocketMgrSetTest, CreationAndPropertiesThenEndingAManagerMakesItsSocketsNonAsyncBeforeTheStackStops) {
    EXPECT_TRUE(std::dynamic_pointer_cast<TAVSocketMgr>(CreateObject("TAVSock.TAVSocketMgr")));
    EXPECT_EQ(mgr->SockLibInfo()->CurrentVersion(), 257);
    EXPECT_TRUE(mgr->Util());
    EXPECT_TRUE(SocketMgrAccess::AsyncService(*mgr)->InternalEarlyBound());
    auto extra = mgr->ExtraData();
    EXPECT_TRUE(extra && mgr->ExtraData() == extra);
    mgr->Tag(Variant(int32_t{5}));
    mgr->Tag(Variant(int16_t{5}));  // equal: the stored copy stays
    EXPECT_EQ(mgr->Tag().type(), Variant::Type::Long);

    EXPECT_EQ(mgr->CreateSocket(3), nullptr);  // not a kind: nothing is held
    EXPECT_TRUE(mgr->IsEmpty());
    Datagram("Key");
    EXPECT_EQ(Raised([&] { mgr->CreateSocket(TAVSockKind_Stream, "KEY"); }), TAVSockets::kErrDuplicateKey);
    EXPECT_EQ(mgr->SocketCount(), 1);

    const int before = sk::WSAStartupCount();
    auto a = Datagram(), b = Datagram("b"), c = mgr->CreateSocket(TAVSockKind_Stream);
    mgr.reset();
    EXPECT_EQ(sk::WSAStartupCount(), before - 1);
    EXPECT_EQ(a.use_count() + b.use_count() + c.use_count(), 3);  // only the test holds them
    // Registrations were dropped while the stack still ran; the stack is needed to look.
    sk::WSADATA data;
    ASSERT_EQ(sk::intWSAStartup(0x0101, &data), 0);
    for (const TAVSocket* s : {a.get(), b.get(), c.get()}) EXPECT_TRUE(IsNonAsync(*s)) << sk::intWSAGetLastError();
    a.reset(), b.reset(), c.reset();
    sk::intWSACleanup();
}

}  // namespace
}  // namespace tav::test
