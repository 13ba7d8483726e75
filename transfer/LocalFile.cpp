// The local file of a transfer.
//
// The classic behaviour deletes an existing output file, creates it anew, and deletes it again
// when the transfer fails. Run as root that is a hazard twice over: a name such as /dev/null
// would be deleted, and between the delete and the create another process could plant a link
// at the name. Here a new file is made under a unique name beside it (O_EXCL|O_NOFOLLOW, so
// nothing planted is ever opened) and renamed over the name, which replaces a link itself,
// never what it points to; what is not a regular file is written as it is and never deleted.
#include "transfer/LocalFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace tav {

namespace {

std::string Reason(const char* verb, const std::string& name, int error) {
    return std::string("cannot ") + verb + " " + name + ": " + std::strerror(error);
}

/// A new file beside `name`, under a hidden unique name returned in `tempName`; -1 on failure.
int OpenNewBeside(const std::string& name, std::string& tempName) {
    const size_t slash = name.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    static thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random()));
        tempName = dir + "." + base + suffix + ".part";
        // 0666 less the umask, as a plain create would give.
        const int fd = ::open(tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

/// The descriptor that /dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N or /proc/self/fd/N
/// names; -1 for any other name.
int DescriptorNamed(const std::string& name) {
    if (name == "/dev/stdin") return 0;
    if (name == "/dev/stdout") return 1;
    if (name == "/dev/stderr") return 2;
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const std::string p(prefix);
        if (name.size() <= p.size() || name.compare(0, p.size(), p) != 0) continue;
        int fd = 0;
        for (size_t i = p.size(); i < name.size(); ++i) {
            if (name[i] < '0' || name[i] > '9' || fd > 100000000) return -1;
            fd = fd * 10 + (name[i] - '0');
        }
        return fd;
    }
    return -1;
}

/// Opens without blocking (a FIFO without a peer must not stop the thread), then makes the
/// descriptor blocking again for the transfer.
int OpenAsItIs(const std::string& name, int access) {
    const int fd = ::open(name.c_str(), access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

std::unique_ptr<LocalFile> LocalFile::OpenForWrite(const std::string& name, Replace replace, std::string& error) {
    struct stat target{};
    if (name.empty()) {
        error = Reason("create", "\"\"", ENOENT);
        return nullptr;
    }
    if (const int named = DescriptorNamed(name); named >= 0) {
        const int fd = ::fstat(named, &target) != 0       ? -1
                       : S_ISDIR(target.st_mode)         ? (errno = EISDIR, -1)
                                                         : ::fcntl(named, F_DUPFD_CLOEXEC, 3);
        if (fd < 0) {
            error = Reason("write", name, errno);
            return nullptr;
        }
        return std::unique_ptr<LocalFile>(new LocalFile(name, fd, false));
    }
    const bool resolves = ::stat(name.c_str(), &target) == 0;
    if (resolves && S_ISDIR(target.st_mode)) {
        error = Reason("write", name, EISDIR);
        return nullptr;
    }
    if (resolves && !S_ISREG(target.st_mode)) {
        const int fd = OpenAsItIs(name, O_WRONLY);
        if (fd < 0) {
            error = Reason("open", name, errno);
            return nullptr;
        }
        return std::unique_ptr<LocalFile>(new LocalFile(name, fd, false));
    }
    std::string tempName;
    const int fd = OpenNewBeside(name, tempName);
    if (fd < 0) {
        error = Reason("create", name, errno);
        return nullptr;
    }
    std::unique_ptr<LocalFile> file(new LocalFile(name, fd, true));
    file->temp_ = tempName;
    if (replace == Replace::WhenComplete) return file;
    if (::rename(tempName.c_str(), name.c_str()) != 0) {
        error = Reason("create", name, errno);
        file->Discard();
        return nullptr;
    }
    file->temp_.clear();
    return file;
}

std::unique_ptr<LocalFile> LocalFile::OpenRegular(const std::string& name, int access, const char* verb, std::string& error) {
    const int fd = name.empty() ? (errno = ENOENT, -1) : OpenAsItIs(name, access);
    if (fd < 0) {
        error = Reason(verb, name.empty() ? "\"\"" : name, errno);
        return nullptr;
    }
    std::unique_ptr<LocalFile> file(new LocalFile(name, fd, false));
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = std::string("cannot ") + verb + " " + name + ": not a regular file";
        return nullptr;
    }
    file->size_ = static_cast<int64_t>(info.st_size);
    return file;
}

std::unique_ptr<LocalFile> LocalFile::OpenForAppend(const std::string& name, int64_t size, std::string& error) {
    std::unique_ptr<LocalFile> file = OpenRegular(name, O_WRONLY | O_APPEND | O_NOFOLLOW, "append to", error);
    if (file && file->size_ != size) {
        error = "cannot append to " + name + ": it holds " + std::to_string(file->size_) + " bytes, not " + std::to_string(size);
        return nullptr;
    }
    return file;
}

std::unique_ptr<LocalFile> LocalFile::OpenForRead(const std::string& name, std::string& error) {
    return OpenRegular(name, O_RDONLY, "read", error);
}

LocalFile::LocalFile(std::string name, int fd, bool created) : name_(std::move(name)), fd_(fd), created_(created) {
    struct stat st{};
    if (::fstat(fd_, &st) == 0) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
}

LocalFile::~LocalFile() {
    Close();
}

bool LocalFile::Fail(const char* verb) {
    error_ = Reason(verb, name_, errno);
    return false;
}

bool LocalFile::Write(const uint8_t* data, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd_, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return Fail("write");
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

int64_t LocalFile::ReadRaw(uint8_t* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::read(fd_, data + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return Fail("read"), -1;
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

int64_t LocalFile::Read(uint8_t* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        if (aheadPos_ == aheadLen_) {
            // A large read goes straight to the caller; small ones share one large read.
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

bool LocalFile::Commit() {
    if (fd_ < 0) return false;
    // A delayed write error (a full disk over NFS) shows only at close.
    const bool closed = ::close(fd_) == 0 || errno == EINTR;
    const int closeError = errno;
    fd_ = -1;
    if (!closed) {
        errno = closeError;
        Fail("write");
        RemoveIfOurs(temp_.empty() ? name_ : temp_);
        return false;
    }
    if (temp_.empty()) return true;
    if (::rename(temp_.c_str(), name_.c_str()) != 0) {
        Fail("replace");
        RemoveIfOurs(temp_);
        return false;
    }
    temp_.clear();
    return true;
}

void LocalFile::CloseDescriptor() noexcept {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

void LocalFile::Close() noexcept {
    CloseDescriptor();
    if (!temp_.empty()) RemoveIfOurs(temp_);
    temp_.clear();
}

void LocalFile::Discard() noexcept {
    CloseDescriptor();
    if (created_) RemoveIfOurs(temp_.empty() ? name_ : temp_);
    temp_.clear();
}

void LocalFile::RemoveIfOurs(const std::string& path) noexcept {
    if (!created_ || path.empty()) return;
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == dev_ && st.st_ino == ino_)
        ::unlink(path.c_str());
}

void LocalFile::Release(std::unique_ptr<LocalFile>& file, bool discard) noexcept {
    if (!file) return;
    if (discard)
        file->Discard();
    else
        file->Close();
    file.reset();
}

}  // namespace tav
