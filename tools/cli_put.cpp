// The put command: where the file goes, the upload task, and its verdict.
#include "tools/cli_put.h"

#include <cstdio>

#include "downlib/entry_name.h"
#include "downlib/url_path.h"
#include "tools/cli_task_wait.h"
#include "tools/cli_tls.h"

namespace cli {
namespace {

std::string NameOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool IsPutCommand(const std::vector<std::string>& words) {
    if (words.empty() || words[0] != "put") return false;
    std::size_t first = words.size() > 1 && words[1] == "-r" ? 2 : 1;
    std::size_t rest = words.size() - first;
    return (rest == 1 || rest == 2) && !words[first].empty();
}

std::string PutTarget(const std::string& currentDir, const std::string& local, const std::string& remote) {
    std::string path = remote;
    if (path.empty() || path[0] != '/') {
        if (currentDir.empty() || currentDir[0] != '/') return {};
        path = currentDir + (currentDir.back() == '/' ? "" : "/") + path;
    }
    if (path.back() == '/') {
        // The local file's name becomes a name in the remote folder: a server
        // that reads "\" as a separator would climb with "..\x".
        const std::string name = NameOf(local);
        if (!downlib::IsSafeEntryName(name, downlib::EntryNameUse::ServerChild)) return {};
        path += name;
    }
    return path;
}

bool Put(const Options& options, RunConnections& connections, const std::vector<std::string>& words) {
    const bool resume = words[1] == "-r";
    const std::string& local = words[resume ? 2 : 1];
    std::string remote = words.size() > (resume ? 3u : 2u) ? words.back() : std::string();
    std::string currentDir;
    if (remote.empty() || remote[0] != '/') currentDir = connections.Client().GetCurrentDir();
    std::string target = PutTarget(currentDir, local, remote);
    if (target.empty()) {
        std::fprintf(stderr, "quorvel-ftp-cli: put: no remote path for %s\n", local.c_str());
        return false;
    }

    const LanesOutcome lanes = RunInLanes(connections, "put", 1, 1,
                                          [&](std::size_t, downlib::Download& own, const TaskWatch& watch) {
                                              return SendFile(options, own, watch, local, target, resume);
                                          });
    const TransferResult& sent = lanes.files.front();
    if (!sent.started) {
        std::fprintf(stderr, "quorvel-ftp-cli: the upload could not be started\n");
        return false;
    }
    std::printf("%lld\n", static_cast<long long>(sent.bytes));
    std::fflush(stdout);
    return sent.whole && lanes.browsing;
}

TransferResult SendFile(const Options& options, downlib::Download& download, const TaskWatch& watch,
                        const std::string& local, const std::string& target, bool resume) {
    downlib::TaskParam param;
    param.url = "ftp://" + options.host + ":" + std::to_string(options.port) + downlib::EscapeUrlPath(target);
    param.localPath = local;
    param.flags = resume ? downlib::UploadResume : downlib::UploadUpdate;
    param.user = options.user;
    param.password = options.password;
    ApplyTls(options, param);
    if (options.timeoutMs) param.connectTimeout = param.sendTimeout = param.replyTimeout = *options.timeoutMs;
    param.retryCount = options.retries;
    if (options.sendBlock) param.uploadBlockSize = *options.sendBlock;
    const TaskWait wait(watch);
    wait.Attach(param);
    if (!download.StartUpload(param)) return {};
    if (InterruptSignal() != 0) download.StopTask();  // a signal that came while it started
    return wait.Wait(download);
}

}  // namespace cli
