// The window functions over the per-thread queues: a handle is posted to through the owner's
// inbox (found in the process-wide registry), and dispatched from the owner's window table.
#include "platform/MessageQueue.hpp"
#include "platform/WindowRegistry.hpp"

namespace tav::platform {

HWND CreateWindowHandle(WndProc proc) {
    MessageQueue& q = MessageQueue::ForThisThread();
    if (!q.CheckOwner() || q.epollFd_ < 0 || !q.inbox_->Valid()) return 0;
    HWND hWnd = WindowRegistry::Instance().Add(q.inbox_);
    if (hWnd == 0) return 0;
    auto window = std::make_shared<MessageQueue::Window>();
    window->proc = std::move(proc);
    q.windows_.emplace(hWnd, std::move(window));
    return hWnd;
}

bool IsWindowHandle(HWND hWnd) {
    return hWnd != 0 && WindowRegistry::Instance().Contains(hWnd);
}

bool IsWindowOfThisThread(HWND hWnd) {
    MessageQueue* q = MessageQueue::Current();
    return q != nullptr && q->CheckOwner() && q->FindWindow(hWnd) != nullptr;
}

bool DestroyWindowHandle(HWND hWnd) {
    MessageQueue* q = MessageQueue::Current();
    if (!q || !q->CheckOwner()) return false;
    const std::shared_ptr<MessageQueue::Window>* found = q->FindWindow(hWnd);
    if (!found || (*found)->destroying) return false;
    std::shared_ptr<MessageQueue::Window> window = *found;
    window->destroying = true;
    try {
        if (window->proc) window->proc(hWnd, WM_NCDESTROY, 0, 0);
    } catch (...) {
        // The window goes whatever its procedure does with its last message.
    }
    q->ForgetFoundWindow();
    q->windows_.erase(hWnd);
    WindowRegistry::Instance().Remove(hWnd);
    return true;
}

bool PostMessageTo(HWND hWnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (hWnd == 0) return false;
    QueueItem item;
    item.hWnd = hWnd;
    item.msg = msg;
    item.wParam = wParam;
    item.lParam = lParam;
    MessageQueue* q = MessageQueue::Current();
    if (q && q->CheckOwner() && q->FindWindow(hWnd)) {
        q->PostLocal(std::move(item));
        return true;
    }
    auto inbox = WindowRegistry::Instance().Find(hWnd);
    return inbox && inbox->Push(std::move(item));
}

bool PostTaskToWindowThread(HWND hWnd, std::function<void()> fn) {
    if (hWnd == 0 || !fn) return false;
    MessageQueue* q = MessageQueue::Current();
    if (q && q->CheckOwner() && q->FindWindow(hWnd)) return q->PostTask(std::move(fn));
    auto inbox = WindowRegistry::Instance().Find(hWnd);
    if (!inbox) return false;
    QueueItem item;
    item.task = std::move(fn);
    return inbox->Push(std::move(item));
}

intptr_t SendMessageTo(HWND hWnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    MessageQueue* q = MessageQueue::Current();
    if (!q || !q->CheckOwner()) return 0;
    const std::shared_ptr<MessageQueue::Window>* found = q->FindWindow(hWnd);
    if (!found) return 0;
    std::shared_ptr<MessageQueue::Window> window = *found;
    return window->proc ? window->proc(hWnd, msg, wParam, lParam) : DefWindowProcFor(hWnd, msg, wParam, lParam);
}

intptr_t DefWindowProcFor(HWND, uint32_t, uintptr_t, intptr_t) {
    return 0;
}

uint32_t RegisterWindowMessage(const std::string& name) {
    return WindowRegistry::Instance().MessageNumber(name);
}

}  // namespace tav::platform
