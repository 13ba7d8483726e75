// The local file of a transfer (an HTTP output file, an FTP download or upload), opened so
// that no name given to it can harm the machine, even when the process runs as root.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tav {

/// One open local file. What writing does depends on what the name is when it is opened:
///  - /dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N: the process's own
///    descriptor is written through a duplicate, never reopened by name, so its offset and
///    append mode hold (a shell's ">> log" stays an append; a socket stdout works);
///  - a device, a FIFO or a socket: written in place, never truncated nor deleted; a FIFO
///    without a reader fails at once instead of stopping the thread;
///  - a directory: refused (EISDIR);
///  - anything else (absent, a regular file, a symbolic link): a new file is made under a
///    unique hidden name in the same folder (".name.<random>.part", never through a link) and
///    takes the name, which replaces a link rather than following it. With ReplaceNow it is
///    renamed over the name at once (what deleting and creating the file would give, without
///    the moment in which another name can be planted); with ReplaceWhenComplete only at
///    Commit, so the old file stays byte for byte until the transfer is complete.
/// Reading (uploads) takes regular files only, in blocks served from a 64 KiB read-ahead.
///
/// Only a file this object created is ever deleted, and only while the name it was given
/// still refers to that same file (device and inode compared). Every failure keeps the
/// system's reason in ErrorText(), e.g. "cannot write out.bin: No space left on device".
/// Owns its descriptor; closes it on destruction (as Close()). Not copyable; one thread.
class LocalFile {
public:
    /// When a new file takes the output name.
    enum class Replace { Now, WhenComplete };

    /// Opens `name` for writing as above. Null on failure, with `error` set to the reason
    /// ("cannot create NAME: Permission denied", "cannot write NAME: Is a directory").
    static std::unique_ptr<LocalFile> OpenForWrite(const std::string& name, Replace replace, std::string& error);
    /// Opens the regular file `name` (not through a link) to add to its end, when it holds
    /// exactly `size` bytes: a transfer that resumes where an earlier one stopped. Nothing is
    /// ever deleted or truncated through it. Null on failure, with `error` set to the reason.
    static std::unique_ptr<LocalFile> OpenForAppend(const std::string& name, int64_t size, std::string& error);
    /// Opens a regular file for reading (a FIFO or device is refused without blocking).
    /// Null on failure, with `error` set to the reason.
    static std::unique_ptr<LocalFile> OpenForRead(const std::string& name, std::string& error);

    ~LocalFile();
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    /// Writes all n bytes at the current position (short writes retried). False on failure.
    bool Write(const uint8_t* data, size_t n);
    /// Reads n bytes (fewer only at the end of the file); -1 on failure. Reads smaller than
    /// the read-ahead cost no system call of their own.
    int64_t Read(uint8_t* data, size_t n);

    /// The transfer is complete: closes the file and, with ReplaceWhenComplete, renames the
    /// new file over the name. False when the close or the rename fails (the new file is then
    /// removed and the name keeps what it held).
    bool Commit();
    /// The transfer was abandoned: closes the file. What was written under the name stays;
    /// an unfinished new file of ReplaceWhenComplete is removed (the name keeps the old one).
    void Close() noexcept;
    /// The transfer failed: closes the file and deletes what this object created (a new
    /// file still found under its name); anything else is left as it is.
    void Discard() noexcept;
    /// Lets `file` go (when there is one): Discard when `discard`, else Close.
    static void Release(std::unique_ptr<LocalFile>& file, bool discard) noexcept;

    /// The size when opened for reading or adding (regular files), else 0.
    int64_t Size() const noexcept { return size_; }
    /// True when this object made a new file (the only kind Discard deletes).
    bool Created() const noexcept { return created_; }
    /// The reason of the last failure ("" while none).
    const std::string& ErrorText() const noexcept { return error_; }

private:
    LocalFile(std::string name, int fd, bool created);
    // Opens `name` (`access`: open flags) without blocking, a regular file only.
    static std::unique_ptr<LocalFile> OpenRegular(const std::string& name, int access, const char* verb, std::string& error);
    bool Fail(const char* verb);
    int64_t ReadRaw(uint8_t* data, size_t n);
    void CloseDescriptor() noexcept;
    // Unlinks `path` when it still names the file this object holds.
    void RemoveIfOurs(const std::string& path) noexcept;

    static constexpr size_t kReadAhead = 64 * 1024;
    std::string name_;
    std::string temp_;     // ReplaceWhenComplete: the new file's name until Commit renames it
    int fd_ = -1;
    bool created_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    int64_t size_ = 0;
    std::string error_;
    std::vector<uint8_t> ahead_;  // read ahead, not yet handed out: [aheadPos_, aheadLen_)
    size_t aheadPos_ = 0;
    size_t aheadLen_ = 0;
};

}  // namespace tav
