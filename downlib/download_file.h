// The local file a download writes into: created exclusively under its part
// name, space reserved in steps, cut to its whole bytes when it ends early.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "downlib/local_path.h"
#include "downlib/segment_table.h"

namespace downlib {

// The local file of a download: created exclusively, written at positions.
// Space is reserved in steps of at most kReserveStep ahead of the bytes
// written, without changing the visible size, so the visible size is the
// bytes written so far even after a kill or a power loss (with several
// connections, the end of the furthest part written). Released at the end of
// the transfer; a write after that fails instead of writing. A file that did
// not arrive whole is cut to the bytes received without a gap from byte 0,
// which also gives back every block reserved past them.
class DownloadFile {
public:
    DownloadFile() = default;
    ~DownloadFile();
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    // Creates `target.name` in the target's folder. False (errno kept) when
    // the file exists, a link is in the way, the folder is not writable, or
    // the space cannot be reserved. `path` is kept for reports.
    bool Create(const LocalTarget& target, const std::string& path, std::int64_t size);
    // Opens an existing part file to go on from byte `kept` (what lies past
    // it is cut off). False when it is not a plain file of at least that size.
    bool OpenPart(const LocalTarget& target, const std::string& path, std::int64_t size, std::int64_t kept);
    // After Release: renames the file to `finalName` in the same folder,
    // never over an existing entry. False (the file keeps its name) otherwise.
    bool Promote(const std::string& finalName);
    // The folder the file lives in (-1 before Create), for its sidecar.
    int FolderFd() const;
    bool IsOpen() const;
    // Writes the bytes at the part's position and counts them as written.
    bool Write(SegmentTable& table, int index, const char* data, std::int64_t length);
    // Closes the file; an incomplete one is cut first. The size kept, or -1
    // when no file was ever created.
    std::int64_t Release(const SegmentTable& table);
    std::int64_t KeptSize() const;
    std::string Path() const;

private:
    // Under the lock: the file opened at `fd` becomes this one.
    void Adopt(const LocalTarget& target, int fd, const std::string& path, std::int64_t size,
               std::int64_t reservedTo);

    mutable std::mutex lock_;
    int fd_ = -1;
    int folder_ = -1;
    std::string name_;
    std::vector<std::int64_t> reservedTo_;  // per part: reserved up to here
    bool released_ = false;
    std::int64_t size_ = 0;
    std::int64_t kept_ = -1;
    std::string path_;
};

// The most a download's file holds reserved ahead of its written bytes, per part.
inline constexpr std::int64_t kReserveStep = std::int64_t{64} << 20;

}  // namespace downlib
