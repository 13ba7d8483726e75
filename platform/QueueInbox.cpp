#include "platform/QueueInbox.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace tav::platform {

QueueInbox::QueueInbox() : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

QueueInbox::~QueueInbox() {
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void QueueInbox::WriteWakeLocked() {
    if (wakeFd_ < 0) return;
    uint64_t one = 1;
    // EAGAIN means the counter is saturated, i.e. already readable; nothing else can fail here.
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool QueueInbox::Push(QueueItem&& item) {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return false;
    bool wasEmpty = items_.empty();
    items_.push_back(std::move(item));
    if (wasEmpty) {
        hasItems_.store(true, std::memory_order_release);
        WriteWakeLocked();
    }
    return true;
}

bool QueueInbox::RequestQuit() {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return false;
    quit_.store(true, std::memory_order_release);
    WriteWakeLocked();
    return true;
}

void QueueInbox::ResetWake() {
    uint64_t value;
    while (::read(wakeFd_, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

void QueueInbox::TakeAll(QueueFifo<QueueItem>& out, uint64_t& nextSeq) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        spare_.swap(items_);
        hasItems_.store(false, std::memory_order_relaxed);
    }
    for (auto& item : spare_) {
        item.seq = nextSeq++;
        out.push_back(std::move(item));
    }
    spare_.clear();
}

std::vector<QueueItem> QueueInbox::Close() {
    std::vector<QueueItem> rest;
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    rest.swap(items_);
    hasItems_.store(false, std::memory_order_relaxed);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
    return rest;
}

}  // namespace tav::platform
