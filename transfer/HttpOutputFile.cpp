// The output file of an HTTP request.
//
// The classic behaviour deletes an existing file and creates it anew, and deletes it again
// when the request fails. Run as root that is a hazard twice over: a name such as /dev/null
// would be deleted, and between the delete and the create another process could plant a link
// at the name. Here a new file is made under a unique temporary name in the same folder and
// renamed over the name (rename replaces a link itself, never what it points to); things
// that are not regular files are written as they are and never deleted.
#include "transfer/HttpOutputFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace tav {

namespace {

int OpenNewBeside(const std::string& name, std::string& tempName) {
    const size_t slash = name.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    static thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random()));
        tempName = dir + "." + base + suffix + ".part";
        // O_EXCL|O_NOFOLLOW: a name planted meanwhile is never opened; 0666 less the umask,
        // as a plain create would give.
        const int fd = ::open(tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

/// The descriptor that /dev/stdout, /dev/stderr, /dev/fd/N or /proc/self/fd/N names; -1 for
/// any other name.
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

}  // namespace

std::unique_ptr<HttpOutputFile> HttpOutputFile::Open(const std::string& name) {
    if (name.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    struct stat target{};
    if (const int named = DescriptorNamed(name); named >= 0) {
        // A descriptor of this process: written through a duplicate, so its offset and append
        // mode hold (a shell's ">>" stays an append), whatever it refers to.
        if (::fstat(named, &target) != 0) return nullptr;
        if (S_ISDIR(target.st_mode)) {
            errno = EISDIR;
            return nullptr;
        }
        const int fd = ::fcntl(named, F_DUPFD_CLOEXEC, 3);
        if (fd < 0) return nullptr;
        return std::unique_ptr<HttpOutputFile>(new HttpOutputFile(name, fd, false));
    }
    const bool resolves = ::stat(name.c_str(), &target) == 0;
    if (resolves && S_ISDIR(target.st_mode)) {
        errno = EISDIR;
        return nullptr;
    }
    if (resolves && !S_ISREG(target.st_mode)) {
        // A device, FIFO or socket: written as it is. O_NONBLOCK makes a FIFO without a
        // reader fail at once instead of stopping the thread; writes block again after.
        const int fd = ::open(name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return std::unique_ptr<HttpOutputFile>(new HttpOutputFile(name, fd, false));
    }
    // Absent, a regular file, or a link (to a regular file, or dangling): a new file takes the
    // name. A link is replaced, not followed, as deleting the name would have done.
    std::string tempName;
    const int fd = OpenNewBeside(name, tempName);
    if (fd < 0) return nullptr;
    if (::rename(tempName.c_str(), name.c_str()) != 0) {
        const int saved = errno;
        ::unlink(tempName.c_str());
        ::close(fd);
        errno = saved;
        return nullptr;
    }
    return std::unique_ptr<HttpOutputFile>(new HttpOutputFile(name, fd, true));
}

HttpOutputFile::HttpOutputFile(std::string name, int fd, bool created)
    : name_(std::move(name)), fd_(fd), created_(created) {
    struct stat st{};
    if (::fstat(fd_, &st) == 0) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
}

HttpOutputFile::~HttpOutputFile() {
    Close(false);
}

bool HttpOutputFile::Write(const uint8_t* data, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd_, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void HttpOutputFile::Close(bool discard) {
    if (fd_ < 0) return;
    if (discard && created_) {
        struct stat st{};
        if (::lstat(name_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == dev_ && st.st_ino == ino_)
            ::unlink(name_.c_str());
    }
    ::close(fd_);
    fd_ = -1;
}

}  // namespace tav
