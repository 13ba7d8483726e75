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
    static Variant At(int32_t position) { return Variant(position); }

    std::shared_ptr<TAVSocketMgr> mgr = TAVSocketMgr::Create();
};

TEST_F(SocketMgrSetTest, DestroySocketTakesAPositionTheObjectOrNumericText) {
    auto a = Datagram("a"), b = Datagram("b"), c = Datagram("c"), d = Datagram("d");
    EXPECT_FALSE(IsNonAsync(*b));
    EXPECT_TRUE(mgr->DestroySocket(At(2)).IsEmpty());  // b
    EXPECT_TRUE(IsNonAsync(*b));
    EXPECT_TRUE(mgr->DestroySocket(Variant(c)).IsEmpty());
    EXPECT_TRUE(mgr->DestroySocket(Variant(" 2 ")).IsEmpty());  // d, now at position 2
    EXPECT_EQ(mgr->SocketCount(), 1);
    EXPECT_EQ(mgr->Item(At(1)), a);
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
    for (const Variant& v : {At(0), Variant(), Variant("first"), Variant(TAVSockAddr::Create())})
        EXPECT_EQ(mgr->DestroySocket(v).AsInteger(), -1) << Diagnostics::TextOfValue(v);
    // A position beyond the count: nothing happens and nothing reaches the caller.
    EXPECT_TRUE(mgr->DestroySocket(At(2)).IsEmpty());
    EXPECT_EQ(mgr->SocketCount(), 1);
    EXPECT_FALSE(IsNonAsync(*a));
    EXPECT_TRUE(other->Contains(stranger));
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

TEST_F(SocketMgrSetTest, EndingAManagerMakesItsSocketsNonAsyncBeforeTheStackStops) {
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

TEST_F(SocketMgrSetTest, CreationAndProperties) {
    EXPECT_TRUE(std::dynamic_pointer_cast<TAVSocketMgr>(CreateObject("TAVSock.TAVSocketMgr")));
    EXPECT_EQ(mgr->SockLibInfo()->CurrentVersion(), 257);
    EXPECT_TRUE(mgr->Util());
    EXPECT_TRUE(SocketMgrAccess::AsyncService(*mgr)->InternalEarlyBound());
    auto extra = mgr->ExtraData();
    EXPECT_TRUE(extra && mgr->ExtraData() == extra);
    mgr->Tag(Variant(int32_t{5}));
    mgr->Tag(Variant(int16_t{5}));  // equal: the stored copy stays
    EXPECT_EQ(mgr->Tag().type(), Variant::Type::Long);
    mgr->Tag(Variant(extra));
    EXPECT_EQ(mgr->Tag().AsObject(), extra);

    EXPECT_EQ(mgr->CreateSocket(3), nullptr);  // not a kind: nothing is held
    EXPECT_TRUE(mgr->IsEmpty());
    Datagram("Key");
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

}  // namespace
}  // namespace tav::test
