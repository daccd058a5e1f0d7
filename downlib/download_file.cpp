// Creating, reserving, writing, cutting and promoting a download's local file.
#include "downlib/download_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "downlib/part_file.h"

namespace downlib {

DownloadFile::~DownloadFile() {
    if (fd_ >= 0) ::close(fd_);
    if (folder_ >= 0) ::close(folder_);
}

namespace {

// A full disk is found before the first byte instead of in the middle of the
// transfer: the free space is checked once against the stated size.
bool FitsOnDisk(int fd, std::int64_t size) {
    struct statvfs fs {};
    if (::fstatvfs(fd, &fs) != 0) return true;  // nothing to check against
    const unsigned long long available =
        static_cast<unsigned long long>(fs.f_bavail) * static_cast<unsigned long long>(fs.f_frsize);
    if (available < static_cast<unsigned long long>(size)) {
        errno = ENOSPC;
        return false;
    }
    return true;
}

// Space is reserved in steps just ahead of the bytes written, never for the
// whole stated size: a server that claims gigabytes for a small file (or a
// kill early in a large one) then holds at most one step per part. The
// visible size is not changed, so a file left by a kill never looks whole. A
// file system that cannot reserve simply gets none.
bool ReserveSpace(int fd, std::int64_t from, std::int64_t length) {
    if (length <= 0) return true;
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from), static_cast<off_t>(length)) == 0)
        return true;
    return errno == EOPNOTSUPP || errno == ENOSYS;
}

}  // namespace

bool DownloadFile::Create(const LocalTarget& target, const std::string& path, std::int64_t size) {
    std::lock_guard lock(lock_);
    if (fd_ >= 0 || released_) return false;
    // O_EXCL and O_NOFOLLOW: a planted file or link never receives our bytes.
    int fd = ::openat(target.folder.fd(), target.name.c_str(),
                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if (size > 0 && (!FitsOnDisk(fd, size) || !ReserveSpace(fd, 0, std::min(size, kReserveStep)))) {
        int error = errno;
        ::close(fd);
        ::unlinkat(target.folder.fd(), target.name.c_str(), 0);
        errno = error;
        return false;
    }
    Adopt(target, fd, path, size, std::min(size, kReserveStep));
    return true;
}

bool DownloadFile::OpenPart(const LocalTarget& target, const std::string& path, std::int64_t size,
                            std::int64_t kept) {
    std::lock_guard lock(lock_);
    if (fd_ >= 0 || released_) return false;
    int fd = ::openat(target.folder.fd(), target.name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < kept || kept > size ||
        ::ftruncate(fd, static_cast<off_t>(kept)) != 0 || !FitsOnDisk(fd, size - kept) ||
        !ReserveSpace(fd, kept, std::min(size - kept, kReserveStep))) {
        int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    Adopt(target, fd, path, size, kept + std::min(size - kept, kReserveStep));
    return true;
}

void DownloadFile::Adopt(const LocalTarget& target, int fd, const std::string& path, std::int64_t size,
                         std::int64_t reservedTo) {
    folder_ = ::fcntl(target.folder.fd(), F_DUPFD_CLOEXEC, 0);
    name_ = target.name;
    fd_ = fd;
    size_ = size;
    path_ = path;
    reservedTo_.assign(1, reservedTo);
}

bool DownloadFile::Promote(const std::string& finalName) {
    std::lock_guard lock(lock_);
    if (!released_ || folder_ < 0 || name_.empty()) return false;
    // Never over a file that appeared under the final name meanwhile: the
    // same-name question was asked about the folder as it was then.
    if (::renameat2(folder_, name_.c_str(), folder_, finalName.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return false;
        if (::linkat(folder_, name_.c_str(), folder_, finalName.c_str(), 0) != 0) return false;
        ::unlinkat(folder_, name_.c_str(), 0);
    }
    name_ = finalName;
    return true;
}

int DownloadFile::FolderFd() const {
    std::lock_guard lock(lock_);
    return folder_;
}

bool DownloadFile::IsOpen() const {
    std::lock_guard lock(lock_);
    return fd_ >= 0;
}

bool DownloadFile::Write(SegmentTable& table, int index, const char* data, std::int64_t length) {
    std::lock_guard lock(lock_);
    if (fd_ < 0 || released_) return false;
    Segment segment = table.Get(index);
    std::int64_t position = segment.Position();
    // Nothing is ever written past the part's end, whatever the server sends.
    if (length < 0 || position + length > segment.End() || segment.End() > size_) return false;
    if (index < 0) return false;
    const auto slot = static_cast<std::size_t>(index);
    if (reservedTo_.size() <= slot) reservedTo_.resize(slot + 1, 0);
    if (position + length > reservedTo_[slot]) {
        const std::int64_t from = std::max(position, reservedTo_[slot]);
        const std::int64_t until = std::min(segment.End(), position + length + kReserveStep);
        if (!ReserveSpace(fd_, from, until - from)) return false;
        reservedTo_[slot] = until;
    }
    std::int64_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd_, data + done, static_cast<std::size_t>(length - done),
                             static_cast<off_t>(position + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    table.AddWritten(index, length);
    return true;
}

std::int64_t DownloadFile::Release(const SegmentTable& table) {
    std::lock_guard lock(lock_);
    if (released_) return kept_;
    released_ = true;
    if (fd_ < 0) return kept_;
    kept_ = table.AllComplete() ? size_ : table.ContiguousFromStart();
    // Cutting also gives back the space reserved past the end.
    if (::ftruncate(fd_, static_cast<off_t>(kept_)) != 0) {
        struct stat info {};
        if (::fstat(fd_, &info) == 0) kept_ = info.st_size;
    }
    ::close(fd_);
    fd_ = -1;
    return kept_;
}

std::int64_t DownloadFile::KeptSize() const {
    std::lock_guard lock(lock_);
    return kept_;
}

std::string DownloadFile::Path() const {
    std::lock_guard lock(lock_);
    return path_;
}

}  // namespace downlib
