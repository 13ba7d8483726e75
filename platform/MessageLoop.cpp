// The host-facing loop functions: the calling thread's queue, run in the ways hosts need.
#include <tavsock/MessageLoop.hpp>

#include "platform/MessageQueue.hpp"

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

}  // namespace tav
