// Remote folders for upload rows: MKD, and CWD to tell a folder that exists
// from one that cannot be made. A session that has gone quiet meanwhile (a
// server's idle time-out during a long upload) is opened again once.
#include "app/remote_folder_maker.h"

#include "app/app.h"
#include "app/task_queue.h"

namespace app {

namespace {

// A folder row waits at most this long for each step of the server.
constexpr int kFolderTimeoutMs = 20000;

std::string SessionKey(const QueueRow& row) {
    return row.host + '\n' + std::to_string(row.port) + '\n' + row.user + '\n' + row.password;
}

}  // namespace

RemoteFolderMaker::RemoteFolderMaker(std::function<bool()> keepWaiting) {
    client_.SetWaitHook(std::move(keepWaiting));
}

RemoteFolderMaker::~RemoteFolderMaker() { Close(); }

void RemoteFolderMaker::Close() {
    if (client_.IsConnected()) client_.Disconnect(kShutdownQuitWaitMs);
    session_.clear();
}

bool RemoteFolderMaker::Open(const QueueRow& row) {
    const std::string key = SessionKey(row);
    if (client_.IsConnected() && session_ == key) return true;
    Close();
    log_ = FailureReason();
    if (!client_.Connect(
            "ftp://" + row.host, row.user, row.password, row.port,
            [this](downlib::Handle, const std::string&, const std::string& message, int kind,
                   downlib::Handle) { log_.Add(message, kind); },
            kFolderTimeoutMs)) {
        return false;
    }
    session_ = key;
    return true;
}

bool RemoteFolderMaker::Make(const QueueRow& row, std::string& reason) {
    std::string refusal;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0) Close();
        if (!Open(row)) {
            reason = log_.Text().empty() ? "无法登录服务器" : log_.Text();
            continue;
        }
        if (client_.MakeDir(row.remotePath)) return true;
        refusal = log_.Refusal();
        // MKD refuses a folder that exists; CWD tells it apart from a name
        // that is taken by a file or a folder that cannot be made.
        if (client_.ChangeDir(row.remotePath)) return true;
        reason = "无法创建远程目录";
        if (!refusal.empty()) reason += "：" + refusal;
    }
    return false;
}

}  // namespace app
