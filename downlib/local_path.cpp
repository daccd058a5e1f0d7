// Component-by-component opening of local download paths (see local_path.h).
#include "downlib/local_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "downlib/entry_name.h"
#include "downlib/ftp_engine.h"

namespace downlib {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// A file name the user chose: anything the system takes but a folder's own
// names. (Names below a base come from a listing and follow its rule.)
bool IsUsersFileName(const std::string& name) { return !name.empty() && name != "." && name != ".."; }

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The pieces of `relative` (no leading "/"), or no value when one is not a plain name.
std::optional<std::vector<std::string>> Pieces(const std::string& relative) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t slash = relative.find('/', start);
        if (slash == std::string::npos) slash = relative.size();
        std::string piece = relative.substr(start, slash - start);
        if (!IsSafeEntryName(piece, EntryNameUse::LocalComponent)) return std::nullopt;
        pieces.push_back(std::move(piece));
        start = slash + 1;
    }
    return pieces;
}

// Opens `base`, then each of `folders` below it without following links.
FolderHandle OpenBelow(const std::string& base, const std::vector<std::string>& folders) {
    FolderHandle folder(::open(base.c_str(), kFolderFlags));
    for (const std::string& name : folders) {
        if (!folder.valid()) break;
        folder = FolderHandle(::openat(folder.fd(), name.c_str(), kFolderFlags | O_NOFOLLOW));
    }
    return folder;
}

// `base` and the part of `path` below it, or no value when `path` is not below `base`.
std::optional<std::string> RelativeTo(const std::string& base, const std::string& path) {
    const std::string root = WithoutTrailingSlashes(base);
    const std::string prefix = root == "/" ? root : root + "/";
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    std::string relative = path.substr(prefix.size());
    while (!relative.empty() && relative[0] == '/') relative.erase(0, 1);
    return relative;
}

}  // namespace

FolderHandle::~FolderHandle() {
    if (fd_ >= 0) ::close(fd_);
}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

std::optional<LocalTarget> OpenLocalTarget(const std::string& base, const std::string& path) {
    LocalTarget target;
    if (base.empty()) {
        const std::size_t slash = path.rfind('/');
        target.name = slash == std::string::npos ? path : path.substr(slash + 1);
        const std::string folder =
            slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
        if (!IsUsersFileName(target.name)) {
            errno = EINVAL;
            return std::nullopt;
        }
        target.folder = FolderHandle(::open(folder.c_str(), kFolderFlags));
    } else {
        std::optional<std::string> relative = RelativeTo(base, path);
        std::optional<std::vector<std::string>> pieces = relative ? Pieces(*relative) : std::nullopt;
        if (!pieces) {
            errno = EINVAL;
            return std::nullopt;
        }
        target.name = pieces->back();
        pieces->pop_back();
        target.folder = OpenBelow(base, *pieces);
    }
    if (!target.folder.valid()) return std::nullopt;
    return target;
}

bool ExistsIn(const LocalTarget& target, const std::string& name) {
    struct stat info {};
    return ::fstatat(target.folder.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

bool CreateLocalFolderBelow(const std::string& base, const std::string& folder) {
    std::optional<LocalTarget> target = OpenLocalTarget(base, WithoutTrailingSlashes(folder));
    if (!target) return false;
    return ::mkdirat(target->folder.fd(), target->name.c_str(), 0755) == 0;
}

}  // namespace downlib
