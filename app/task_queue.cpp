// The task queue's rows. Requests append them on the UI thread; the driver
// takes rows and ends its run through TakeNextRow, FinishRow and EndQueueRun, which also
// run on the UI thread, so a request's "append a row, then start the driver
// if it is idle" can never interleave with the driver's "nothing left: mark
// idle and clear": no row is cleared before it is handled and no row is left
// without a running driver.
#include "app/task_queue.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "app/app.h"
#include "app/list_texts.h"
#include "app/session_log.h"
#include "app/transfer_driver.h"
#include "downlib/entry_name.h"

namespace app {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(40);
constexpr auto kPumpInterval = std::chrono::milliseconds(5);

// Under the lock: an upload request that has run through wants the remote
// folder listed again, so the new files show.
void NoteUploadsRunThrough(TaskQueueState& state) {
    if (state.uploadsFinished && state.requestDone && state.openUploads == 0) {
        state.uploadsFinished = false;
        state.remoteListingDue = true;
    }
}

// Under the lock: a download request that has run through and wrote into the
// shown local folder wants that folder listed again.
void NoteDownloadsRunThrough(TaskQueueState& state) {
    if (state.localFolderWritten && state.requestDone && state.openDownloads == 0) {
        state.localFolderWritten = false;
        state.localListingDue = true;
    }
}

std::int64_t FileBytes(const QueueRow& row) { return row.folder ? 0 : toolkit::ToInteger(row.sizeText); }

// Under the lock: the index of the row with this id, or the row count.
std::size_t IndexOf(const TaskQueueState& state, std::uint64_t id) {
    const auto at =
        std::lower_bound(state.rows.begin(), state.rows.end(), id,
                         [](const QueueRow& row, std::uint64_t wanted) { return row.id < wanted; });
    if (at == state.rows.end() || at->id != id) return state.rows.size();
    return static_cast<std::size_t>(at - state.rows.begin());
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
        QueueRow& added = state.rows.back();
        added.id = state.nextRowId++;
        added.phase = RowPhase::Waiting;
        ++state.waiting;
        ++(row.upload ? state.openUploads : state.openDownloads);
        state.bytesQueued += FileBytes(row);
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

void MarkDownloadRequestDone(App& app) {
    TaskQueueState& state = QueueState(app);
    std::lock_guard guard(state.lock);
    state.requestDone = true;
    NoteDownloadsRunThrough(state);
}

namespace {

bool TakeFlag(App& app, bool TaskQueueState::*flag) {
    if (!app.taskQueue) return false;
    std::lock_guard guard(app.taskQueue->lock);
    return std::exchange(*app.taskQueue.*flag, false);
}

}  // namespace

bool TakeRemoteListingDue(App& app) { return TakeFlag(app, &TaskQueueState::remoteListingDue); }

bool TakeLocalListingDue(App& app) { return TakeFlag(app, &TaskQueueState::localListingDue); }

void NoteRemoteListed(App& app) {
    if (!app.taskQueue) return;
    std::lock_guard guard(app.taskQueue->lock);
    app.taskQueue->remoteListingDue = false;
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

bool RowTakeable(const TaskQueueState& state) { return state.waiting > 0 && state.runningFolders == 0; }

std::optional<QueueRow> TakeNextRow(App& app) {
    TaskQueueState& state = QueueState(app);
    std::lock_guard guard(state.lock);
    if (!RowTakeable(state)) return std::nullopt;
    for (std::size_t i = state.firstWaiting; i < state.rows.size(); ++i) {
        QueueRow& row = state.rows[i];
        if (row.phase != RowPhase::Waiting) continue;
        row.phase = RowPhase::Running;
        --state.waiting;
        ++state.running;
        if (row.folder) ++state.runningFolders;
        state.firstWaiting = i + 1;
        return row;
    }
    return std::nullopt;
}

bool EndQueueRun(App& app, bool& cleared) {
    cleared = false;
    TaskQueueState& state = QueueState(app);
    std::vector<int> finished;
    {
        std::lock_guard guard(state.lock);
        if (state.waiting > 0 || state.running > 0) return false;
        state.driverIdle = true;
        if (!state.requestDone) return true;
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
        state.firstWaiting = state.rows.size();
        state.bytesQueued = 0;
        state.bytesEnded = 0;
        cleared = true;
    }
    toolkit::ListView& list = app.ui.queueList;
    // From the bottom, so each index still names its row.
    for (std::size_t i = finished.size(); i-- > 0;) list.DeleteRow(finished[i]);
    return true;
}

int RowIndexOf(App& app, std::uint64_t id) {
    TaskQueueState& state = QueueState(app);
    std::lock_guard guard(state.lock);
    const std::size_t at = IndexOf(state, id);
    return at < state.rows.size() ? static_cast<int>(at) : -1;
}

int RunningRowIndexOf(App& app, std::uint64_t id) {
    TaskQueueState& state = QueueState(app);
    std::lock_guard guard(state.lock);
    const std::size_t at = IndexOf(state, id);
    return at < state.rows.size() && state.rows[at].phase == RowPhase::Running ? static_cast<int>(at) : -1;
}

void FinishRow(App& app, std::uint64_t id, const std::string& status, const std::string& reason) {
    TaskQueueState& state = QueueState(app);
    std::size_t row = 0;
    QueueRow handled;
    {
        std::lock_guard guard(state.lock);
        row = IndexOf(state, id);
        if (row >= state.rows.size() || state.rows[row].phase != RowPhase::Running) return;
        QueueRow& ended = state.rows[row];
        ended.status = status;
        ended.phase = RowPhase::Ended;
        --state.running;
        if (ended.folder) --state.runningFolders;
        state.bytesEnded += FileBytes(ended);
        handled = ended;
        if (handled.upload) {
            --state.openUploads;
            state.uploadsFinished = true;
            NoteUploadsRunThrough(state);
        } else {
            --state.openDownloads;
            // Failed rows count too: a folder made or a part of a file
            // may have arrived.
            if (IsAtOrBelow(handled.localFolder + handled.localRelative, app.localListFolder))
                state.localFolderWritten = true;
            NoteDownloadsRunThrough(state);
        }
    }
    app.ui.queueList.SetCellText(static_cast<int>(row), 4, status);
    if (status != kStatusFailed) return;
    const std::string why = reason.empty() ? std::string{} : "，" + reason;
    if (handled.upload) {
        // Both ends, the remote one as the user reads it.
        const std::string remote =
            handled.remoteGbk ? toolkit::GbkToUtf8(handled.remotePath) : handled.remotePath;
        AppendLogNow(app, std::string(handled.folder ? "创建远程目录失败:" : "上传失败:") +
                              handled.localFolder + handled.localRelative + " -> " + remote + why);
        return;
    }
    AppendLogNow(app,
                 std::string(handled.folder ? "创建本地目录失败:" : "下载失败:") + handled.remotePath + why);
}

void RequeueRow(App& app, std::uint64_t id) {
    TaskQueueState& state = QueueState(app);
    std::size_t row = 0;
    {
        std::lock_guard guard(state.lock);
        row = IndexOf(state, id);
        if (row >= state.rows.size() || state.rows[row].phase != RowPhase::Running) return;
        QueueRow& again = state.rows[row];
        again.phase = RowPhase::Waiting;
        again.status = kStatusWaiting;
        --state.running;
        if (again.folder) --state.runningFolders;
        ++state.waiting;
        state.firstWaiting = std::min(state.firstWaiting, row);
    }
    app.ui.queueList.SetCellText(static_cast<int>(row), 4, kStatusWaiting);
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
            const QueueRow& gone = state.rows[row];
            // A running row ends with "停止任务", not by vanishing.
            if (gone.phase == RowPhase::Running) continue;
            if (gone.phase == RowPhase::Waiting) {
                --state.waiting;
                --(gone.upload ? state.openUploads : state.openDownloads);
                state.bytesQueued -= FileBytes(gone);
            }
            state.rows.erase(state.rows.begin() + static_cast<std::ptrdiff_t>(row));
            if (row < state.firstWaiting) --state.firstWaiting;
            removed.push_back(index);
        }
    }
    for (int row : removed) list.DeleteRow(row);
    list.RedrawNow();
}

}  // namespace app
