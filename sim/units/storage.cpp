#include "sim/units/storage.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim::units {

bool MemoryStorage::Read(uint64_t offset, uint8_t* out, size_t length) {
    while (length > 0) {
        uint64_t page = offset / PageSize;
        size_t within = static_cast<size_t>(offset % PageSize);
        size_t chunk = PageSize - within;
        if (chunk > length) chunk = length;
        auto found = pages_.find(page);
        if (found == pages_.end()) {
            std::memset(out, 0, chunk);
        } else {
            std::memcpy(out, found->second.get() + within, chunk);
        }
        out += chunk;
        offset += chunk;
        length -= chunk;
    }
    return true;
}

bool MemoryStorage::Write(uint64_t offset, const uint8_t* in, size_t length) {
    while (length > 0) {
        uint64_t page = offset / PageSize;
        size_t within = static_cast<size_t>(offset % PageSize);
        size_t chunk = PageSize - within;
        if (chunk > length) chunk = length;
        std::unique_ptr<uint8_t[]>& bytes = pages_[page];
        if (!bytes) bytes.reset(new uint8_t[PageSize]());
        std::memcpy(bytes.get() + within, in, chunk);
        in += chunk;
        offset += chunk;
        length -= chunk;
    }
    return true;
}

FileStorage::~FileStorage() {
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<FileStorage> FileStorage::Open(const std::string& path, bool readOnly,
                                               std::string& error) {
    int fd = -1;
    bool openedReadOnly = readOnly;
    if (!readOnly) {
        fd = ::open64(path.c_str(), O_RDWR | O_CLOEXEC);
        // An image the user may not write still serves reads, as a
        // write-protected disk does.
        if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
            openedReadOnly = true;
        }
    }
    if (fd < 0 && openedReadOnly) fd = ::open64(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    struct stat64 info;
    if (::fstat64(fd, &info) != 0) {
        error = "cannot examine '" + path + "': " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "'" + path + "' is not a regular file";
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<FileStorage>(
        new FileStorage(fd, openedReadOnly, static_cast<uint64_t>(info.st_size)));
}

bool FileStorage::Read(uint64_t offset, uint8_t* out, size_t length) {
    while (length > 0) {
        ssize_t got = ::pread64(fd_, out, length, static_cast<off64_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) {
            // Past the end of the file: the medium reads as zeros there.
            std::memset(out, 0, length);
            return true;
        }
        out += got;
        offset += static_cast<uint64_t>(got);
        length -= static_cast<size_t>(got);
    }
    return true;
}

bool FileStorage::Write(uint64_t offset, const uint8_t* in, size_t length) {
    if (readOnly_) return false;
    while (length > 0) {
        ssize_t put = ::pwrite64(fd_, in, length, static_cast<off64_t>(offset));
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (put == 0) return false;
        in += put;
        offset += static_cast<uint64_t>(put);
        length -= static_cast<size_t>(put);
    }
    return true;
}

bool FileStorage::Flush() {
    if (readOnly_) return true;
    return ::fdatasync(fd_) == 0;
}

}  // namespace sim::units
