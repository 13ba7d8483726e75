#include "platform/WindowRegistry.hpp"

#include <tavsock/Text.hpp>

#include <limits>

namespace tav::platform {

WindowRegistry& WindowRegistry::Instance() {
    // Deliberately leaked: resolver threads may still post while the process exits.
    static WindowRegistry* registry = new WindowRegistry;
    return *registry;
}

HWND WindowRegistry::Add(std::shared_ptr<QueueInbox> inbox) {
    std::lock_guard<std::mutex> lock(mu_);
    if (nextHandle_ > static_cast<uint64_t>(std::numeric_limits<HWND>::max())) return 0;
    auto hWnd = static_cast<HWND>(nextHandle_++);
    windows_.emplace(hWnd, std::move(inbox));
    return hWnd;
}

void WindowRegistry::Remove(HWND hWnd) {
    std::shared_ptr<QueueInbox> dropped;  // released outside the lock
    std::lock_guard<std::mutex> lock(mu_);
    auto it = windows_.find(hWnd);
    if (it == windows_.end()) return;
    dropped = std::move(it->second);
    windows_.erase(it);
}

void WindowRegistry::RemoveAll(const std::vector<HWND>& handles) {
    std::lock_guard<std::mutex> lock(mu_);
    for (HWND h : handles) windows_.erase(h);
}

std::shared_ptr<QueueInbox> WindowRegistry::Find(HWND hWnd) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = windows_.find(hWnd);
    return it == windows_.end() ? nullptr : it->second;
}

bool WindowRegistry::Contains(HWND hWnd) const {
    std::lock_guard<std::mutex> lock(mu_);
    return windows_.count(hWnd) != 0;
}

uint32_t WindowRegistry::MessageNumber(const std::string& name) {
    if (name.empty()) return 0;
    std::string key;
    key.reserve(name.size());
    for (char c : name) key.push_back(FoldCase(c));
    std::lock_guard<std::mutex> lock(mu_);
    auto it = messageNames_.find(key);
    if (it != messageNames_.end()) return it->second;
    if (nextMessage_ > 0xFFFF) return 0;
    uint32_t number = nextMessage_++;
    messageNames_.emplace(std::move(key), number);
    return number;
}

}  // namespace tav::platform
