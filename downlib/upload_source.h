// The local file of an upload, opened read-only and never mapped.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>

namespace downlib {

// An upload can neither change its source nor fail on one that may not be
// written.
class LocalSource {
public:
    LocalSource() = default;
    ~LocalSource();
    LocalSource(const LocalSource&) = delete;
    LocalSource& operator=(const LocalSource&) = delete;

    // False for a file that cannot be opened or that is not a regular file.
    bool Open(const std::string& path);
    std::int64_t Size() const { return static_cast<std::int64_t>(opened_.st_size); }
    std::time_t ModifiedSeconds() const { return opened_.st_mtim.tv_sec; }
    int Fd() const { return fd_; }
    // Up to `length` bytes at `position`; fewer only at the end of the file,
    // -1 on a read error.
    std::int64_t Read(std::int64_t position, char* buffer, std::int64_t length) const;
    // True while the file has the size and the modification time it had when
    // it was opened: what was sent is then the file as it is.
    bool Unchanged() const;

private:
    int fd_ = -1;
    struct stat opened_ {};
};

}  // namespace downlib
