// Opening and reading an upload's local file (see upload_source.h).
#include "downlib/upload_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace downlib {

LocalSource::~LocalSource() {
    if (fd_ >= 0) ::close(fd_);
}

bool LocalSource::Open(const std::string& path) {
    // O_NONBLOCK: a FIFO under the name must not hold the open forever.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    opened_ = info;
    return true;
}

std::int64_t LocalSource::Read(std::int64_t position, char* buffer, std::int64_t length) const {
    std::int64_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd_, buffer + done, static_cast<std::size_t>(length - done),
                            static_cast<off_t>(position + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += n;
    }
    return done;
}

bool LocalSource::Unchanged() const {
    struct stat now {};
    return ::fstat(fd_, &now) == 0 && now.st_size == opened_.st_size &&
           now.st_mtim.tv_sec == opened_.st_mtim.tv_sec && now.st_mtim.tv_nsec == opened_.st_mtim.tv_nsec;
}

}  // namespace downlib
