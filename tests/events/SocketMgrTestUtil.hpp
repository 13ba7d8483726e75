// Fixture of the socket manager tests: a manager on the test thread, a receiver that records
// every notification (reached through the events, or through the callback object in the
// tests that run by both routes), loopback connections made through the manager, and
// hand-made notifications posted to its window.
#pragma once

#include <tavsock/ITAVSockNotify.hpp>
#include <tavsock/TAVSocketMgr.hpp>

#include "core/SocketAccess.hpp"
#include "events/SocketMgrAccess.hpp"
#include "events/SocketMgrForwarding.hpp"
#include "platform/SockTestUtil.hpp"
#include "support/Recorder.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tav::test {

/// One notification as the receiver saw it, with the socket's state at that moment.
struct Call {
    std::string name;
    std::shared_ptr<TAVSocket> socket;
    int32_t value = 0;  // error code, event type, or the look-up handle
    bool isOOB = false;
    TAV_SocketState state = Skt_NotInitialized;
    TAV_SocketDisconnectKind kind = NotDisconnected;
};

class Recorder : public ITAVSockNotify, public support::Recorder<Call> {
public:
    std::shared_ptr<TAVHostInfo> host;

    void AsyncError(int32_t AsyncHandle, int32_t) override { Record({"AsyncError", nullptr, AsyncHandle}); }
    void HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) override {
        host = HostObject;
        Record({"HostResolved", nullptr, AsyncHandle});
    }
    void SocketError(int32_t ErrorCode, const std::shared_ptr<TAVSocket>& Socket) override {
        Record({"SocketError", Socket, ErrorCode});
    }
    void DataReceived(const std::shared_ptr<TAVSocket>& Skt, bool IsOOB) override {
        Record({"DataReceived", Skt, 0, IsOOB});
    }
    void DataSent(const std::shared_ptr<TAVSocket>& Skt) override { Record({"DataSent", Skt}); }
    void SocketNotification(const std::shared_ptr<TAVSocket>& Skt, int32_t& EventType) override {
        Record({"SocketNotification", Skt, EventType});
    }

    /// The calls named `name` for `socket` (any socket when null).
    std::vector<Call> Of(const std::string& name, const std::shared_ptr<TAVSocket>& socket = nullptr) const {
        return Where([&](const Call& c) { return c.name == name && (!socket || c.socket == socket); });
    }
    bool Notified(const std::shared_ptr<TAVSocket>& socket, int32_t eventType) const {
        return CountWhere([&](const Call& c) { return c.name == "SocketNotification" && c.socket == socket && c.value == eventType; }) > 0;
    }
    /// The calls for `socket` in order, DataSent left out (it comes whenever the socket can
    /// send): "DataReceived DataReceived:OOB SocketError:10054 SocketNotification:32".
    std::string Trace(const std::shared_ptr<TAVSocket>& socket) const {
        std::string out;
        for (const Call& c : entries) {
            if (c.socket != socket || c.name == "DataSent") continue;
            out += (out.empty() ? "" : " ") + c.name;
            if (c.name != "DataReceived") out += ":" + std::to_string(c.value);
            if (c.isOOB) out += ":OOB";
        }
        return out;
    }

private:
    void Record(Call c) {
        if (c.socket) c.state = c.socket->State(), c.kind = c.socket->DisconnectKind();
        Add(std::move(c));
    }
};

/// How notifications reach the receiver.
enum class Route { Callback, Events };

inline std::string RouteName(const ::testing::TestParamInfo<Route>& info) {
    return info.param == Route::Callback ? "CallbackObject" : "Events";
}

class SocketMgrTest : public ::testing::Test {
protected:
    /// The route of this test: the events, unless a test runs by both.
    virtual Route TheRoute() const { return Route::Events; }

    void SetUp() override {
        mgr = TAVSocketMgr::Create();
        // On the callback route the events are heard by a second receiver, which must stay deaf.
        if (TheRoute() == Route::Callback) mgr->CallbackObject(rec);
        ForwardSocketMgrEvents(*mgr, TheRoute() == Route::Callback ? strays : rec, links);
    }
    void TearDown() override {
        mgr.reset();
        EXPECT_TRUE(strays->entries.empty()) << "notifications went both ways";
    }

    /// A listening stream socket of the manager.
    std::shared_ptr<TAVSocket> Listener() {
        auto s = mgr->CreateSocket(TAVSockKind_Stream);
        auto local = TAVSockAddr::Create();
        local->IPAddress("127.0.0.1");
        EXPECT_TRUE(s && s->Bind(local) == 0 && s->Listen(5) == 0);
        return s;
    }

    /// A connection between two sockets of the manager: `client` (key "client") connected by
    /// Connect, `server` made by the listener's Accept once the accept notification came,
    /// with the states each notification found. The calls recorded on the way are cleared.
    void Connect(std::shared_ptr<TAVSocket>& client, std::shared_ptr<TAVSocket>& server) {
        listener = Listener();
        client = mgr->CreateSocket(TAVSockKind_Stream, "client");
        ASSERT_TRUE(listener && client);
        EXPECT_EQ(client->Connect(listener->LocalAddr()), -1);
        ASSERT_TRUE(PumpUntil([&] { return rec->Notified(listener, FD_ACCEPT); }));
        EXPECT_EQ(rec->Of("SocketNotification", listener)[0].state, Skt_ConnectionPending);
        std::shared_ptr<TAVSockAddr> peer;
        server = listener->Accept(mgr, peer);
        ASSERT_TRUE(server);
        // Registered under its handle in decimal; keys are found in any letter case.
        EXPECT_EQ(mgr->Item(Variant(std::to_string(server->Handle()))), server);
        EXPECT_EQ(mgr->Item(Variant("CLIENT")), client);
        // Both ends are told once that they can send; after that the trace is quiet.
        ASSERT_TRUE(PumpUntil([&] {
            return rec->Notified(client, FD_CONNECT) && !rec->Of("DataSent", client).empty() &&
                   !rec->Of("DataSent", server).empty();
        }));
        RunPendingMessages();
        EXPECT_EQ(rec->Of("DataSent", client).size(), 1u);
        EXPECT_EQ(rec->Of("DataSent", server).size(), 1u);
        const Call connected = rec->Of("SocketNotification", client)[0];
        EXPECT_EQ(connected.state, Skt_Ready);
        EXPECT_EQ(connected.kind, NotDisconnected);
        rec->entries.clear();
    }

    /// Connects a client to a server and lets the server be told of five bytes from the client,
    /// which it leaves unread. Then, with the record cleared and `onCall` in place, destroys the
    /// client: its handle closes, and the server's close notification is under way.
    void CloseClientWithUnreadData(std::shared_ptr<TAVSocket>& server, std::function<void(const Call&)> onCall) {
        rec->onEntry = nullptr;
        std::shared_ptr<TAVSocket> client;
        Connect(client, server);
        client->Send(Variant("hello"));
        ASSERT_TRUE(PumpUntil([&] { return !rec->Of("DataReceived", server).empty(); }));
        rec->entries.clear();
        rec->onEntry = std::move(onCall);
        mgr->DestroySocket(Variant(client));
    }

    /// Posts a socket notification to the manager's window, as the socket layer would.
    void PostNotification(int32_t handle, int32_t event, int32_t error = 0) {
        const int32_t hWnd = SocketMgrAccess::AsyncService(*mgr)->WindowHandle();
        ASSERT_TRUE(platform::PostMessageTo(hWnd, TAVAsyncSocket::kSocketMessage, static_cast<uintptr_t>(handle),
                                            (error << 16) | event));
    }
    /// Posts a notification that gives SocketError(1, empty) and pumps until it arrived: what
    /// was posted before has been handled then. The marker is taken out of the record.
    void Settle() {
        auto isMarker = [](const Call& c) { return c.name == "SocketError" && c.value == 1 && !c.socket; };
        PostNotification(0, FD_READ, 1);
        ASSERT_TRUE(PumpUntil([&] { return rec->CountWhere(isMarker) > 0; }));
        std::erase_if(rec->entries, isMarker);
    }

    std::shared_ptr<Recorder> rec = std::make_shared<Recorder>(), strays = std::make_shared<Recorder>();
    std::vector<EventConnection> links;
    std::shared_ptr<TAVSocketMgr> mgr;
    std::shared_ptr<TAVSocket> listener;
};

/// The tests whose outcome may depend on the route: each runs once per route.
class SocketMgrRoutes : public SocketMgrTest, public ::testing::WithParamInterface<Route> {
protected:
    Route TheRoute() const override { return GetParam(); }
};

}  // namespace tav::test
