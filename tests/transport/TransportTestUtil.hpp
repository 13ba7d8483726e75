// Shared fixture of the transport tests: a TCP manager on the test
// thread whose nine events are recorded as text, with loopback connections made through it.
// The inner manager reaches it through the events; TcpMgrRoutes runs a test by both routes.
#pragma once

#include <tavsock/TavTCPSocketMgr.hpp>

#include "platform/Diagnostics.hpp"
#include "core/SocketObjectTestUtil.hpp"
#include "support/Recorder.hpp"
#include "transport/TcpSocketMgrAccess.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavtest {

using namespace tav;
using tav::test::At;
using tav::test::Loopback;
using tav::test::PumpUntil;

/// The parameter of the tests run by both routes: InternalEarlyBound, the route by which the
/// inner manager reaches its owner.
inline std::string RouteName(const ::testing::TestParamInfo<bool>& info) { return info.param ? "EarlyBound" : "Events"; }

/// One event as recorded: "Name" or "Name:detail", and the socket it was about (not held:
/// tests close sockets by letting go).
struct Heard {
    std::string event;
    const TAVSocket* socket = nullptr;
};

class TcpMgrTest : public ::testing::Test {
protected:
    /// InternalEarlyBound of the managers this test makes.
    virtual bool EarlyBound() const { return false; }

    void SetUp() override {
        Diagnostics::Current().ResetForTesting();
        mgr = TavTCPSocketMgr::Create();
        Record(*mgr);
    }
    void TearDown() override {
        mgr.reset();
        RunPendingMessages();
    }

    /// Subscribes to every event of `m` (and sets its route); each lands in `heard`.
    void Record(TavTCPSocketMgr& m) {
        m.InternalEarlyBound(EarlyBound());
        m.AcceptComplete.Subscribe([this](const std::shared_ptr<TAVSocket>& s, const std::shared_ptr<TAVSocket>& n,
                                          const std::shared_ptr<TAVSockAddr>& name) {
            accepted = n;
            acceptedFrom = name;
            Add("AcceptComplete", s);
        });
        m.AsyncError.Subscribe([this](int32_t h, int32_t e) { Add("AsyncError:" + std::to_string(h) + ":" + std::to_string(e)); });
        m.ConnectComplete.Subscribe([this](const std::shared_ptr<TAVSocket>& s) { Add("ConnectComplete", s); });
        m.DataReceived.Subscribe([this](const std::shared_ptr<TAVSocket>& s, Variant& info) {
            Add(std::string(info.IsByteArray() ? "Bytes:" : "Data:") + TextOf(info), s);
        });
        m.DataSent.Subscribe([this](const std::shared_ptr<TAVSocket>&) { ++dataSent; });
        m.HostResolved.Subscribe([this](int32_t h, const std::shared_ptr<TAVHostInfo>&) { Add("HostResolved:" + std::to_string(h)); });
        m.OOBDataReceived.Subscribe([this](const std::shared_ptr<TAVSocket>& s, Variant& info) { Add("OOB:" + TextOf(info), s); });
        m.SocketClosed.Subscribe([this](const std::shared_ptr<TAVSocket>& s) { Add("SocketClosed", s); });
        m.SocketError.Subscribe([this](const std::shared_ptr<TAVSocket>& s, int32_t code) {
            Add("SocketError:" + std::to_string(code), s);
        });
    }
    static std::string TextOf(const Variant& v) {
        return v.IsByteArray() ? std::string(v.AsBytes().begin(), v.AsBytes().end()) : v.ToString();
    }

    /// Runs the queue until an event with this text was recorded for `s` (any socket if null).
    bool PumpFor(const std::string& event, const std::shared_ptr<TAVSocket>& s = nullptr) {
        return PumpUntil([&] { return Count(event, s) > 0; });
    }
    /// The recorded events of `s` (of every socket when null), in order.
    std::vector<std::string> Of(const std::shared_ptr<TAVSocket>& s) const {
        std::vector<std::string> out;
        for (const Heard& h : heard.entries)
            if (!s || h.socket == s.get()) out.push_back(h.event);
        return out;
    }
    int Count(const std::string& event, const std::shared_ptr<TAVSocket>& s = nullptr) const {
        const std::vector<std::string> of = Of(s);
        return static_cast<int>(std::count(of.begin(), of.end(), event));
    }
    /// Everything raised as DataReceived for `s`, joined.
    std::string Received(const std::shared_ptr<TAVSocket>& s) const {
        std::string all;
        for (const std::string& e : Of(s))
            if (e.rfind("Data:", 0) == 0 || e.rfind("Bytes:", 0) == 0) all += e.substr(e.find(':') + 1);
        return all;
    }

    /// A listening server socket (with the given marks and mode, which accepted sockets
    /// inherit), a client connected to it, and the accepted socket. Both sides report done.
    /// The client's port is chosen by its connect, so that thousands of connections in
    /// TIME_WAIT cannot use up the ports, yet a host that reads it before connecting reads the
    /// port the connection then has; the accepted socket is held by the inner manager and
    /// named after the client's end.
    void Connect(const std::string& begin = "", const std::string& end = "", int32_t mode = DataMode_String) {
        server = mgr->CreateServerSocket(Loopback());
        server->MsgBeginMark(begin);
        server->MsgEndMark(end);
        server->DataMode(mode);
        client = mgr->CreateClientSocket(Loopback());
        client->DataMode(DataMode_Binary);
        const int16_t before = client->LocalAddr()->Port();
        EXPECT_EQ(client->LocalAddr()->IPAddress(), "127.0.0.1");
        client->Connect(Loopback(server->LocalAddr()->Port()));
        ASSERT_TRUE(PumpUntil([&] { return accepted && Count("ConnectComplete", client) == 1; }));
        EXPECT_EQ(client->LocalAddr()->Port(), before);
        EXPECT_EQ(client->State(), Skt_Ready);
        EXPECT_TRUE(mgr->Sockets()->Contains(accepted));
        EXPECT_EQ(acceptedFrom->IPAddress(), "127.0.0.1");
        EXPECT_EQ(acceptedFrom->Port(), before);
    }
    /// Sends raw bytes from the client.
    void SendRaw(const std::string& bytes) { client->Send(Variant(ByteArray(bytes.begin(), bytes.end()))); }
    std::string Held(const std::shared_ptr<TAVSocket>& s) const { return TcpSocketMgrAccess::HeldText(*mgr, *s); }

    void Add(const std::string& e, const std::shared_ptr<TAVSocket>& s = nullptr) { heard.Add({e, s.get()}); }

    std::shared_ptr<TavTCPSocketMgr> mgr;
    std::shared_ptr<TAVSocket> server, client, accepted;
    std::shared_ptr<TAVSockAddr> acceptedFrom;
    support::Recorder<Heard> heard;  // its onEntry runs inside the event, once recorded
    int dataSent = 0;
};

/// The tests whose outcome may depend on the route: each runs once per route.
class TcpMgrRoutes : public TcpMgrTest, public ::testing::WithParamInterface<bool> {
protected:
    bool EarlyBound() const override { return GetParam(); }
};

}  // namespace tavtest
