// The task queue. A request runs on the UI thread: it snapshots the selected
// rows of remoteList, appends one queue row per file and one per folder
// followed by the folder's content (depth first, pre-order), and starts the
// driver. The driver takes rows and ends its run through TakeNextRow and
// FinishRow, which also run on the UI thread, so a request's "append a row,
// then start the driver if it is idle" can never interleave with the driver's
// "nothing left: mark idle and clear": no row is cleared before it is handled
// and no row is left without a running driver.
//
// Folder expansion never enters "." or ".." (the remote view drops them), and
// enters a folder only when the server's path after changing into it is not
// already on the expansion path, so a link back to an ancestor ends. Servers
// that report the path through the link (pyftpdlib) hide such a loop from
// PWD; a link whose listing is the listing of a folder on the path is taken
// for one too. One request appends a bounded number of rows. Names that
// could carry a local path out of the chosen local folder are skipped.
#include "app/task_queue.h"

#include <chrono>
#include <memory>

#include "app/app.h"
#include "app/remote_view.h"
#include "app/running_action.h"
#include "app/session_log.h"
#include "app/transfer_driver.h"
#include "downlib/entry_name.h"

namespace app {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(40);
constexpr auto kPumpInterval = std::chrono::milliseconds(5);

struct Snapshot {
    std::string name;
    std::string type;
    std::string size;
    std::string time;
    bool link = false;
    bool gbk = false;  // the listing showed its names as GBK

    bool operator==(const Snapshot&) const = default;
};

// What every row of one request shares, and the folders being expanded.
struct Expansion {
    std::string localFolder;
    std::string baseRemote;
    std::string host;
    int port = 21;
    downlib::TlsMode tls = downlib::TlsMode::Auto;
    std::string user;
    std::string password;
    std::vector<std::string> serverPath;          // the server's paths of the folders entered
    std::vector<std::vector<Snapshot>> listings;  // ...and what each of them listed
    std::string localRelative;                    // of the folder being expanded, below localFolder
    std::size_t rows = 0;                         // rows this request appended
    bool full = false;                            // the row bound was reached
};

void Log(App& app, const std::string& message) { AppendLog(app, ClockText({}, false) + " " + message); }

std::vector<Snapshot> SnapshotRows(App& app, const std::vector<int>& indices) {
    toolkit::ListView& list = app.ui.remoteList;
    const bool gbk = list.ShowsForeignAsGbk();
    std::vector<Snapshot> snapshots;
    snapshots.reserve(indices.size());
    for (int row : indices) {
        Snapshot s;
        s.name = list.CellText(row, 0);
        // Row 0 of a listing is the way up, not an entry.
        if (row == 0 && s.name == kParentRowText) continue;
        s.type = list.CellText(row, 2);
        s.size = StripCommas(list.CellText(row, 1));
        s.time = list.CellText(row, 3);
        s.link = RemoteRowIsLink(app, row);
        s.gbk = gbk;
        snapshots.push_back(std::move(s));
    }
    return snapshots;
}

// Where an entry of the folder being expanded goes, below the local folder.
std::string RelativeOf(const Expansion& e, const Snapshot& s) {
    return e.localRelative + "/" + LocalNameFor(s.name, s.gbk);
}

QueueRow MakeRow(const Expansion& e, const Snapshot& s, const std::string& remotePath) {
    QueueRow row;
    row.localFolder = e.localFolder;
    row.remotePath = remotePath;
    row.localRelative = RelativeOf(e, s);
    row.baseRemote = e.baseRemote;
    row.host = e.host;
    row.port = e.port;
    row.tls = e.tls;
    row.user = e.user;
    row.password = e.password;
    return row;
}

// Whether an upload row waits (or runs) at or after queueIndex. Under the lock.
bool UploadRowWaiting(const TaskQueueState& state) {
    for (std::size_t i = state.queueIndex; i < state.rows.size(); ++i) {
        if (state.rows[i].upload) return true;
    }
    return false;
}

// Under the lock: an upload request that has run through wants the remote
// folder listed again, so the new files show.
void NoteUploadsRunThrough(TaskQueueState& state) {
    if (state.uploadsFinished && state.requestDone && !UploadRowWaiting(state)) {
        state.uploadsFinished = false;
        state.remoteListingDue = true;
    }
}

// Whether a download row waits (or runs) at or after queueIndex. Under the lock.
bool DownloadRowWaiting(const TaskQueueState& state) {
    for (std::size_t i = state.queueIndex; i < state.rows.size(); ++i) {
        if (!state.rows[i].upload) return true;
    }
    return false;
}

// Under the lock: a download request that has run through and wrote into the
// shown local folder wants that folder listed again.
void NoteDownloadsRunThrough(TaskQueueState& state) {
    if (state.localFolderWritten && state.requestDone && !DownloadRowWaiting(state)) {
        state.localFolderWritten = false;
        state.localListingDue = true;
    }
}

// Counts a row against the request's bound; false (with one log line) once
// the bound is reached.
bool TakeRow(App& app, Expansion& e) {
    if (e.full) return false;
    std::size_t bound = 0;
    {
        TaskQueueState& state = QueueState(app);
        std::lock_guard guard(state.lock);
        bound = state.maxRowsPerRequest;
    }
    if (e.rows >= bound) {
        e.full = true;
        Log(app, "本次下载请求已排入" + std::to_string(e.rows) + "行，达到上限，其余条目未加入队列");
        return false;
    }
    ++e.rows;
    return true;
}

// Changes into the folder, lists it into remoteList and takes a snapshot of
// every entry row.
std::vector<Snapshot> ListFolder(App& app, const std::string& folder) {
    toolkit::ProcessPendingEvents();
    ListRemoteFolder(app, folder);
    const int count = app.ui.remoteList.RowCount();
    std::vector<int> indices;
    for (int i = 1; i < count; ++i) indices.push_back(i);
    return SnapshotRows(app, indices);
}

void AppendFile(App& app, Expansion& e, const std::string& remotePath, const Snapshot& s) {
    if (!TakeRow(app, e)) return;
    QueueRow row = MakeRow(e, s, remotePath);
    row.sizeText = s.size;
    row.type = FileTypeText(s.name);
    AppendQueueRow(app, row);
    StartDriverIfIdle(app);
    KeepWindowLiveWhileQueueing(app);
}

void Expand(App& app, Expansion& e, const std::string& folder, const std::vector<Snapshot>& snapshots);

void AppendFolderRow(App& app, Expansion& e, const Snapshot& s, const std::string& path) {
    if (!TakeRow(app, e)) return;
    QueueRow row = MakeRow(e, s, path);
    row.type = kFolderType;
    row.folder = true;
    AppendQueueRow(app, row);
}

// A folder entry (or a link shown as one): its row and its content.
void AppendFolder(App& app, Expansion& e, const std::string& parent, const Snapshot& s) {
    if (e.full) return;
    const std::string path = parent + "/" + s.name;
    if (!app.ftpClient.ChangeDir(path)) {
        if (s.link) {
            // A link the server cannot enter leads to a file (or nowhere):
            // fetch it as a file; a dangling link fails in its own row.
            AppendFile(app, e, path, s);
        } else {
            AppendFolderRow(app, e, s, path);
            Log(app, "无法进入远程目录" + path + "，其内容未加入队列");
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
            Log(app, message);
            return;
        }
    }
    std::vector<Snapshot> content;
    bool listed = false;
    if (s.link) {
        // A server that names the folder by the path through the link shows
        // no loop in PWD; the same listing as a folder on the path does.
        content = ListFolder(app, path);
        listed = true;
        for (std::size_t i = 0; i < e.listings.size(); ++i) {
            if (e.listings[i] == content) {
                Log(app, "跳过" + path + "：它的内容与正在下载的上级目录" + e.serverPath[i] +
                             "相同，是指回上级目录的链接");
                return;
            }
        }
    }
    AppendFolderRow(app, e, s, path);
    if (e.full) return;
    if (static_cast<int>(e.serverPath.size()) > kMaxExpansionDepth) {
        Log(app, "目录层次过深，不再展开" + path);
        return;
    }
    if (!listed) content = ListFolder(app, path);
    e.serverPath.push_back(serverPath);
    e.listings.push_back(content);
    const std::string outer = e.localRelative;
    e.localRelative = RelativeOf(e, s);
    Expand(app, e, path, content);
    e.localRelative = outer;
    e.listings.pop_back();
    e.serverPath.pop_back();
}

// Appends the rows of a folder's listed content (the snapshots, taken
// before the recursion relists remoteList).
void Expand(App& app, Expansion& e, const std::string& folder, const std::vector<Snapshot>& snapshots) {
    for (const Snapshot& s : snapshots) {
        if (e.full) return;
        if (!downlib::IsSafeEntryName(s.name, downlib::EntryNameUse::LocalComponent)) {
            Log(app, "跳过远程名称\"" + s.name + "\"：不能用作本地文件名");
            continue;
        }
        if (s.type == kFolderType) {
            AppendFolder(app, e, folder, s);
        } else {
            AppendFile(app, e, folder + "/" + s.name, s);
        }
    }
}

Expansion SessionExpansion(App& app, const std::string& localFolder, const std::string& baseRemote) {
    Expansion e;
    e.localFolder = localFolder;
    e.baseRemote = baseRemote;
    e.host = app.savedHost;
    e.port = app.savedPort;
    e.tls = app.savedTls;
    e.user = app.savedUser;
    e.password = app.savedPassword;
    return e;
}

}  // namespace

TaskQueueState& QueueState(App& app) {
    if (!app.taskQueue) app.taskQueue = std::make_shared<TaskQueueState>();
    return *app.taskQueue;
}

void AppendQueueRow(App& app, const QueueRow& row) {
    TaskQueueState& state = QueueState(app);
    toolkit::ListView& list = app.ui.queueList;
    {
        std::lock_guard guard(state.lock);
        state.rows.push_back(row);
    }
    // The local folder and an upload's type are the program's texts (local
    // names); only what comes from the server may be shown as GBK.
    const int r = list.InsertRow(-1, row.localFolder, -1, toolkit::TextOrigin::Program);
    list.SetCellText(r, 1, row.remotePath, toolkit::TextOrigin::Foreign);
    list.SetCellText(r, 2, row.sizeText);
    list.SetCellText(r, 3, row.type,
                     row.folder || row.upload || row.type == kPlainFileType ? toolkit::TextOrigin::Program
                                                                            : toolkit::TextOrigin::Foreign);
    list.SetCellText(r, 4, kStatusWaiting);
    // A redraw lays out every row of the list: at one per row, queueing ten
    // thousand rows takes minutes. The list is redrawn when the eye could
    // notice, and once more when the request ends.
    const auto now = std::chrono::steady_clock::now();
    if (now - state.lastRedraw >= kRedrawInterval) {
        list.RedrawNow();
        state.lastRedraw = now;
    }
}

// The window stays live and the driver's window calls are served while a
// request walks the server, without paying for an event pass per row.
void KeepWindowLiveWhileQueueing(App& app) {
    TaskQueueState& state = QueueState(app);
    const auto now = std::chrono::steady_clock::now();
    if (now - state.lastPump < kPumpInterval) return;
    toolkit::ProcessPendingEvents();
    state.lastPump = std::chrono::steady_clock::now();
}

void StartDriverIfIdle(App& app) {
    TaskQueueState& state = QueueState(app);
    bool start = false;
    {
        std::lock_guard guard(state.lock);
        if (state.driverIdle) {
            state.driverIdle = false;
            start = true;
        }
    }
    if (start) StartTransferDriver(app);
}

bool IsAtOrBelow(const std::string& path, const std::string& folder) {
    if (folder.empty()) return false;
    std::string base = folder;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    if (path == base) return true;
    if (base == "/") return !path.empty() && path.front() == '/';
    return path.size() > base.size() && path.compare(0, base.size(), base) == 0 && path[base.size()] == '/';
}

void NoteUploadRequestDone(App& app) {
    TaskQueueState& state = QueueState(app);
    std::lock_guard guard(state.lock);
    NoteUploadsRunThrough(state);
}

std::string LocalNameFor(const std::string& remoteName, bool listedAsGbk) {
    // A listing not read as GBK holds valid UTF-8 names only (the view would
    // have turned to GBK otherwise).
    return listedAsGbk ? toolkit::GbkToUtf8Escaped(remoteName) : remoteName;
}

std::string StripCommas(const std::string& text) {
    std::string out = text;
    for (std::size_t at = out.find(','); at != std::string::npos; at = out.find(',', at)) {
        out.erase(at, 1);
        toolkit::ProcessPendingEvents();
    }
    return out;
}

void QueueDownloadRequest(App& app) {
    // The window stays live while a request walks the server; another action
    // now would fight it over the remote folder, the list and the session.
    const RunningAction action(app, "下载请求");
    if (action.Refused()) return;
    TaskQueueState& state = QueueState(app);
    const std::vector<int> selected = app.ui.remoteList.SelectedRows();
    std::vector<int> everyRow;
    for (int i = 1; i < app.ui.remoteList.RowCount(); ++i) everyRow.push_back(i);
    const std::vector<Snapshot> baseListing = SnapshotRows(app, everyRow);
    const std::string base = app.ftpClient.GetCurrentDir();
    const std::string localFolder = app.ui.localPathCombo.EditText();
    {
        std::lock_guard guard(state.lock);
        state.queueBaseRemote = base;
    }
    const std::vector<Snapshot> snapshots = SnapshotRows(app, selected);
    {
        std::lock_guard guard(state.lock);
        state.requestDone = false;
    }

    Expansion e = SessionExpansion(app, localFolder, base);
    e.serverPath.push_back(base);
    e.listings.push_back(baseListing);
    for (const Snapshot& s : snapshots) {
        if (!downlib::IsSafeEntryName(s.name, downlib::EntryNameUse::LocalComponent)) {
            Log(app, "跳过远程名称\"" + s.name + "\"：不能用作本地文件名");
            continue;
        }
        if (s.type == kFolderType) {
            AppendFolder(app, e, base, s);
        } else {
            AppendFile(app, e, base + "/" + s.name, s);
        }
    }

    {
        std::lock_guard guard(state.lock);
        state.requestDone = true;
        NoteDownloadsRunThrough(state);
    }
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
    Expansion e = SessionExpansion(app, localFolder, base);
    // Given as a path, the folder's names below the base are taken as they are.
    e.localRelative = LocalPathFor(folder, base);
    std::string serverPath;
    if (app.ftpClient.ChangeDir(folder)) serverPath = app.ftpClient.GetCurrentDir();
    e.serverPath.push_back(serverPath.empty() ? folder : serverPath);
    const std::vector<Snapshot> content = ListFolder(app, folder);
    e.listings.push_back(content);
    Expand(app, e, folder, content);
}

void RefreshQueueLength(App& app) {
    app.ui.statusBar.SetPaneText(1, "任务队列:" + std::to_string(app.ui.queueList.RowCount()));
    app.ui.statusBar.RedrawNow();
}

std::size_t QueuedRowCount(App& app) {
    TaskQueueState& state = QueueState(app);
    std::lock_guard guard(state.lock);
    return state.rows.size();
}

std::optional<QueueRow> TakeNextRow(App& app, int& index, bool& cleared) {
    cleared = false;
    TaskQueueState& state = QueueState(app);
    std::vector<int> finished;
    {
        std::lock_guard guard(state.lock);
        index = static_cast<int>(state.queueIndex);
        if (state.queueIndex < state.rows.size()) {
            state.rowTaken = true;
            return state.rows[state.queueIndex];
        }
        state.driverIdle = true;
        if (!state.requestDone) return std::nullopt;
        NoteUploadsRunThrough(state);
        NoteDownloadsRunThrough(state);
        // A failed row stays: cleared with the rest, the failure would be
        // gone from view and the user would believe the folder arrived.
        std::vector<QueueRow> kept;
        for (std::size_t i = 0; i < state.rows.size(); ++i) {
            if (state.rows[i].status == kStatusFailed) {
                kept.push_back(std::move(state.rows[i]));
            } else {
                finished.push_back(static_cast<int>(i));
            }
        }
        state.rows = std::move(kept);
        state.queueIndex = state.rows.size();
        cleared = true;
    }
    toolkit::ListView& list = app.ui.queueList;
    // From the bottom, so each index still names its row.
    for (std::size_t i = finished.size(); i-- > 0;) list.DeleteRow(finished[i]);
    return std::nullopt;
}

int TakenRowIndex(App& app) {
    TaskQueueState& state = QueueState(app);
    std::lock_guard guard(state.lock);
    return state.rowTaken ? static_cast<int>(state.queueIndex) : -1;
}

void FinishRow(App& app, const std::string& status, const std::string& reason) {
    TaskQueueState& state = QueueState(app);
    int row = 0;
    QueueRow handled;
    {
        std::lock_guard guard(state.lock);
        row = static_cast<int>(state.queueIndex);
        state.rowTaken = false;
        if (state.queueIndex < state.rows.size()) {
            state.rows[state.queueIndex].status = status;
            handled = state.rows[state.queueIndex];
            ++state.queueIndex;
            if (handled.upload) {
                state.uploadsFinished = true;
                NoteUploadsRunThrough(state);
            } else {
                // Failed rows count too: a folder made or a part of a file
                // may have arrived.
                if (IsAtOrBelow(handled.localFolder + handled.localRelative, app.localListFolder))
                    state.localFolderWritten = true;
                NoteDownloadsRunThrough(state);
            }
        }
    }
    app.ui.queueList.SetCellText(row, 4, status);
    if (status != kStatusFailed) return;
    const std::string why = reason.empty() ? std::string{} : "，" + reason;
    if (handled.upload) {
        // Both ends, the remote one as the user reads it.
        const std::string remote =
            handled.remoteGbk ? toolkit::GbkToUtf8(handled.remotePath) : handled.remotePath;
        Log(app, std::string(handled.folder ? "创建远程目录失败:" : "上传失败:") + handled.localFolder +
                     handled.localRelative + " -> " + remote + why);
        return;
    }
    Log(app, std::string(handled.folder ? "创建本地目录失败:" : "下载失败:") + handled.remotePath + why);
}

void RemoveSelectedQueueRows(App& app) {
    TaskQueueState& state = QueueState(app);
    toolkit::ListView& list = app.ui.queueList;
    const std::vector<int> selected = list.SelectedRows();
    std::vector<int> removed;
    {
        std::lock_guard guard(state.lock);
        for (std::size_t i = selected.size(); i-- > 0;) {
            const int index = selected[i];
            const auto row = static_cast<std::size_t>(index);
            if (row >= state.rows.size()) continue;
            // The running row ends with "停止任务", not by vanishing.
            if (state.rowTaken && row == state.queueIndex) continue;
            state.rows.erase(state.rows.begin() + static_cast<std::ptrdiff_t>(row));
            if (row < state.queueIndex) --state.queueIndex;
            removed.push_back(index);
        }
    }
    for (int row : removed) list.DeleteRow(row);
    list.RedrawNow();
}

}  // namespace app
