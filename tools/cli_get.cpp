// mget: the expansion of a remote folder and the download of its files.
#include "tools/cli_get.h"

#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <tuple>
#include <utility>

#include "downlib/entry_name.h"
#include "downlib/url_path.h"
#include "tools/cli_parallel.h"
#include "tools/cli_task_wait.h"
#include "tools/cli_tls.h"

namespace cli {
namespace {

// One listed entry, as much of it as tells two listings apart.
struct Entry {
    std::string name;
    std::int32_t flag = 0;  // 1: a symbolic link
    std::int64_t size = 0;  // -1: a folder
    double time = 0;

    bool Folder() const { return size == -1 || flag == 1; }
    bool operator==(const Entry& other) const {
        return std::tie(name, flag, size, time) == std::tie(other.name, other.flag, other.size, other.time);
    }
};

// "/a/b" gives "/a", "/a" gives "/".
std::string ParentPath(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

class Expander {
public:
    Expander(downlib::DezAziveduza& client, std::size_t maxRows, Expansion& out)
        : client_(client), maxRows_(maxRows), out_(out) {}

    // The folder's content in the order of the window's remote list: the
    // folders in the reverse of their listing order, then the files.
    std::optional<std::vector<Entry>> List(const std::string& folder) {
        client_.ChangeDir(folder);
        std::vector<std::string> names;
        std::vector<std::int32_t> flags;
        std::vector<std::int64_t> sizes;
        std::vector<double> times;
        int count = client_.ListDir(std::nullopt, &names, &flags, &sizes, &times);
        if (count < 0) return std::nullopt;
        std::vector<Entry> folders;
        std::vector<Entry> files;
        for (int i = 0; i < count; ++i) {
            Entry entry{names[i], flags[i], sizes[i], times[i]};
            if (entry.name == "." || entry.name == "..") continue;
            (entry.Folder() ? folders : files).push_back(std::move(entry));
        }
        std::vector<Entry> ordered(folders.rbegin(), folders.rend());
        ordered.insert(ordered.end(), files.begin(), files.end());
        return ordered;
    }

    bool TakeRow(const std::string& path, bool folder) {
        if (full_) return false;
        if (InterruptSignal() != 0) {
            full_ = true;
            out_.notes.emplace_back("interrupted; the rest is left out");
            return false;
        }
        if (out_.rows.size() >= maxRows_) {
            full_ = true;
            out_.notes.push_back("reached " + std::to_string(out_.rows.size()) +
                                 " entries; the rest is left out");
            return false;
        }
        out_.rows.push_back(RemoteRow{path, folder});
        return true;
    }

    // A folder entry (or a link shown as one): its row and its content.
    // True when it was entered and listed.
    bool AddFolder(const std::string& parent, const Entry& entry) {
        const std::string path = parent + "/" + entry.name;
        if (!client_.ChangeDir(path)) {
            if (entry.flag == 1) {
                // A link the server cannot enter leads to a file, or nowhere.
                TakeRow(path, false);
            } else {
                TakeRow(path, true);
                out_.notes.push_back("cannot enter " + path + "; its content is left out");
            }
            return false;
        }
        std::string serverPath = client_.GetCurrentDir();
        if (serverPath.empty()) serverPath = path;
        for (const std::string& entered : serverPath_) {
            if (entered == serverPath) {
                std::string note = path + " leads back to ";
                note += serverPath;
                note += "; not entered";
                out_.notes.push_back(std::move(note));
                return false;
            }
        }
        std::optional<std::vector<Entry>> content;
        if (entry.flag == 1) {
            // A server that names the folder by the path through the link
            // shows no loop in PWD; the listing of a folder on the way does.
            content = List(path);
            for (std::size_t i = 0; content && i < listings_.size(); ++i) {
                if (listings_[i] == *content) {
                    out_.notes.push_back(path + " lists as " + serverPath_[i] + " does; not entered");
                    return false;
                }
            }
        }
        if (!TakeRow(path, true)) return false;
        if (static_cast<int>(serverPath_.size()) > kMaxMgetDepth) {
            out_.notes.push_back(path + " is too deep; not entered");
            return false;
        }
        if (!content) content = List(path);
        if (!content) {
            out_.notes.push_back("cannot list " + path + "; its content is left out");
            return false;
        }
        Enter(path, serverPath, *content);
        return true;
    }

    // A folder on the way down that is not itself expanded.
    void Push(const std::string& serverPath, std::vector<Entry> listing) {
        serverPath_.push_back(serverPath);
        listings_.push_back(std::move(listing));
    }

    void Enter(const std::string& folder, const std::string& serverPath, const std::vector<Entry>& content) {
        serverPath_.push_back(serverPath);
        listings_.push_back(content);
        for (const Entry& entry : content) {
            if (full_) break;
            if (!downlib::IsSafeEntryName(entry.name, downlib::EntryNameUse::LocalComponent)) {
                out_.notes.push_back("\"" + entry.name + "\" in " + folder +
                                     " cannot be a local name; left out");
                continue;
            }
            if (entry.Folder()) {
                AddFolder(folder, entry);
            } else {
                TakeRow(folder + "/" + entry.name, false);
            }
        }
        listings_.pop_back();
        serverPath_.pop_back();
    }

private:
    downlib::DezAziveduza& client_;
    const std::size_t maxRows_;
    Expansion& out_;
    std::vector<std::string> serverPath_;       // the server's paths of the folders entered
    std::vector<std::vector<Entry>> listings_;  // ...and what each of them listed
    bool full_ = false;
};

// A folder that is there already (not a link to one) is used as it is.
bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// One level below the chosen folder, as the window's driver creates a folder
// row: the folders between are entered without following links.
bool MakeLocalFolder(const std::string& base, const std::string& path) {
    return downlib::CreateLocalFolderBelow(base, path) || IsFolder(path);
}

}  // namespace

Expansion ExpandRemoteFolder(downlib::DezAziveduza& client, const std::string& remoteDir,
                             std::size_t maxRows) {
    Expansion out;
    std::string dir = remoteDir;
    if (dir.empty() || dir[0] != '/') {
        const std::string current = client.GetCurrentDir();
        if (current.empty()) return out;
        dir = current + (current.back() == '/' ? "" : "/") + dir;
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();

    Expander expander(client, maxRows, out);
    if (dir == "/") {
        out.base = "/";
        std::optional<std::vector<Entry>> content = expander.List("/");
        if (!content) return out;
        std::string serverPath = client.GetCurrentDir();
        expander.Enter("/", serverPath.empty() ? "/" : serverPath, *content);
        out.ok = true;
        return out;
    }
    // As a selection in the parent folder: the window names it parent + "/" + name.
    out.base = ParentPath(dir);
    const std::string name = dir.substr(dir.rfind('/') + 1);
    if (!downlib::IsSafeEntryName(name, downlib::EntryNameUse::LocalComponent)) return out;
    std::optional<std::vector<Entry>> parentListing = expander.List(out.base);
    std::string parentServerPath = parentListing ? client.GetCurrentDir() : std::string();
    Entry self{name, 0, -1, 0};
    if (parentListing) {
        for (const Entry& entry : *parentListing) {
            if (entry.name == name) self = entry;
        }
        if (!self.Folder()) return out;  // a file: get is for that
    }
    // The walk starts as a request in the parent folder does: with the
    // parent on the way down.
    expander.Push(parentServerPath.empty() ? out.base : parentServerPath,
                  parentListing.value_or(std::vector<Entry>{}));
    out.ok = expander.AddFolder(out.base, self);
    return out;
}

TransferResult FetchFile(const Options& options, downlib::Download& download, const TaskWatch& watch,
                         const std::string& remotePath, const std::string& localPath,
                         const std::string& localBase) {
    std::string remote = remotePath;
    if (remote.empty() || remote[0] != '/') remote = "/" + remote;
    downlib::TaskParam param;
    param.url = "ftp://" + options.host + ":" + std::to_string(options.port) + downlib::EscapeUrlPath(remote);
    param.localPath = localPath;
    param.localBase = localBase;
    param.user = options.user;
    param.password = options.password;
    ApplyTls(options, param);
    if (options.timeoutMs) param.connectTimeout = param.sendTimeout = param.replyTimeout = *options.timeoutMs;
    param.retryCount = options.retries;
    const TaskWait wait(watch);
    wait.Attach(param);  // an existing local file: the engine picks name(1).ext
    if (!download.StartTask(param)) return {};
    // A signal that came while the task was being started.
    if (InterruptSignal() != 0) download.StopTask();
    return wait.Wait(download);
}

bool Get(const Options& options, RunConnections& connections, const std::vector<std::string>& words) {
    const std::string& local = words[2];
    // The folder named in LOCAL is the chosen folder: the file is created in
    // it without following a link in its place.
    std::string localBase;
    if (std::size_t slash = local.rfind('/'); slash != std::string::npos)
        localBase = slash == 0 ? "/" : local.substr(0, slash);
    const LanesOutcome lanes = RunInLanes(
        connections, "get", 1, 1, [&](std::size_t, downlib::Download& own, const TaskWatch& watch) {
            return FetchFile(options, own, watch, words[1], local, localBase);
        });
    const TransferResult& fetched = lanes.files.front();
    if (!fetched.started) {
        std::fprintf(stderr, "quorvel-ftp-cli: the download could not be started\n");
        return false;
    }
    std::printf("%lld\n", static_cast<long long>(fetched.bytes));
    std::fflush(stdout);
    return fetched.whole && lanes.browsing;
}

bool IsMgetCommand(const std::vector<std::string>& words) {
    if (words.empty() || words[0] != "mget") return false;
    const JobsWord jobs = ParseJobs(words, 1);
    return jobs.ok && jobs.next + 2 == words.size();
}

bool Mget(const Options& options, RunConnections& connections, const std::vector<std::string>& words) {
    downlib::DezAziveduza& client = connections.Client();
    const JobsWord jobs = ParseJobs(words, 1);
    if (!jobs.ok || jobs.next + 2 != words.size()) {
        std::fprintf(stderr, "quorvel-ftp-cli: mget: -j takes a count from 1 to %d\n", kMaxJobs);
        return false;
    }
    const std::string& remoteDir = words[jobs.next];
    std::string localDir = words[jobs.next + 1];
    while (localDir.size() > 1 && localDir.back() == '/') localDir.pop_back();
    Expansion expansion = ExpandRemoteFolder(client, remoteDir);
    for (const std::string& note : expansion.notes)
        std::fprintf(stderr, "quorvel-ftp-cli: mget: %s\n", ForStderr(note).c_str());
    if (!expansion.ok) {
        std::fprintf(stderr, "quorvel-ftp-cli: mget: %s is no folder that can be listed\n",
                     ForStderr(remoteDir).c_str());
        return false;
    }
    if (::mkdir(localDir.c_str(), 0755) != 0 && !IsFolder(localDir)) {
        std::fprintf(stderr, "quorvel-ftp-cli: mget: cannot create %s\n", ForStderr(localDir).c_str());
        return false;
    }
    bool all = expansion.notes.empty();
    // Every folder is made before any file starts: with several files at
    // once, a file may otherwise come before the folder it lies in.
    std::vector<std::pair<std::string, std::string>> files;  // remote, local
    for (const RemoteRow& row : expansion.rows) {
        // The row's path below the base, as the window's driver takes it.
        const std::string local =
            localDir + (localDir == "/" ? "" : "/") + row.remotePath.substr(expansion.base.size() + 1);
        if (!row.folder) {
            files.emplace_back(row.remotePath, local);
        } else if (!MakeLocalFolder(localDir, local)) {
            std::fprintf(stderr, "quorvel-ftp-cli: mget: cannot create %s\n", ForStderr(local).c_str());
            all = false;
        }
    }
    const LanesOutcome lanes =
        RunInLanes(connections, "mget", files.size(), jobs.jobs,
                   [&](std::size_t i, downlib::Download& own, const TaskWatch& watch) {
                       return FetchFile(options, own, watch, files[i].first, files[i].second, localDir);
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
            std::fprintf(stderr, "quorvel-ftp-cli: mget: %s did not arrive whole\n",
                         ForStderr(files[i].first).c_str());
            all = false;
        }
    }
    std::printf("%lld %lld\n", static_cast<long long>(count), static_cast<long long>(bytes));
    std::fflush(stdout);
    return all;
}

}  // namespace cli
