// mput: the walk of a local folder and the upload of its files in lanes.
#include "tools/cli_mput.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "tools/cli_parallel.h"
#include "tools/cli_put.h"

namespace cli {
namespace {

bool HasControlByte(const std::string& name) {
    return std::any_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// "folder/name" without temporary strings.
std::string Below(const std::string& folder, const std::string& name) {
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    path.append(folder).append(1, '/').append(name);
    return path;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

class Walker {
public:
    Walker(std::size_t maxRows, LocalWalk& out) : maxRows_(maxRows), out_(out) {}

    // Adds the folder at `path` (shown as `relative`) and its content.
    void Folder(const std::string& path, const std::string& relative, int depth) {
        if (!Room()) return;
        out_.rows.push_back({relative, true});
        if (depth >= kMaxDepth) {
            out_.notes.push_back(relative + ": deeper than " + std::to_string(kMaxDepth) +
                                 " folders, not entered");
            return;
        }
        std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
        if (!dir) {
            out_.notes.push_back(relative + ": cannot be read");
            return;
        }
        std::vector<std::string> folders;
        std::vector<std::string> files;
        while (dirent* entry = ::readdir(dir.get())) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            if (HasControlByte(name)) {
                out_.notes.push_back(
                    Below(relative, name).append(": a name with a control character, left out"));
                continue;
            }
            struct stat info {};
            if (::fstatat(::dirfd(dir.get()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (S_ISDIR(info.st_mode)) {
                folders.push_back(name);
            } else if (S_ISREG(info.st_mode)) {
                files.push_back(name);
            } else {
                out_.notes.push_back(Below(relative, name).append(": no file or folder (a link?), left out"));
            }
        }
        std::sort(folders.begin(), folders.end());
        std::sort(files.begin(), files.end());
        for (const std::string& name : folders) Folder(Below(path, name), Below(relative, name), depth + 1);
        for (const std::string& name : files) {
            if (!Room()) return;
            out_.rows.push_back({Below(relative, name), false});
        }
    }

private:
    static constexpr int kMaxDepth = 48;

    bool Room() {
        if (out_.rows.size() < maxRows_) return true;
        if (!full_)
            out_.notes.push_back("more than " + std::to_string(maxRows_) + " entries, the rest left out");
        full_ = true;
        return false;
    }

    const std::size_t maxRows_;
    LocalWalk& out_;
    bool full_ = false;
};

std::string NameOf(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// MKD, where a refusal for a folder that exists already is no failure.
bool MakeRemoteFolder(downlib::DezAziveduza& client, const std::string& path) {
    if (client.MakeDir(path)) return true;
    const std::string here = client.GetCurrentDir();
    if (!client.ChangeDir(path)) return false;
    if (!here.empty()) client.ChangeDir(here);
    return true;
}

}  // namespace

LocalWalk WalkLocalFolder(const std::string& localDir, std::size_t maxRows) {
    LocalWalk out;
    struct stat info {};
    if (::stat(localDir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return out;
    const std::string name = NameOf(localDir);
    if (name.empty() || name == "/" || name == "." || name == ".." || HasControlByte(name)) return out;
    Walker(maxRows, out).Folder(localDir, name, 0);
    out.ok = true;
    return out;
}

bool IsMputCommand(const std::vector<std::string>& words) {
    if (words.empty() || words[0] != "mput") return false;
    const JobsWord jobs = ParseJobs(words, 1);
    return jobs.ok && jobs.next + 2 == words.size();
}

bool Mput(const Options& options, RunConnections& connections, const std::vector<std::string>& words) {
    downlib::DezAziveduza& client = connections.Client();
    const JobsWord jobs = ParseJobs(words, 1);
    if (!jobs.ok || jobs.next + 2 != words.size()) return false;
    std::string localDir = words[jobs.next];
    while (localDir.size() > 1 && localDir.back() == '/') localDir.pop_back();
    std::string remoteDir = words[jobs.next + 1];
    if (remoteDir.empty() || remoteDir[0] != '/') {
        const std::string current = client.GetCurrentDir();
        if (current.empty()) return false;
        remoteDir = current + (current.back() == '/' ? "" : "/") + remoteDir;
    }
    while (remoteDir.size() > 1 && remoteDir.back() == '/') remoteDir.pop_back();
    const LocalWalk walk = WalkLocalFolder(localDir);
    for (const std::string& note : walk.notes)
        std::fprintf(stderr, "quorvel-ftp-cli: mput: %s\n", ForStderr(note).c_str());
    if (!walk.ok) {
        std::fprintf(stderr, "quorvel-ftp-cli: mput: %s is no folder that can be read\n",
                     ForStderr(localDir).c_str());
        return false;
    }
    const std::string localParent = localDir.substr(0, localDir.size() - NameOf(localDir).size());
    const std::string remoteBase = remoteDir == "/" ? "/" : remoteDir + "/";
    bool all = walk.notes.empty();
    std::vector<std::pair<std::string, std::string>> files;  // local, remote
    std::vector<std::string> refusedFolders;
    for (const LocalRow& row : walk.rows) {
        const std::string remote = remoteBase + row.relative;
        // The files of a folder the server would not make are not sent.
        const bool under =
            std::any_of(refusedFolders.begin(), refusedFolders.end(),
                        [&](const std::string& f) { return remote.compare(0, f.size() + 1, f + "/") == 0; });
        if (under) {
            all = false;
            continue;
        }
        if (!row.folder) {
            files.emplace_back(localParent + row.relative, remote);
        } else if (!MakeRemoteFolder(client, remote)) {
            std::fprintf(stderr, "quorvel-ftp-cli: mput: cannot create %s\n", ForStderr(remote).c_str());
            refusedFolders.push_back(remote);
            all = false;
        }
    }
    const LanesOutcome lanes =
        RunInLanes(connections, "mput", files.size(), jobs.jobs,
                   [&](std::size_t i, downlib::Download& own, const TaskWatch& watch) {
                       return SendFile(options, own, watch, files[i].first, files[i].second, false);
                   });
    const std::vector<TransferResult>& results = lanes.files;
    all = all && lanes.browsing;
    std::int64_t count = 0;
    std::int64_t bytes = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (results[i].whole) {
            ++count;
            bytes += results[i].bytes;
        } else {
            std::fprintf(stderr, "quorvel-ftp-cli: mput: %s did not arrive whole\n",
                         ForStderr(files[i].first).c_str());
            all = false;
        }
    }
    std::printf("%lld %lld\n", static_cast<long long>(count), static_cast<long long>(bytes));
    std::fflush(stdout);
    return all;
}

}  // namespace cli
