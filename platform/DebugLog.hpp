// The leveled debug log and the source text of checks and errors.
//
// The log is off unless a marker file names a level. The level is determined once per thread,
// on the first call of DebugLogLevel() (or WriteDebugLog), and never tested again:
//   - marker files DEBUGTAVSOCK1.LVL, DEBUGTAVSOCK2.LVL, DEBUGTAVSOCK4.LVL, DEBUGTAVSOCK6.LVL,
//     DEBUGTAVSOCK8.LVL (exact upper-case names, regular files) in the configuration folder;
//   - the level-1 file wins outright; otherwise the highest present level wins;
//   - no marker gives 9: logging is off for the life of the thread.
// Levels in use: 1 failed diagnostics checks only, 2 events of sockets and managers, 4 the
// send path, 6 and 8 the message traces. A line is written when its level is not above the
// log level.
//
// Folders (Linux mapping of the per-user folders):
//   configuration (marker files): $TAVSOCK_CONFIG_DIR, else $XDG_CONFIG_HOME/tav/TAVCONTROLCENTER,
//     else $HOME/.config/tav/TAVCONTROLCENTER;
//   log: $TAVSOCK_LOG_DIR, else $XDG_STATE_HOME/tav/log, else $HOME/.local/state/tav/log, else
//     (no HOME either) the configuration folder, which exists since a marker was found there.
// Empty variables count as unset. Neither folder is ever created.
//
// Log file: <log folder>/TAVSockLOG<yyMMdd><milliseconds since local midnight, no padding>.txt,
// opened for appending. If the open fails it is retried once under a name computed anew.
// Each line is one record: a double quote, exactly 300 characters, a double quote, CR LF. The
// 300 characters are: line counter (at least 4 digits) " " date " " time " " the last 9
// characters of the seconds since midnight formatted 0000.0000, four spaces, the message;
// padded with spaces or cut. Date and time are local, formatted yyyy-MM-dd and HH:mm:ss so that
// logs read the same whatever the locale.
//
// Decisions where the classic behaviour was loose:
//   - Level 1 opens a log file like every other level (it logs failed checks only).
//   - Without HOME and without the XDG/TAVSOCK variables the log goes to the configuration
//     folder instead of a folder relative to the working directory.
//   - After CloseDebugLogFile() the next line reopens the same file for appending (retrying
//     once under a new name); the line counter goes on. If that open fails, lines are dropped
//     until the next CloseDebugLogFile().
// The writer swallows every error of its own; callers never see one.
//
// Thread rule: all state belongs to the calling thread; no locking. Cost when off: callers
// test DebugLogWanted(level) (an inline read of a thread_local after the first determination)
// before composing a message.
#pragma once

#include <tavsock/Object.hpp>
#include <tavsock/Variant.hpp>

#include <cstdint>
#include <string>

namespace tav {

/// The library name used in marker files, log file names and sources.
inline constexpr const char* kLibraryName = "TAVSock";
/// The level that means "logging off".
inline constexpr int32_t kDebugLogOff = 9;

namespace detail {
/// 0 until determined, then 1, 2, 4, 6, 8 or 9.
extern thread_local constinit int32_t tDebugLogLevel;
int32_t DetermineDebugLogLevel();
}  // namespace detail

/// The calling thread's log level (1, 2, 4, 6, 8, or 9 for off); determined on the first call.
inline int32_t DebugLogLevel() {
    int32_t level = detail::tDebugLogLevel;
    if (level == 0) [[unlikely]]
        level = detail::DetermineDebugLogLevel();
    return level;
}

/// True when a line of `level` would be written; test this before composing a message.
/// Told to the compiler as unlikely: logging is off in production, and the code composing
/// the lines then moves out of the way of the notification path's instructions.
inline bool DebugLogWanted(int32_t level) {
    int32_t current = DebugLogLevel();
    return __builtin_expect(current != kDebugLogOff && level <= current, 0);
}

/// Writes one line when `level` is not above the log level. Never fails for the caller.
void WriteDebugLog(int32_t level, const std::string& message);

/// Closes the calling thread's log file (the socket object's terminate step calls this); the
/// next line reopens it.
void CloseDebugLogFile();

/// Full path of the log file of the calling thread, "" when none was opened yet.
std::string DebugLogFileName();

/// Forgets the level, the folders, the counter and closes the file, so that the next call
/// determines the level again from the current environment. For tests only.
void ResetDebugLogForTesting();

/// The source of checks and errors: "TAVSock." followed by the run-time type name of `owner`
/// when it holds an object ("Nothing" for an empty reference), else by the text of its value;
/// then "." and `procedureName` trimmed of spaces, when that is not empty.
std::string SourceName(const Variant& owner, const std::string& procedureName = "");
/// As above for an object; a null pointer reads as "Nothing".
std::string SourceName(const Object* owner, const std::string& procedureName = "");

}  // namespace tav
