// The modal message box the library uses for a few unexpected errors.
#pragma once

#include <functional>
#include <string>

namespace tav {

/// Receives the text and title of a message box with an OK button. The default handler writes
/// "title: text" (or just the text) as one line to stderr.
using MessageBoxHandler = std::function<void(const std::string& text, const std::string& title)>;

/// Replaces the handler for the calling thread's library objects; an empty function restores
/// the default. Returns the previous handler.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

/// Shows a message box through the current handler. Exceptions thrown by the handler are
/// dropped: showing a message never fails for the caller.
void ShowMessageBox(const std::string& text, const std::string& title = "");

}  // namespace tav
