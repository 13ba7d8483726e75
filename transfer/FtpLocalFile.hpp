// The local file of an FTP transfer: opened, written or read in blocks, closed, and deleted
// only when that cannot harm anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tav {

/// One open local file. Writing starts at the file's beginning and never shortens it (the
/// tail of a longer file stays); a name that is not a regular file (/dev/null, /dev/stdout, a
/// FIFO with a reader) is written as it is. Reading is for regular files only. Only a regular
/// file this object opened, still found under its name, is ever deleted. Closes on
/// destruction. Not copyable.
class FtpLocalFile {
public:
    /// Opens (creating it when missing) for writing. Never blocks on opening: a FIFO without a
    /// reader fails. Null on failure.
    static std::unique_ptr<FtpLocalFile> OpenForWrite(const std::string& name);
    /// Opens a regular file for reading; null when it cannot be opened or is not one.
    static std::unique_ptr<FtpLocalFile> OpenForRead(const std::string& name);

    ~FtpLocalFile();
    FtpLocalFile(const FtpLocalFile&) = delete;
    FtpLocalFile& operator=(const FtpLocalFile&) = delete;

    /// Writes all n bytes at the current position. False on failure.
    bool Write(const uint8_t* data, size_t n);
    /// Reads exactly n bytes (fewer only at the end of the file). -1 on failure. Small reads
    /// are served from a read-ahead of 64 KiB.
    int64_t Read(uint8_t* data, size_t n);
    /// The size when opened (regular files), else 0.
    int64_t Size() const noexcept { return size_; }
    bool IsRegular() const noexcept { return regular_; }
    /// Closes the file; deleteIt removes it when it is a regular file still found under its
    /// name as the same file (failures ignored).
    void Close(bool deleteIt) noexcept;

private:
    FtpLocalFile(int fd, std::string name);
    int64_t ReadRaw(uint8_t* data, size_t n);
    static constexpr size_t kReadAhead = 64 * 1024;
    int fd_ = -1;
    std::string name_;
    bool regular_ = false;
    int64_t size_ = 0;
    uint64_t dev_ = 0;
    uint64_t ino_ = 0;
    std::vector<uint8_t> ahead_;  // read ahead, not yet handed out: [aheadPos_, aheadLen_)
    size_t aheadPos_ = 0;
    size_t aheadLen_ = 0;
};

}  // namespace tav
