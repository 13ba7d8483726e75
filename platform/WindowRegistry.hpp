// Process-wide tables of the message queue: which queue owns each window handle, and the
// numbers of registered message names.
//
// Window procedures live in the owning queue (only its thread calls them); the registry maps a
// handle to the owner's inbox, which is all another thread needs to post to it. Thread-safe:
// every member takes the registry's mutex.
#pragma once

#include "platform/QueueInbox.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace tav::platform {

class WindowRegistry {
public:
    /// The one registry of the process. Never destroyed, so threads that outlive static
    /// destruction can still post safely.
    static WindowRegistry& Instance();

    /// Reserves a new handle for a window of the queue behind `inbox`. Handles are non-zero
    /// and never reused; 0 when the handle space is used up.
    HWND Add(std::shared_ptr<QueueInbox> inbox);
    /// Forgets a handle.
    void Remove(HWND hWnd);
    /// Forgets several handles at once (a queue ending with windows left).
    void RemoveAll(const std::vector<HWND>& handles);
    /// The inbox of the queue owning `hWnd`, or null for an unknown handle.
    std::shared_ptr<QueueInbox> Find(HWND hWnd) const;
    bool Contains(HWND hWnd) const;

    /// Number for a message name, 0xC000..0xFFFF; names are compared without regard to case.
    /// 0 for an empty name or when the range is used up.
    uint32_t MessageNumber(const std::string& name);

private:
    WindowRegistry() = default;

    mutable std::mutex mu_;
    uint64_t nextHandle_ = 1;                                         // guarded by mu_
    std::unordered_map<HWND, std::shared_ptr<QueueInbox>> windows_;   // guarded by mu_
    std::unordered_map<std::string, uint32_t> messageNames_;          // guarded by mu_
    uint32_t nextMessage_ = 0xC000;                                   // guarded by mu_
};

}  // namespace tav::platform
