// The local file of an FTP transfer.
#include "transfer/FtpLocalFile.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tav {

FtpLocalFile::FtpLocalFile(int fd, std::string name) : fd_(fd), name_(std::move(name)) {
    struct stat info {};
    if (::fstat(fd_, &info) == 0) {
        regular_ = S_ISREG(info.st_mode);
        size_ = regular_ ? static_cast<int64_t>(info.st_size) : 0;
        dev_ = static_cast<uint64_t>(info.st_dev);
        ino_ = static_cast<uint64_t>(info.st_ino);
    }
}

FtpLocalFile::~FtpLocalFile() {
    Close(false);
}

std::unique_ptr<FtpLocalFile> FtpLocalFile::OpenForWrite(const std::string& name) {
    if (name.empty()) return nullptr;
    // Non-blocking only for the open itself: a FIFO nobody reads must not stop the thread.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return nullptr;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return std::unique_ptr<FtpLocalFile>(new FtpLocalFile(fd, name));
}

std::unique_ptr<FtpLocalFile> FtpLocalFile::OpenForRead(const std::string& name) {
    if (name.empty()) return nullptr;
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    std::unique_ptr<FtpLocalFile> file(new FtpLocalFile(fd, name));
    if (!file->regular_) return nullptr;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return file;
}

bool FtpLocalFile::Write(const uint8_t* data, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd_, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

int64_t FtpLocalFile::ReadRaw(uint8_t* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::read(fd_, data + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

int64_t FtpLocalFile::Read(uint8_t* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        if (aheadPos_ == aheadLen_) {
            // Small reads are served from one large read: a 4096-byte block costs no call.
            if (n - done >= kReadAhead) {
                const int64_t direct = ReadRaw(data + done, n - done);
                return direct < 0 ? -1 : static_cast<int64_t>(done) + direct;
            }
            ahead_.resize(kReadAhead);
            const int64_t got = ReadRaw(ahead_.data(), kReadAhead);
            if (got < 0) return -1;
            aheadPos_ = 0;
            aheadLen_ = static_cast<size_t>(got);
            if (got == 0) break;
        }
        const size_t take = std::min(n - done, aheadLen_ - aheadPos_);
        std::memcpy(data + done, ahead_.data() + aheadPos_, take);
        aheadPos_ += take;
        done += take;
    }
    return static_cast<int64_t>(done);
}

void FtpLocalFile::Close(bool deleteIt) noexcept {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    if (!deleteIt || !regular_) return;
    // Only the file we had open: a name that now names something else is left alone.
    struct stat info {};
    if (::lstat(name_.c_str(), &info) == 0 && S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_dev) == dev_ &&
        static_cast<uint64_t>(info.st_ino) == ino_)
        (void)::unlink(name_.c_str());
}

}  // namespace tav
