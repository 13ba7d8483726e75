#include <tavsock/MessageBox.hpp>

#include <cstdio>

namespace tav {

namespace {
thread_local MessageBoxHandler tHandler;
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
    MessageBoxHandler previous = std::move(tHandler);
    tHandler = std::move(handler);
    return previous;
}

void ShowMessageBox(const std::string& text, const std::string& title) {
    try {
        if (tHandler) {
            tHandler(text, title);
            return;
        }
        if (title.empty())
            std::fprintf(stderr, "%s\n", text.c_str());
        else
            std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    } catch (...) {
        // A message box cannot fail for its caller.
    }
}

}  // namespace tav
