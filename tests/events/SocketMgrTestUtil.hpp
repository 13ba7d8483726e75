// Fixture of the socket manager tests: a manager on the test thread, a receiver that records
// every notification (reached through the callback object or through the events), loopback
// connections made through the manager, and hand-made notifications posted to its window.
#pragma once

#include <tavsock/ITAVSockNotify.hpp>
#include <tavsock/MessageLoop.hpp>
#include <tavsock/TAVSocketMgr.hpp>

#include "core/SocketAccess.hpp"
#include "events/SocketMgrAccess.hpp"
#include "events/TAVAsyncSocket.hpp"
#include "platform/Diagnostics.hpp"
#include "platform/MessageQueue.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tav::test {

/// One notification as the receiver saw it, with the socket's state at that moment.
struct Call {
    std::string name;
    std::shared_ptr<TAVSocket> socket;
    int32_t value = 0;  // error code, event type, async handle
    bool isOOB = false;
    TAV_SocketState state = Skt_NotInitialized;
    TAV_SocketDisconnectKind kind = NotDisconnected;
};

class Recorder : public ITAVSockNotify {
public:
    std::vector<Call> calls;
    /// Runs inside each notification, after it is recorded.
    std::function<void(const Call&)> onCall;

    void AsyncError(int32_t AsyncHandle, int32_t ErrorCode) override {
        Record({"AsyncError", nullptr, ErrorCode}, AsyncHandle);
    }
    void HostResolved(int32_t AsyncHandle, const std::shared_ptr<TAVHostInfo>& HostObject) override {
        host = HostObject;
        Record({"HostResolved", nullptr, 0}, AsyncHandle);
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

    std::shared_ptr<TAVHostInfo> host;
    int32_t lastAsyncHandle = 0;

    /// The calls named `name` for `socket` (any socket when null).
    std::vector<Call> Of(const std::string& name, const std::shared_ptr<TAVSocket>& socket = nullptr) const {
        std::vector<Call> out;
        for (const Call& c : calls)
            if (c.name == name && (!socket || c.socket == socket)) out.push_back(c);
        return out;
    }
    bool Has(const std::string& name, const std::shared_ptr<TAVSocket>& socket, int32_t value) const {
        for (const Call& c : Of(name, socket))
            if (c.value == value) return true;
        return false;
    }
    /// The names of the calls for `socket`, in order, as one text ("DataReceived SocketNotification:32").
    std::string Trace(const std::shared_ptr<TAVSocket>& socket) const {
        std::string out;
        for (const Call& c : calls) {
            if (c.socket != socket || c.name == "DataSent") continue;  // DataSent comes whenever writable
            if (!out.empty()) out += ' ';
            out += c.name;
            if (c.name == "SocketNotification" || c.name == "SocketError") out += ":" + std::to_string(c.value);
        }
        return out;
    }

private:
    void Record(Call c, int32_t asyncHandle = 0) {
        if (c.socket) {
            c.state = c.socket->State();
            c.kind = c.socket->DisconnectKind();
        }
        if (c.name == "AsyncError" || c.name == "HostResolved") lastAsyncHandle = asyncHandle;
        calls.push_back(c);
        if (onCall) onCall(calls.back());
    }
};

/// How notifications reach the receiver.
enum class Route { Callback, Events };

inline std::string RouteName(const ::testing::TestParamInfo<Route>& info) {
    return info.param == Route::Callback ? "CallbackObject" : "Events";
}

class SocketMgrTest : public ::testing::TestWithParam<Route> {
protected:
    void SetUp() override {
        Diagnostics::Current().ResetForTesting();
        mgr = TAVSocketMgr::Create();
        Attach(GetParam());
    }
    void TearDown() override { mgr.reset(); }

    /// Connects the recorder by `route`; counts what arrives by the other one.
    void Attach(Route route) {
        if (route == Route::Callback) {
            mgr->CallbackObject(rec);
            // Nothing may come as an event while a callback object is set.
            mgr->AsyncError.Subscribe([this](int32_t, int32_t) { ++otherRoute; });
            mgr->HostResolved.Subscribe([this](int32_t, const std::shared_ptr<TAVHostInfo>&) { ++otherRoute; });
            mgr->SocketError.Subscribe([this](int32_t, const std::shared_ptr<TAVSocket>&) { ++otherRoute; });
            mgr->DataReceived.Subscribe([this](const std::shared_ptr<TAVSocket>&, bool) { ++otherRoute; });
            mgr->SocketNotification.Subscribe([this](const std::shared_ptr<TAVSocket>&, int32_t&) { ++otherRoute; });
            mgr->DataSent.Subscribe([this](const std::shared_ptr<TAVSocket>&) { ++otherRoute; });
            return;
        }
        Recorder* r = rec.get();
        mgr->AsyncError.Subscribe([r](int32_t h, int32_t e) { r->AsyncError(h, e); });
        mgr->HostResolved.Subscribe([r](int32_t h, const std::shared_ptr<TAVHostInfo>& o) { r->HostResolved(h, o); });
        mgr->SocketError.Subscribe([r](int32_t e, const std::shared_ptr<TAVSocket>& s) { r->SocketError(e, s); });
        mgr->DataReceived.Subscribe([r](const std::shared_ptr<TAVSocket>& s, bool oob) { r->DataReceived(s, oob); });
        mgr->SocketNotification.Subscribe([r](const std::shared_ptr<TAVSocket>& s, int32_t& t) { r->SocketNotification(s, t); });
        mgr->DataSent.Subscribe([r](const std::shared_ptr<TAVSocket>& s) { r->DataSent(s); });
    }

    static bool Pump(const std::function<bool()>& done) {
        return RunMessagesUntil(done, std::chrono::seconds(20));
    }

    static std::shared_ptr<TAVSockAddr> Loopback() {
        auto a = TAVSockAddr::Create();
        a->IPAddress("127.0.0.1");
        return a;
    }

    /// A listening stream socket of the manager.
    std::shared_ptr<TAVSocket> Listener() {
        auto s = mgr->CreateSocket(TAVSockKind_Stream);
        EXPECT_TRUE(s);
        if (!s) return nullptr;
        EXPECT_EQ(s->Bind(Loopback()), 0);
        EXPECT_EQ(s->Listen(5), 0);
        return s;
    }

    /// A connection between two sockets of the manager: `client` connected by Connect,
    /// `server` made by the listener's Accept once the accept notification came. The calls
    /// recorded on the way are cleared.
    void Connect(std::shared_ptr<TAVSocket>& client, std::shared_ptr<TAVSocket>& server) {
        listener = Listener();
        ASSERT_TRUE(listener);
        client = mgr->CreateSocket(TAVSockKind_Stream);
        ASSERT_TRUE(client);
        EXPECT_EQ(client->Connect(listener->LocalAddr()), -1);
        ASSERT_TRUE(Pump([&] { return rec->Has("SocketNotification", listener, FD_ACCEPT); }));
        std::shared_ptr<TAVSockAddr> peer;
        server = listener->Accept(mgr, peer);
        ASSERT_TRUE(server);
        // Both ends are told once that they can send; after that the trace is quiet.
        ASSERT_TRUE(Pump([&] {
            return rec->Has("SocketNotification", client, FD_CONNECT) && !rec->Of("DataSent", client).empty() &&
                   !rec->Of("DataSent", server).empty();
        }));
        rec->calls.clear();
    }

    /// Posts a socket notification to the manager's window, as the socket layer would.
    void PostNotification(int32_t handle, int32_t event, int32_t error = 0) {
        const int32_t hWnd = SocketMgrAccess::AsyncService(*mgr)->WindowHandle();
        ASSERT_TRUE(platform::PostMessageTo(hWnd, TAVAsyncSocket::kSocketMessage, static_cast<uintptr_t>(handle),
                                            (error << 16) | event));
    }
    /// Posts a notification that gives SocketError(1, empty) and pumps until it arrived: what
    /// was posted before has been handled then.
    void Settle() {
        const size_t before = rec->Of("SocketError").size();
        PostNotification(0, FD_READ, 1);
        ASSERT_TRUE(Pump([&] { return rec->Of("SocketError").size() > before; }));
        std::erase_if(rec->calls, [](const Call& c) { return c.name == "SocketError" && c.value == 1 && !c.socket; });
    }

    std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();
    std::shared_ptr<TAVSocketMgr> mgr;
    std::shared_ptr<TAVSocket> listener;
    int otherRoute = 0;
};

}  // namespace tav::test
