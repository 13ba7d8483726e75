// The manager's set of sockets: creation, DestroySocket's forms, the handle lookup, the
// manager's properties and its end while it still holds sockets.
#include <tavsock/CreateObject.hpp>
#include <tavsock/SockError.hpp>
#include <tavsock/TAVSocketMgr.hpp>

#include "core/SocketAccess.hpp"
#include "events/SocketMgrAccess.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/SockIntf.hpp"

#include <gtest/gtest.h>

namespace tav::test {
namespace {

namespace sk = sockintf;

class SocketMgrSetTest : public ::testing::Test {
protected:
    void SetUp() override { mgr = TAVSocketMgr::Create(); }

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

    std::shared_ptr<TAVSocketMgr> mgr;
};

TEST_F(SocketMgrSetTest, DestroySocketTakesAPositionTheObjectOrNumericText) {
    auto a = Datagram("a"), b = Datagram("b"), c = Datagram("c"), d = Datagram("d");
    EXPECT_FALSE(IsNonAsync(*b));

    EXPECT_TRUE(mgr->DestroySocket(Variant(int32_t{2})).IsEmpty());  // b
    EXPECT_TRUE(IsNonAsync(*b));
    EXPECT_TRUE(mgr->DestroySocket(Variant(c)).IsEmpty());
    EXPECT_TRUE(mgr->DestroySocket(Variant(" 2 ")).IsEmpty());  // d, now at position 2
    EXPECT_EQ(mgr->SocketCount(), 1);
    EXPECT_EQ(mgr->Item(Variant(int32_t{1})), a);
    EXPECT_FALSE(mgr->Contains(b));
    EXPECT_FALSE(mgr->IsValidKey("D"));
    EXPECT_EQ(SocketMgrAccess::SocketFromHandle(*mgr, d->Handle()), nullptr);
}

TEST_F(SocketMgrSetTest, DestroySocketOfNothingHeldReturnsMinusOneOrEmptyAndChangesNothing) {
    auto a = Datagram();
    auto other = TAVSocketMgr::Create();
    auto stranger = other->CreateSocket(TAVSockKind_Datagram);

    const Variant notHeld = mgr->DestroySocket(Variant(stranger));
    EXPECT_EQ(notHeld.type(), Variant::Type::Integer);
    EXPECT_EQ(notHeld.AsInteger(), -1);
    EXPECT_EQ(mgr->DestroySocket(Variant(int32_t{0})).AsInteger(), -1);
    EXPECT_EQ(mgr->DestroySocket(Variant()).AsInteger(), -1);
    EXPECT_EQ(mgr->DestroySocket(Variant("first")).AsInteger(), -1);  // text, not a number
    EXPECT_EQ(mgr->DestroySocket(Variant(TAVSockAddr::Create())).AsInteger(), -1);
    // A position beyond the count: nothing happens and nothing is reported to the caller.
    EXPECT_TRUE(mgr->DestroySocket(Variant(int32_t{2})).IsEmpty());
    EXPECT_EQ(mgr->SocketCount(), 1);
    EXPECT_FALSE(IsNonAsync(*a));
    EXPECT_TRUE(other->Contains(stranger));
}

TEST_F(SocketMgrSetTest, HandleLookupAnswersTheLowestPositionWhenAHandleIsReused) {
    auto old = Datagram();
    const int32_t handle = old->Handle();
    // Closed behind the object's back: the number is free for the next socket.
    ASSERT_EQ(sk::intclosesocket(handle), 0);
    auto reuser = Datagram();
    if (reuser->Handle() != handle) GTEST_SKIP() << "the system did not reuse the handle";
    auto twice = Datagram("first");
    ASSERT_EQ(SocketMgrAccess::AddSocket(*mgr, twice, "second"), 0);  // positions: old, reuser, twice, twice

    EXPECT_EQ(SocketMgrAccess::SocketFromHandle(*mgr, handle), old);
    EXPECT_EQ(SocketMgrAccess::IndexOfSocket(*mgr, twice), 3);
    EXPECT_TRUE(mgr->DestroySocket(Variant(int32_t{3})).IsEmpty());
    EXPECT_EQ(SocketMgrAccess::SocketFromHandle(*mgr, twice->Handle()), twice);  // still at 3
    EXPECT_EQ(SocketMgrAccess::IndexOfSocket(*mgr, twice), 3);
    EXPECT_TRUE(mgr->IsValidKey("second"));

    // The old object must not close the reused number when it goes.
    SocketAccess::SetHandle(*old, TAVSock_InvalidSocketHandle);
    EXPECT_TRUE(mgr->DestroySocket(Variant(int32_t{1})).IsEmpty());
    EXPECT_EQ(SocketMgrAccess::SocketFromHandle(*mgr, handle), reuser);
    EXPECT_EQ(SocketMgrAccess::SocketFromHandle(*mgr, 0), nullptr);
}

TEST_F(SocketMgrSetTest, CreateSocketRefusesABadKindAndAKeyInUse) {
    Diagnostics::Current().ResetForTesting();
    EXPECT_EQ(mgr->CreateSocket(3), nullptr);
    EXPECT_TRUE(mgr->IsEmpty());
    auto a = Datagram("Key");
    try {
        mgr->CreateSocket(TAVSockKind_Stream, "KEY");
        ADD_FAILURE() << "a key in use must raise";
    } catch (const SockError& e) {
        EXPECT_EQ(e.Number(), TAVSockets::kErrDuplicateKey);
    }
    EXPECT_EQ(mgr->SocketCount(), 1);
    EXPECT_TRUE(mgr->IsValidIndex(1));
    EXPECT_FALSE(mgr->IsValidIndex(2));
}

TEST_F(SocketMgrSetTest, EndingAManagerMakesItsSocketsNonAsyncBeforeTheStackStops) {
    const int before = sk::WSAStartupCount();
    auto a = Datagram(), b = Datagram("b"), c = mgr->CreateSocket(TAVSockKind_Stream);
    ASSERT_TRUE(c);
    mgr.reset();
    EXPECT_EQ(sk::WSAStartupCount(), before - 1);
    // Only the test holds them now; registrations dropped while the stack still ran.
    sk::WSADATA data;
    ASSERT_EQ(sk::intWSAStartup(0x0101, &data), 0);
    EXPECT_EQ(a.use_count() + b.use_count() + c.use_count(), 3);
    for (const TAVSocket* s : {a.get(), b.get(), c.get()}) EXPECT_TRUE(IsNonAsync(*s)) << sk::intWSAGetLastError();
    a.reset(), b.reset(), c.reset();
    sk::intWSACleanup();
}

TEST_F(SocketMgrSetTest, PropertiesOfTheManager) {
    auto created = std::dynamic_pointer_cast<TAVSocketMgr>(CreateObject("TAVSock.TAVSocketMgr"));
    ASSERT_TRUE(created);
    EXPECT_EQ(mgr->SockLibInfo()->CurrentVersion(), 257);
    EXPECT_TRUE(mgr->Util());
    EXPECT_TRUE(SocketMgrAccess::AsyncService(*mgr)->InternalEarlyBound());

    auto extra = mgr->ExtraData();
    ASSERT_TRUE(extra);
    EXPECT_EQ(mgr->ExtraData(), extra);

    mgr->Tag(Variant(int32_t{5}));
    mgr->Tag(Variant(int16_t{5}));  // equal: the stored copy stays
    EXPECT_EQ(mgr->Tag().type(), Variant::Type::Long);
    mgr->Tag(Variant(extra));
    EXPECT_EQ(mgr->Tag().AsObject(), extra);
}

}  // namespace
}  // namespace tav::test
