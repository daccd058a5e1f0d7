// Local folders and files of a download, reached below the folder the user
// chose one component at a time: every component below that folder is
// opened with O_NOFOLLOW | O_DIRECTORY relative to the one above it, so a
// symbolic link planted inside the download folder cannot send a new file
// or folder anywhere else. The chosen folder itself is taken as the user
// named it.
#pragma once

#include <optional>
#include <string>

namespace downlib {

// An open folder descriptor; closed when released.
class FolderHandle {
public:
    FolderHandle() = default;
    explicit FolderHandle(int fd) : fd_(fd) {}
    ~FolderHandle();
    FolderHandle(FolderHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Where a local file goes: its folder, opened safely, and its name there.
struct LocalTarget {
    FolderHandle folder;
    std::string name;
};

// Opens the folder of `path` below `base`: `path` must be `base` followed by
// "/" and plain names (none empty, ".", ".."); every folder between them is
// entered without following a link. With an empty base, the folder of `path`
// is opened as named. No value (errno set) when a component is missing, is a
// link or is not a folder, or when the path is not below the base.
std::optional<LocalTarget> OpenLocalTarget(const std::string& base, const std::string& path);

// True when `name` exists in the target's folder (a link counts, dangling or not).
bool ExistsIn(const LocalTarget& target, const std::string& name);

}  // namespace downlib
