// The download request. It runs on the UI thread: it takes the selected
// entries of the shown listing, appends one queue row per file and one per
// folder followed by the folder's content (depth first, pre-order), and
// starts the driver. The walk works on the entries the engine listed; each
// folder it enters is also shown in remoteList as it is listed.
//
// Folder expansion never enters "." or ".." (the listing drops them), and
// enters a folder only when the server's path after changing into it is not
// already on the expansion path, so a link back to an ancestor ends. Servers
// that report the path through the link (pyftpdlib) hide such a loop from
// PWD; a link whose listing is the listing of a folder on the path is taken
// for one too. One request appends a bounded number of rows. Names that
// could carry a local path out of the chosen local folder are skipped.
#include "app/download_request.h"

#include <mutex>
#include <vector>

#include "app/app.h"
#include "app/list_texts.h"
#include "app/remote_view.h"
#include "app/request_walk.h"
#include "app/row_outcome.h"
#include "app/running_action.h"
#include "app/session_log.h"
#include "app/task_queue.h"
#include "downlib/entry_name.h"
#include "toolkit/text.h"

namespace app {

namespace {

// What every row of one request shares, and the folders being expanded.
struct Expansion {
    Expansion(App& app, std::string local, std::string base)
        : localFolder(std::move(local)),
          baseRemote(std::move(base)),
          login(RowLogin::OfSession(app)),
          budget(app, "下载") {}

    std::string localFolder;
    std::string baseRemote;
    RowLogin login;
    RowBudget budget;
    std::vector<std::string> serverPath;  // the server's paths of the folders entered
    std::vector<RemoteListing> listings;  // ...and what each of them listed
    std::string localRelative;            // of the folder being expanded, below localFolder
};

// Where an entry of the folder being expanded goes, below the local folder.
std::string RelativeOf(const Expansion& e, const RemoteEntry& entry, bool gbk) {
    return e.localRelative + "/" + LocalNameFor(entry.name, gbk);
}

QueueRow MakeRow(const Expansion& e, const RemoteEntry& entry, bool gbk, const std::string& remotePath) {
    QueueRow row;
    row.localFolder = e.localFolder;
    row.remotePath = remotePath;
    row.localRelative = RelativeOf(e, entry, gbk);
    row.baseRemote = e.baseRemote;
    e.login.StampOn(row);
    return row;
}

// Changes into the folder and lists it (remoteList shows it as it goes).
RemoteListing ListFolder(App& app, const std::string& folder) {
    toolkit::ProcessPendingEvents();
    return ListRemoteFolder(app, folder);
}

void AppendFile(App& app, Expansion& e, const std::string& remotePath, const RemoteEntry& entry, bool gbk) {
    if (!e.budget.Take()) return;
    QueueRow row = MakeRow(e, entry, gbk, remotePath);
    // A link shows no size of its own.
    row.sizeText = entry.folder ? std::string{} : std::to_string(entry.size);
    row.type = FileTypeText(entry.name);
    AppendQueueRow(app, row);
    StartDriverIfIdle(app);
    KeepWindowLiveWhileQueueing(app);
}

void Expand(App& app, Expansion& e, const std::string& folder, const RemoteListing& listing);

void AppendFolderRow(App& app, Expansion& e, const RemoteEntry& entry, bool gbk, const std::string& path) {
    if (!e.budget.Take()) return;
    QueueRow row = MakeRow(e, entry, gbk, path);
    row.type = kFolderType;
    row.folder = true;
    AppendQueueRow(app, row);
}

// A folder entry (or a link shown as one): its row and its content.
void AppendFolder(App& app, Expansion& e, const std::string& parent, const RemoteEntry& entry, bool gbk) {
    if (e.budget.Full()) return;
    const std::string path = parent + "/" + entry.name;
    if (!app.ftpClient.ChangeDir(path)) {
        if (entry.link) {
            // A link the server cannot enter leads to a file (or nowhere):
            // fetch it as a file; a dangling link fails in its own row.
            AppendFile(app, e, path, entry, gbk);
        } else {
            AppendFolderRow(app, e, entry, gbk, path);
            AppendLogNow(app, "无法进入远程目录" + path + "，其内容未加入队列");
        }
        return;
    }
    std::string serverPath = app.ftpClient.GetCurrentDir();
    if (serverPath.empty()) serverPath = path;
    for (const std::string& entered : e.serverPath) {
        if (entered == serverPath) {
            std::string message = "跳过" + path;
            message += "：它指向正在下载的上级目录";
            message += serverPath;
            AppendLogNow(app, message);
            return;
        }
    }
    std::optional<RemoteListing> content;
    if (entry.link) {
        // A server that names the folder by the path through the link shows
        // no loop in PWD; the same listing as a folder on the path does.
        content = ListFolder(app, path);
        for (std::size_t i = 0; i < e.listings.size(); ++i) {
            if (e.listings[i] == *content) {
                AppendLogNow(app, "跳过" + path + "：它的内容与正在下载的上级目录" + e.serverPath[i] +
                                      "相同，是指回上级目录的链接");
                return;
            }
        }
    }
    AppendFolderRow(app, e, entry, gbk, path);
    if (e.budget.Full() || TooDeepToExpand(app, e.serverPath.size(), path)) return;
    if (!content) content = ListFolder(app, path);
    e.serverPath.push_back(serverPath);
    e.listings.push_back(*content);
    const std::string outer = e.localRelative;
    e.localRelative = RelativeOf(e, entry, gbk);
    Expand(app, e, path, *content);
    e.localRelative = outer;
    e.listings.pop_back();
    e.serverPath.pop_back();
}

// Appends the rows of one entry of a folder's listing.
void AppendEntry(App& app, Expansion& e, const std::string& folder, const RemoteEntry& entry, bool gbk) {
    if (!downlib::IsSafeEntryName(entry.name, downlib::EntryNameUse::LocalComponent)) {
        AppendLogNow(app, "跳过远程名称\"" + entry.name + "\"：不能用作本地文件名");
        return;
    }
    if (entry.folder) {
        AppendFolder(app, e, folder, entry, gbk);
    } else {
        AppendFile(app, e, folder + "/" + entry.name, entry, gbk);
    }
}

void Expand(App& app, Expansion& e, const std::string& folder, const RemoteListing& listing) {
    for (const RemoteEntry& entry : listing.entries) {
        if (e.budget.Full()) return;
        AppendEntry(app, e, folder, entry, listing.gbk);
    }
}

}  // namespace

std::string LocalNameFor(const std::string& remoteName, bool listedAsGbk) {
    // A listing not read as GBK holds valid UTF-8 names only (the view would
    // have turned to GBK otherwise).
    return listedAsGbk ? toolkit::GbkToUtf8Escaped(remoteName) : remoteName;
}

void QueueDownloadRequest(App& app) {
    // The window stays live while a request walks the server; another action
    // now would fight it over the remote folder, the list and the session.
    const RunningAction action(app, "下载请求");
    if (action.Refused()) return;
    TaskQueueState& state = QueueState(app);
    const RemoteListing baseListing = app.remoteListing;
    std::vector<RemoteEntry> picked;
    for (int row : app.ui.remoteList.SelectedRows()) {
        if (std::optional<RemoteEntry> entry = ShownRemoteEntry(app, row))
            picked.push_back(std::move(*entry));
    }
    const std::string base = app.ftpClient.GetCurrentDir();
    const std::string localFolder = app.ui.localPathCombo.EditText();
    {
        std::lock_guard guard(state.lock);
        state.queueBaseRemote = base;
        state.requestDone = false;
    }

    Expansion e(app, localFolder, base);
    e.serverPath.push_back(base);
    e.listings.push_back(baseListing);
    for (const RemoteEntry& entry : picked) AppendEntry(app, e, base, entry, baseListing.gbk);

    MarkDownloadRequestDone(app);
    StartDriverIfIdle(app);
    app.ui.queueList.RedrawNow();
    ListRemoteFolder(app, base);
}

void ExpandRemoteFolder(App& app, const std::string& folder, const std::string& localFolder) {
    std::string base;
    {
        TaskQueueState& state = QueueState(app);
        std::lock_guard guard(state.lock);
        base = state.queueBaseRemote;
    }
    Expansion e(app, localFolder, base);
    // Given as a path, the folder's names below the base are taken as they are.
    e.localRelative = LocalPathFor(folder, base);
    std::string serverPath;
    if (app.ftpClient.ChangeDir(folder)) serverPath = app.ftpClient.GetCurrentDir();
    e.serverPath.push_back(serverPath.empty() ? folder : serverPath);
    const RemoteListing content = ListFolder(app, folder);
    e.listings.push_back(content);
    Expand(app, e, folder, content);
}

}  // namespace app
