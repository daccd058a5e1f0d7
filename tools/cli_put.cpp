// The put command: where the file goes, the upload task, and its verdict.
#include "tools/cli_put.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "downlib/entry_name.h"
#include "downlib/url_path.h"
#include "tools/cli_tls.h"

namespace cli {
namespace {

std::string NameOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What an upload task reported, filled on the task's threads.
struct PutOutcome {
    std::mutex lock;
    std::condition_variable changed;
    bool ended = false;
    bool complete = false;
    bool failed = false;
    std::int64_t bytes = 0;
};

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

bool Put(const Options& options, downlib::DezAziveduza& client, downlib::Download& download,
         const std::vector<std::string>& words) {
    const bool resume = words[1] == "-r";
    const std::string& local = words[resume ? 2 : 1];
    std::string remote = words.size() > (resume ? 3u : 2u) ? words.back() : std::string();
    std::string currentDir;
    if (remote.empty() || remote[0] != '/') currentDir = client.GetCurrentDir();
    std::string target = PutTarget(currentDir, local, remote);
    if (target.empty()) {
        std::fprintf(stderr, "quorvel-ftp-cli: put: no remote path for %s\n", local.c_str());
        return false;
    }

    const TransferResult sent = SendFile(options, download, local, target, resume);
    if (!sent.started) {
        std::fprintf(stderr, "quorvel-ftp-cli: the upload could not be started\n");
        return false;
    }
    std::printf("%lld\n", static_cast<long long>(sent.bytes));
    std::fflush(stdout);
    return sent.whole;
}

TransferResult SendFile(const Options& options, downlib::Download& download, const std::string& local,
                        const std::string& target, bool resume) {
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
    auto outcome = std::make_shared<PutOutcome>();
    param.logCallback = PrintLog;
    param.taskCallback = [outcome](int code, std::int64_t, std::int64_t value2, std::int64_t,
                                   downlib::Handle) {
        std::lock_guard guard(outcome->lock);
        if (code == downlib::TaskWorkerDone) outcome->complete = true;
        if (code == downlib::TaskWorkerFailed) outcome->failed = true;
        if (code == downlib::TaskEnded) {
            outcome->ended = true;
            outcome->bytes = value2;
            outcome->changed.notify_all();
        }
        return 0;
    };
    TransferResult result;
    if (!download.StartUpload(param)) return result;
    result.started = true;
    if (InterruptSignal() != 0) download.StopTask();  // a signal that came while it started
    std::unique_lock guard(outcome->lock);
    outcome->changed.wait(guard, [&] { return outcome->ended; });
    result.bytes = outcome->bytes;
    result.whole = outcome->complete && !outcome->failed;
    return result;
}

}  // namespace cli
