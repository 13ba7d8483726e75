#include "platform/DebugLog.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tav {

namespace detail {
thread_local constinit int32_t tDebugLogLevel = 0;
}  // namespace detail

namespace {

// Log state of one thread. Invariant: fd >= 0 only while fileName names the open file.
struct LogState {
    int fd = -1;
    bool reopenPending = false;  // set by CloseDebugLogFile: the next line reopens the file
    std::string folder;          // fixed on the first determination
    std::string fileName;
    int64_t counter = 0;
    std::string record;  // reused buffer of the line being written
    ~LogState() {
        if (fd >= 0) ::close(fd);
    }
};
thread_local LogState tLog;

constexpr size_t kLineWidth = 300;

struct LocalNow {
    std::tm tm{};
    int32_t msSinceMidnight = 0;
};

LocalNow Now() {
    LocalNow n;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t secs = ts.tv_sec;
    localtime_r(&secs, &n.tm);
    int32_t s = n.tm.tm_hour * 3600 + n.tm.tm_min * 60 + n.tm.tm_sec;
    n.msSinceMidnight = s * 1000 + static_cast<int32_t>((ts.tv_nsec + 500000) / 1000000);
    return n;
}

// An environment variable naming a folder; empty when unset or empty.
std::string EnvFolder(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string ConfigFolder() {
    std::string dir = EnvFolder("TAVSOCK_CONFIG_DIR");
    if (!dir.empty()) return dir;
    dir = EnvFolder("XDG_CONFIG_HOME");
    if (!dir.empty()) return dir + "/tav/TAVCONTROLCENTER";
    dir = EnvFolder("HOME");
    if (!dir.empty()) return dir + "/.config/tav/TAVCONTROLCENTER";
    return {};
}

std::string LogFolder(const std::string& configFolder) {
    std::string dir = EnvFolder("TAVSOCK_LOG_DIR");
    if (!dir.empty()) return dir;
    dir = EnvFolder("XDG_STATE_HOME");
    if (!dir.empty()) return dir + "/tav/log";
    dir = EnvFolder("HOME");
    if (!dir.empty()) return dir + "/.local/state/tav/log";
    return configFolder;
}

// True when the marker file of `level` exists as a regular file in `folder`.
bool MarkerExists(const std::string& folder, int level) {
    // "DEBUG" + upper case of the library name + level + ".LVL".
    std::string path = folder + "/DEBUGTAVSOCK" + std::to_string(level) + ".LVL";
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string NewFileName() {
    LocalNow n = Now();
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%02d%02d%02d%d", n.tm.tm_year % 100, n.tm.tm_mon + 1, n.tm.tm_mday,
                  n.msSinceMidnight);
    return tLog.folder + "/" + kLibraryName + "LOG" + stamp + ".txt";
}

int OpenForAppend(const std::string& name) {
    return ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

// Opens the log file: the current name first when asked (reopening after a close), else a new
// name; a failed open is retried once under a name computed anew.
void OpenLogFile(bool currentNameFirst) {
    if (tLog.folder.empty()) return;
    std::string name = currentNameFirst && !tLog.fileName.empty() ? tLog.fileName : NewFileName();
    int fd = OpenForAppend(name);
    if (fd < 0) {
        name = NewFileName();
        fd = OpenForAppend(name);
    }
    if (fd < 0) return;
    tLog.fd = fd;
    tLog.fileName = std::move(name);
}

// Builds the quoted 300-character record of one line into tLog.record.
void ComposeRecord(const std::string& message) {
    LocalNow n = Now();
    char head[96];
    int len = std::snprintf(head, sizeof head, "%04lld %04d-%02d-%02d %02d:%02d:%02d ",
                            static_cast<long long>(tLog.counter), n.tm.tm_year + 1900, n.tm.tm_mon + 1,
                            n.tm.tm_mday, n.tm.tm_hour, n.tm.tm_min, n.tm.tm_sec);
    char secs[32];
    // Seconds since midnight as 0000.0000; the milliseconds are whole, so the last digit is 0.
    int slen = std::snprintf(secs, sizeof secs, "%04d.%03d0", n.msSinceMidnight / 1000, n.msSinceMidnight % 1000);
    std::string& r = tLog.record;
    r.clear();
    r.reserve(kLineWidth + 4);
    r += '"';
    r.append(head, static_cast<size_t>(len));
    r.append(secs + (slen > 9 ? slen - 9 : 0));
    r += "    ";
    r += message;
    r.resize(kLineWidth + 1, ' ');
    r += "\"\r\n";
}

}  // namespace

namespace detail {

int32_t DetermineDebugLogLevel() {
    tDebugLogLevel = kDebugLogOff;
    try {
        std::string config = ConfigFolder();
        if (config.empty()) return kDebugLogOff;
        int32_t level = kDebugLogOff;
        if (MarkerExists(config, 1)) {
            level = 1;
        } else {
            for (int candidate : {2, 4, 6, 8})
                if (MarkerExists(config, candidate)) level = candidate;
        }
        if (level == kDebugLogOff) return kDebugLogOff;
        tDebugLogLevel = level;
        if (tLog.folder.empty()) tLog.folder = LogFolder(config);
        OpenLogFile(false);
    } catch (...) {
        // The log never fails for its caller; whatever was determined stands.
    }
    return tDebugLogLevel;
}

}  // namespace detail

void WriteDebugLog(int32_t level, const std::string& message) {
    if (!DebugLogWanted(level)) return;
    try {
        ++tLog.counter;
        if (tLog.fd < 0 && tLog.reopenPending) {
            tLog.reopenPending = false;
            OpenLogFile(true);
        }
        if (tLog.fd < 0) return;
        ComposeRecord(message);
        // A short or failed write loses (part of) the line; the log is best effort.
        ssize_t written = ::write(tLog.fd, tLog.record.data(), tLog.record.size());
        (void)written;
    } catch (...) {
    }
}

void CloseDebugLogFile() {
    if (tLog.fd < 0) return;
    ::close(tLog.fd);
    tLog.fd = -1;
    tLog.reopenPending = true;
}

std::string DebugLogFileName() { return tLog.fileName; }

void ResetDebugLogForTesting() {
    if (tLog.fd >= 0) ::close(tLog.fd);
    tLog.fd = -1;
    tLog.reopenPending = false;
    tLog.folder.clear();
    tLog.fileName.clear();
    tLog.counter = 0;
    detail::tDebugLogLevel = 0;
}

namespace {
std::string TrimSpaces(const std::string& s) {
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string JoinSource(const std::string& owner, const std::string& procedureName) {
    std::string source = std::string(kLibraryName) + "." + owner;
    std::string proc = TrimSpaces(procedureName);
    if (!proc.empty()) source += "." + proc;
    return source;
}
}  // namespace

std::string SourceName(const Object* owner, const std::string& procedureName) {
    return JoinSource(owner ? owner->TypeName() : "Nothing", procedureName);
}

std::string SourceName(const Variant& owner, const std::string& procedureName) {
    if (owner.IsObject()) return SourceName(owner.AsObject().get(), procedureName);
    return JoinSource(owner.ToString(), procedureName);
}

}  // namespace tav
