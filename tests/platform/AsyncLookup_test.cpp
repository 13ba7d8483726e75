// Background host look-ups: completion through the owner's queue, cancellation, errors.
#include "platform/LookupPool.hpp"
#include "platform/MessageQueue.hpp"
#include "platform/SockIntf.hpp"
#include "SockTestUtil.hpp"

#include <tavsock/MessageLoop.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

using namespace tav::sockintf;
using namespace std::chrono_literals;
using tav::platform::CreateWindowHandle;
using tav::platform::DestroyWindowHandle;
using tav::platform::HWND;
using tav::sockintf::test::StackTest;

namespace {

constexpr uint32_t kMsg = 0x500;
constexpr unsigned char kPattern = 0xA5;

struct Completion {
    HANDLE handle;
    int error;
    int length;
};

class AsyncLookup : public StackTest {
protected:
    void SetUp() override {
        StackTest::SetUp();
        wnd_ = CreateWindowHandle([this](HWND, uint32_t msg, uintptr_t w, intptr_t l) -> intptr_t {
            const auto v = static_cast<uint32_t>(l);
            if (msg == kMsg) done_.push_back({static_cast<HANDLE>(w), static_cast<int>(v >> 16), static_cast<int>(v & 0xFFFF)});
            return 0;
        });
        ASSERT_NE(wnd_, 0);
        std::memset(buf_, kPattern, sizeof buf_);
    }
    void TearDown() override {
        DestroyWindowHandle(wnd_);
        StackTest::TearDown();
    }

    HANDLE ByName(const char* name, int len = sizeof buf_) { return intWSAAsyncGetHostByName(wnd_, kMsg, name, buf_, len); }

    const Completion* Wait(HANDLE h) {
        const Completion* found = nullptr;
        tav::RunMessagesUntil(
            [&] {
                for (const Completion& c : done_)
                    if (c.handle == h) found = &c;
                return found != nullptr;
            },
            10s);
        return found;
    }
    /// Waits until every worker has finished (and so handed its result to the queue),
    /// without running the queue.
    static bool WorkersDone() {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (LookupPool::Instance().BusyCount() != 0) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }
    bool BufferUntouched() const {
        for (unsigned char b : buf_)
            if (b != kPattern) return false;
        return true;
    }
    const HOSTENT& Record() const { return *reinterpret_cast<const HOSTENT*>(buf_); }

    HWND wnd_ = 0;
    std::vector<Completion> done_;
    alignas(8) char buf_[1024];
};

}  // namespace

TEST_F(AsyncLookup, LocalhostCompletesThroughTheQueueAndAgreesWithTheBlockingCall) {
    const HANDLE h = ByName("localhost");
    ASSERT_NE(h, 0) << intWSAGetLastError();
    ASSERT_TRUE(WorkersDone());
    EXPECT_TRUE(done_.empty());  // never inside the call, nor before the queue runs
    EXPECT_TRUE(BufferUntouched());
    const Completion* c = Wait(h);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->error, 0);
    EXPECT_GT(c->length, static_cast<int>(sizeof(HOSTENT)));

    const HOSTENT* blocking = intgethostbyname("localhost");
    ASSERT_NE(blocking, nullptr);
    EXPECT_STREQ(Record().h_name, blocking->h_name);
    EXPECT_EQ(Record().h_addrtype, AF_INET_W);
    ASSERT_NE(Record().h_addr_list[0], nullptr);
    EXPECT_EQ(std::memcmp(Record().h_addr_list[0], blocking->h_addr_list[0], 4), 0);

    const uint32_t loopback = inthtonl(0x7F000001);
    std::memset(buf_, kPattern, sizeof buf_);
    const HANDLE byAddr = intWSAAsyncGetHostByAddr(wnd_, kMsg, reinterpret_cast<const char*>(&loopback), 4, AF_INET_W, buf_, sizeof buf_);
    ASSERT_NE(byAddr, 0);
    c = Wait(byAddr);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->error, 0);
    const HOSTENT* blockingByAddr = intgethostbyaddr(reinterpret_cast<const char*>(&loopback), 4, AF_INET_W);
    ASSERT_NE(blockingByAddr, nullptr);
    EXPECT_STREQ(Record().h_name, blockingByAddr->h_name);
}

TEST_F(AsyncLookup, CancelledLookupDeliversNothingAndWritesNothing) {
    const HANDLE early = ByName("localhost");
    ASSERT_NE(early, 0);
    EXPECT_EQ(intWSACancelAsyncRequest(early), 0);
    EXPECT_WSA_FAIL(intWSACancelAsyncRequest(early), WSAEINVAL);  // once only

    // Cancelled after the worker has finished, while its completion waits in the queue.
    const HANDLE late = ByName("127.0.0.1");
    ASSERT_NE(late, 0);
    ASSERT_TRUE(WorkersDone());
    EXPECT_EQ(intWSACancelAsyncRequest(late), 0);
    EXPECT_GT(tav::RunPendingMessages(), 0);  // the completion tasks run, and stop there
    tav::RunPendingMessages();
    EXPECT_TRUE(done_.empty());
    EXPECT_TRUE(BufferUntouched());
}

TEST_F(AsyncLookup, UnknownNameGives11001AndShortBufferGives10055WithTheLengthNeeded) {
    const HANDLE unknown = ByName("no-such-host.invalid");
    ASSERT_NE(unknown, 0);
    const Completion* c = Wait(unknown);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->error, WSAHOST_NOT_FOUND);
    EXPECT_EQ(c->length, 0);
    EXPECT_TRUE(BufferUntouched());

    const HANDLE small = ByName("localhost", 16);
    ASSERT_NE(small, 0);
    c = Wait(small);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->error, WSAENOBUFS);
    EXPECT_GT(c->length, 16);
    EXPECT_TRUE(BufferUntouched());
    const int needed = c->length;
    const HANDLE exact = ByName("localhost", needed);
    c = Wait(exact);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->error, 0);
    EXPECT_EQ(c->length, needed);
}

TEST_F(AsyncLookup, HandlesAreNonZeroAndUniqueAndEachCompletesOnce) {
    std::set<HANDLE> handles;
    for (int i = 0; i < 20; ++i) {
        const HANDLE h = ByName("127.0.0.1");
        ASSERT_NE(h, 0);
        handles.insert(h);
    }
    EXPECT_EQ(handles.size(), 20u);
    ASSERT_TRUE(tav::RunMessagesUntil([&] { return done_.size() >= 20; }, 10s));
    std::set<HANDLE> completed;
    for (const Completion& c : done_) completed.insert(c.handle);
    EXPECT_EQ(completed, handles);
    EXPECT_LE(LookupPool::Instance().ThreadCount(), LookupPool::kMaxThreads);

    EXPECT_EQ(intWSAAsyncGetHostByName(0, kMsg, "localhost", buf_, sizeof buf_), 0);  // no window
    EXPECT_EQ(intWSAGetLastError(), WSAEINVAL);
}
