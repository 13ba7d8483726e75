// Host look-ups, blocking and in the background: completion through the owner's queue,
// agreement with the blocking calls, cancellation, errors.
#include "platform/LookupPool.hpp"
#include "SockTestUtil.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

using namespace tav::sockintf;
using namespace tav::sockintf::test;

namespace {

constexpr uint32_t kMsg = 0x500;
constexpr unsigned char kPattern = 0xA5;

// A completion is a message with the request handle as wParam, the error in the high word of
// lParam and the record's length in the low word.
class AsyncLookup : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        std::memset(buf_, kPattern, sizeof buf_);
    }

    HANDLE ByName(const char* name, int len = sizeof buf_) { return intWSAAsyncGetHostByName(wnd_, kMsg, name, buf_, len); }

    std::optional<Message> Wait(HANDLE h) {
        std::optional<Message> found;
        PumpUntil([&] {
            for (const Message& m : got_)
                if (m.w == h) found = m;
            return found.has_value();
        });
        return found;
    }
    /// Waits until every worker has finished (and so handed its result to the queue),
    /// without running the queue.
    static bool WorkersDone() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (LookupPool::Instance().BusyCount() != 0) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }
    bool BufferUntouched() const {
        return std::all_of(std::begin(buf_), std::end(buf_), [](char b) { return static_cast<unsigned char>(b) == kPattern; });
    }
    const HOSTENT& Record() const { return *reinterpret_cast<const HOSTENT*>(buf_); }

    alignas(8) char buf_[1024];
};

}  // namespace

TEST_F(AsyncLookup, CompletesThroughTheQueueAndAgreesWithTheBlockingCall) {
    const uint32_t loopback = inthtonl(0x7F000001);
    for (const char* name : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(name);
        const HANDLE h = ByName(name);
        ASSERT_NE(h, 0) << intWSAGetLastError();
        ASSERT_TRUE(WorkersDone());
        EXPECT_TRUE(got_.empty());  // never inside the call, nor before the queue runs
        EXPECT_TRUE(BufferUntouched());
        auto c = Wait(h);
        got_.clear();
        ASSERT_TRUE(c && c->msg == kMsg);
        EXPECT_EQ(c->High, 0);
        EXPECT_GT(c->Low, static_cast<int>(sizeof(HOSTENT)));

        const HOSTENT* blocking = intgethostbyname(name);
        ASSERT_NE(blocking, nullptr) << intWSAGetLastError();
        for (const HOSTENT* rec : {&Record(), blocking}) {
            EXPECT_EQ(rec->h_addrtype, AF_INET_W);
            EXPECT_EQ(rec->h_length, 4);
            ASSERT_NE(rec->h_addr_list[0], nullptr);
            EXPECT_EQ(std::memcmp(rec->h_addr_list[0], &loopback, 4), 0);
        }
        EXPECT_STREQ(Record().h_name, blocking->h_name);
        for (const char* p : {Record().h_name, Record().h_addr_list[0]})  // the record is all in the buffer
            EXPECT_TRUE(p >= buf_ && p < buf_ + sizeof buf_);
        std::memset(buf_, kPattern, sizeof buf_);
    }
    // Dotted text is its own name and its only address.
    EXPECT_STREQ(intgethostbyname("127.0.0.1")->h_name, "127.0.0.1");
    EXPECT_EQ(intgethostbyname("127.0.0.1")->h_addr_list[1], nullptr);

    const auto* addr = reinterpret_cast<const char*>(&loopback);
    const auto c = Wait(intWSAAsyncGetHostByAddr(wnd_, kMsg, addr, 4, AF_INET_W, buf_, sizeof buf_));
    ASSERT_TRUE(c && c->High == 0);
    const HOSTENT* blockingByAddr = intgethostbyaddr(addr, 4, AF_INET_W);
    ASSERT_NE(blockingByAddr, nullptr) << intWSAGetLastError();
    EXPECT_STREQ(Record().h_name, blockingByAddr->h_name);
}

TEST_F(AsyncLookup, CancelledLookupDeliversNothingUnknownNameAndShortBufferFailAndHandlesAreUniqueAndEachCompletesOnce) {
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
    EXPECT_TRUE(got_.empty());
    EXPECT_TRUE(BufferUntouched());

    // An unknown name and a short buffer fail, the latter with the length needed.
    auto c = Wait(ByName("no-such-host.invalid"));
    ASSERT_TRUE(c);
    EXPECT_EQ(std::make_pair(c->High, c->Low), std::make_pair(WSAHOST_NOT_FOUND, 0));
    EXPECT_TRUE(BufferUntouched());
    EXPECT_EQ(intgethostbyname("no-such-host.invalid"), nullptr);  // the blocking call agrees
    EXPECT_EQ(intWSAGetLastError(), WSAHOST_NOT_FOUND);

    c = Wait(ByName("localhost", 16));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->High, WSAENOBUFS);
    EXPECT_GT(c->Low, 16);
    EXPECT_TRUE(BufferUntouched());
    const int needed = c->Low;
    c = Wait(ByName("localhost", needed));
    ASSERT_TRUE(c);
    EXPECT_EQ(std::make_pair(c->High, c->Low), std::make_pair(0, needed));

    // Handles are non-zero and unique, and each completes once.
    got_.clear();
    std::set<HANDLE> handles;
    for (int i = 0; i < 20; ++i) handles.insert(ByName("127.0.0.1"));
    EXPECT_EQ(handles.size(), 20u);
    EXPECT_EQ(handles.count(0), 0u);
    ASSERT_TRUE(PumpUntil([&] { return got_.size() >= 20; }));
    std::set<HANDLE> completed;
    for (const Message& m : got_) completed.insert(m.w);
    EXPECT_EQ(completed, handles);
    EXPECT_LE(LookupPool::Instance().ThreadCount(), LookupPool::kMaxThreads);

    EXPECT_EQ(intWSAAsyncGetHostByName(0, kMsg, "localhost", buf_, sizeof buf_), 0);  // no window
    EXPECT_EQ(intWSAGetLastError(), WSAEINVAL);
}

