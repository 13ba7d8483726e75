// The modal message box the library uses for a few unexpected errors.
//
// The library shows one only where something went wrong that no return value reports: a new
// socket that cannot be made non-blocking ("Set Nonblocking IO Error: <code>"), a failure
// inside the private window or the asynchronous socket service, and a framing failure of the
// TCP receive path. Nothing waits for the box: the call goes on once the handler returns. A
// program with a user interface sets a handler that shows a dialog; a service, one that logs.
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
