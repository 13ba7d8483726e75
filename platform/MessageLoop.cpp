// The host-facing loop functions: the calling thread's queue, run in the ways hosts need.
#include <tavsock/MessageLoop.hpp>

#include "platform/MessageQueue.hpp"

#include <utility>

namespace tav {

using platform::MessageQueue;

int RunPendingMessages() {
    return MessageQueue::ForThisThread().RunPending();
}

int RunMessagesFor(std::chrono::milliseconds timeout) {
    return MessageQueue::ForThisThread().RunFor(timeout);
}

bool RunMessagesUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    MessageQueue& queue = MessageQueue::ForThisThread();
    const auto deadline = MessageQueue::Clock::now() + timeout;
    while (!done()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - MessageQueue::Clock::now());
        if (left <= std::chrono::milliseconds::zero()) return done();
        queue.RunFor(left);
    }
    return true;
}

void RunMessageLoop() {
    MessageQueue::ForThisThread().Run();
}

void QuitMessageLoop() {
    MessageQueue::ForThisThread().Quit();
}

int MessageLoopDescriptor() {
    return MessageQueue::ForThisThread().PollDescriptor();
}

namespace {
// Per thread, like the queue it stands in for; empty means the library's own queue.
thread_local MessagePump tPump;
}  // namespace

MessagePump SetMessagePump(MessagePump pump) {
    MessagePump previous = std::move(tPump);
    tPump = std::move(pump);
    return previous;
}

int LetMessagesRun(std::chrono::milliseconds maxWait) {
    if (maxWait < std::chrono::milliseconds::zero()) maxWait = std::chrono::milliseconds::zero();
    if (!tPump) return maxWait.count() == 0 ? RunPendingMessages() : RunMessagesFor(maxWait);
    // A copy: the pump may replace itself (SetMessagePump) while it runs.
    const MessagePump pump = tPump;
    try {
        return pump(maxWait);
    } catch (...) {
        // The library waits inside Connect and Send; a host pump's failure must not end them.
        return 0;
    }
}

}  // namespace tav
