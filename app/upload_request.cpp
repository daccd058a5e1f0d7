// The upload request. It runs on the UI thread like a download request: the
// selection of localList is read, the server is asked for its current folder
// once, and the local tree is walked depth first, each entry checked on the
// disk as it is now (the list may be older). A symbolic link is followed only
// to a target inside the selected folder (inside the local folder for a link
// that is itself selected); a link to a folder being walked is a loop. One
// request appends a bounded number of rows and descends a bounded number of
// levels.
#include "app/upload_request.h"

#include <algorithm>
#include <vector>

#include "app/app.h"
#include "app/list_texts.h"
#include "app/local_view.h"
#include "app/picked_rows.h"
#include "app/remote_view.h"
#include "app/request_walk.h"
#include "app/running_action.h"
#include "app/session_log.h"
#include "app/task_queue.h"
#include "downlib/entry_name.h"
#include "downlib/url_path.h"
#include "toolkit/files.h"

namespace app {

namespace {

// What every row of one request shares, and where the walk is.
struct UploadWalk {
    UploadWalk(App& app, std::string local, bool gbk)
        : localFolder(std::move(local)), toGbk(gbk), login(RowLogin::OfSession(app)), budget(app, "上传") {}

    std::string localFolder;  // column 0 of every row
    bool toGbk = false;
    RowLogin login;
    RowBudget budget;
    std::string boundary;             // canonical folder a link must not leave
    std::vector<std::string> onPath;  // canonical folders being walked, the local folder first
};

QueueRow MakeRow(const UploadWalk& w, const std::string& relative, const std::string& remotePath,
                 const std::string& source) {
    QueueRow row;
    row.localFolder = w.localFolder;
    row.remotePath = remotePath;
    row.localRelative = relative;
    w.login.StampOn(row);
    row.upload = true;
    row.localSource = source;
    row.remoteGbk = w.toGbk;
    return row;
}

void AppendFile(App& app, UploadWalk& w, const std::string& name, const std::string& relative,
                const std::string& remotePath, const std::string& source) {
    if (!w.budget.Take()) return;
    QueueRow row = MakeRow(w, relative, remotePath, source);
    row.sizeText = std::to_string(toolkit::FileSize(source));
    row.type = std::string(kUploadTypePrefix) + FileTypeText(name);
    AppendQueueRow(app, row);
    StartDriverIfIdle(app);
    KeepWindowLiveWhileQueueing(app);
}

void AddEntry(App& app, UploadWalk& w, const std::string& path, const std::string& name,
              const std::string& relativeParent, const std::string& remoteParent);

// The folder's row, then its content in name order.
void AppendFolder(App& app, UploadWalk& w, const std::string& path, const std::string& relative,
                  const std::string& remotePath, const std::string& source) {
    const std::string canonical = toolkit::CanonicalPath(source);
    for (const std::string& walked : w.onPath) {
        if (walked == canonical) {
            std::string line = "跳过本地目录" + path;
            line += "：它指向正在上传的上级目录" + canonical + "，是链接循环";
            AppendLogNow(app, line);
            return;
        }
    }
    if (!w.budget.Take()) return;
    QueueRow row = MakeRow(w, relative, remotePath, source);
    row.type = std::string(kUploadTypePrefix) + kFolderType;
    row.folder = true;
    AppendQueueRow(app, row);
    KeepWindowLiveWhileQueueing(app);
    if (TooDeepToExpand(app, w.onPath.size(), path)) return;
    if (canonical.empty() || !toolkit::CanListFolder(source)) {
        AppendLogNow(app, "无法读取本地目录" + path + "，其内容未加入队列");
        return;
    }
    std::vector<std::string> names;
    for (std::string& name : toolkit::EnumerateDirectory(source, toolkit::kAttrMask)) {
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    w.onPath.push_back(canonical);
    for (const std::string& name : names) {
        if (w.budget.Full()) break;
        AddEntry(app, w, LocalChildPath(canonical, name), name, relative, remotePath);
    }
    w.onPath.pop_back();
}

// One local entry at `path`, named `name` in its folder.
void AddEntry(App& app, UploadWalk& w, const std::string& path, const std::string& name,
              const std::string& relativeParent, const std::string& remoteParent) {
    if (w.budget.Full()) return;
    std::string why;
    const std::optional<std::string> remoteName = RemoteNameFor(name, w.toGbk, why);
    if (!remoteName) {
        AppendLogNow(app, "跳过本地文件" + path + "：" + why);
        return;
    }
    const std::string remotePath = remoteParent + "/" + *remoteName;
    if (remotePath.size() > downlib::kLongestRemotePath) {
        AppendLogNow(app, "跳过本地文件" + path + "：远程路径超过" +
                              std::to_string(downlib::kLongestRemotePath) + "字节");
        return;
    }
    const std::string relative = relativeParent + "/" + name;
    std::string source = path;
    toolkit::EntryKind kind = toolkit::EntryKindOf(path);
    if (kind == toolkit::EntryKind::Link) {
        bool loop = false;
        source = toolkit::CanonicalPath(path, &loop);
        if (source.empty()) {
            AppendLogNow(app, "跳过链接" + path + (loop ? "：链接循环" : "：链接指向的文件不存在"));
            return;
        }
        if (!IsWithinFolder(source, w.boundary)) {
            AppendLogNow(app, "跳过链接" + path + "：它指向所选目录之外的" + source);
            return;
        }
        kind = toolkit::EntryKindOf(source);
    }
    switch (kind) {
        case toolkit::EntryKind::File:
            AppendFile(app, w, name, relative, remotePath, source);
            break;
        case toolkit::EntryKind::Folder: {
            // Links inside a selected folder must stay inside it.
            const std::string outer = w.boundary;
            if (w.onPath.size() == 1) w.boundary = toolkit::CanonicalPath(source);
            AppendFolder(app, w, path, relative, remotePath, source);
            w.boundary = outer;
            break;
        }
        case toolkit::EntryKind::Missing:
            AppendLogNow(app, "跳过本地文件" + path + "：它已不存在");
            break;
        case toolkit::EntryKind::Link:
        case toolkit::EntryKind::Other:
            AppendLogNow(app, "跳过本地文件" + path + "：它不是普通文件或目录");
            break;
    }
}

}  // namespace

std::optional<std::string> RemoteNameFor(const std::string& localName, bool toGbk, std::string& why) {
    if (localName.empty() || localName == "." || localName == "..") {
        why = "名称不能用作远程文件名";
        return std::nullopt;
    }
    for (unsigned char c : localName) {
        if (c == '\r' || c == '\n') {
            why = "名称含有回车或换行";
            return std::nullopt;
        }
        if (c < 0x20 || c == 0x7F) {
            why = "名称含有控制字符";
            return std::nullopt;
        }
        if (c == '/') {
            why = "名称含有\"/\"";
            return std::nullopt;
        }
    }
    // A server that reads "\" as a separator would climb with "..\x".
    if (!downlib::IsSafeEntryName(localName, downlib::EntryNameUse::ServerChild)) {
        why = "名称不能用作远程文件名";
        return std::nullopt;
    }
    std::string name = localName;
    if (toGbk) {
        std::optional<std::string> gbk = toolkit::Utf8ToGbk(localName);
        if (!gbk) {
            why = "名称不能转换为服务器使用的GBK编码";
            return std::nullopt;
        }
        name = std::move(*gbk);
    }
    if (name.size() > kLongestRemoteName) {
        why = "名称超过" + std::to_string(kLongestRemoteName) + "字节";
        return std::nullopt;
    }
    return name;
}

bool IsWithinFolder(const std::string& path, const std::string& folder) {
    if (folder.empty() || path.empty()) return false;
    if (path == folder || folder == "/") return true;
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

void QueueUploadRequest(App& app) {
    // The request asks the server for its folder and may walk a large tree
    // while the window stays live: another action meanwhile would interleave.
    const RunningAction action(app, "上传请求");
    if (action.Refused()) return;
    if (!app.ftpClient.IsConnected()) {
        AppendLogNow(app, "尚未连接服务器，上传请求未执行");
        return;
    }
    toolkit::ListView& list = app.ui.localList;
    std::vector<std::string> names;
    for (int row : list.SelectedRows()) {
        const std::string name = list.CellText(row, 0);
        // Row 0 is the way up, not an entry.
        if (row == 0 && name == kParentRowText) continue;
        names.push_back(name);
    }
    const std::string remoteBase = app.ftpClient.GetCurrentDir();
    if (remoteBase.empty()) {
        AppendLogNow(app, "无法取得服务器的当前目录，上传请求未执行");
        return;
    }
    UploadWalk w(app, app.localListFolder, app.ui.remoteList.ShowsForeignAsGbk());
    const std::string canonicalFolder = toolkit::CanonicalPath(w.localFolder);
    if (canonicalFolder.empty()) {
        AppendLogNow(app, "本地目录" + w.localFolder + "无法读取，上传请求未执行");
        return;
    }
    w.boundary = canonicalFolder;
    w.onPath.push_back(canonicalFolder);

    TaskQueueState& state = QueueState(app);
    {
        std::lock_guard guard(state.lock);
        state.requestDone = false;
    }
    for (const std::string& name : names) {
        if (w.budget.Full()) break;
        AddEntry(app, w, LocalChildPath(w.localFolder, name), name, "", remoteBase);
    }
    {
        std::lock_guard guard(state.lock);
        state.requestDone = true;
    }
    StartDriverIfIdle(app);
    app.ui.queueList.RedrawNow();
    NoteUploadRequestDone(app);
}

void ListRemoteAfterUploads(App& app) {
    // Never in the middle of another action's use of the session, and never
    // with a refusal line: the listing waits for the next tick.
    if (app.windowClosed || app.runningAction != nullptr || !TakeRemoteListingDue(app)) return;
    if (!app.ftpClient.IsConnected()) return;
    const RunningAction action(app, "刷新目录");
    // The user may have picked rows meanwhile: they stay picked.
    toolkit::ListView& list = app.ui.remoteList;
    const PickedRows picked = TakePickedRows(list);
    ListRemoteFolder(app, app.ftpClient.GetCurrentDir());
    RestorePickedRows(list, picked);
}

}  // namespace app
