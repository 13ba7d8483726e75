// The output file of an HTTP request: opened so that no name given to it can harm the machine.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tav {

/// An open output file. Open decides by what the name is (see TavHTTPTransferMgr.hpp): a
/// descriptor name (/dev/stdout, /dev/fd/N) writes to that descriptor; a device, FIFO or
/// socket is written as it is; a directory is refused; anything else (absent, a regular file,
/// a link) gets a new file renamed over the name.
/// Owns its descriptor.
class HttpOutputFile {
public:
    /// Null when the name cannot be opened as an output file; errno tells why.
    static std::unique_ptr<HttpOutputFile> Open(const std::string& name);
    ~HttpOutputFile();
    HttpOutputFile(const HttpOutputFile&) = delete;
    HttpOutputFile& operator=(const HttpOutputFile&) = delete;

    /// Writes all n bytes (retrying short writes); false on failure, errno tells why.
    bool Write(const uint8_t* data, size_t n);
    /// Closes the descriptor. With discard, a file this object created is deleted too, but
    /// only while its name still refers to it.
    void Close(bool discard);
    /// True when Open made a new file (the only kind Close deletes).
    bool Created() const noexcept { return created_; }

private:
    HttpOutputFile(std::string name, int fd, bool created);

    std::string name_;
    int fd_ = -1;
    bool created_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

}  // namespace tav
