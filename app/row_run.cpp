// A file row reads "完成" only when the whole file arrived: the task's worker
// finished its part (TaskWorkerDone, no TaskWorkerFailed), and TaskEnded's byte count is the
// size of the local file. A stopped, refused or broken transfer reads "失败".
// Between two tasks a lane waits, bounded, until its Download object is idle:
// a task that has sent TaskEnded is still releasing its session.
//
// Upload rows: a folder row creates the remote folder on the driver's own
// session (app/remote_folder_maker.h); a file row runs an upload task that
// asks about a remote file of the same name and gets its answer at once.
#include "app/row_run.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/driver_state.h"
#include "app/remote_folder_maker.h"
#include "app/session_log.h"
#include "app/task_queue.h"
#include "downlib/entry_name.h"
#include "downlib/url_path.h"

namespace app {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kIdleWaitLimit = std::chrono::seconds(10);
// After StopTask the task ends within its stop wait; this is the bound on
// waiting for its TaskEnded beyond that.
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr int kPollMicroseconds = 100000;
// A refused lane waits this long at most for the other lanes' log-ins to
// tell how many the server takes, looking this often.
constexpr auto kLimitSettleWait = std::chrono::seconds(30);
constexpr auto kLimitSettlePoll = std::chrono::milliseconds(10);

// Every component below the local folder is a plain name.
bool StaysBelow(const std::string& relative) {
    for (const std::string& piece : toolkit::Split(relative, "/")) {
        if (piece.empty()) continue;
        if (!downlib::IsSafeEntryName(piece, downlib::EntryNameUse::LocalComponent)) return false;
    }
    return true;
}

bool StopAsked(TaskWatch& watch) {
    std::lock_guard guard(watch.lock);
    return watch.stopAsked;
}

// Waits until the TaskEnded of the task arrives, the driver is stopped, or the
// delay has passed.
void WaitPumping(TaskWatch& watch, const std::atomic<bool>& stop, int microseconds) {
    std::unique_lock guard(watch.lock);
    watch.changed.wait_for(guard, std::chrono::microseconds(microseconds),
                           [&] { return watch.ended || watch.stopAsked || stop.load(); });
}

bool WaitUntilIdle(downlib::Download& client, const std::atomic<bool>& stop) {
    const auto deadline = Clock::now() + kIdleWaitLimit;
    auto pause = std::chrono::microseconds(50);
    while (!client.IsIdle()) {
        if (stop.load() || Clock::now() > deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
    return true;
}

// What a lane is running, for the texts of its row and of the status bar.
struct RowRun {
    App& app;
    TransferDriverState& d;
    Lane& lane;
    const QueueRow& row;

    bool OneAtATime() const { return d.wanted == 1; }
};

// Column 4 of the lane's row (UI thread); rows above it may have been
// removed since the lane took it.
void SetRowStatus(App& app, std::uint64_t id, const std::string& status) {
    const int row = RowIndexOf(app, id);
    if (row >= 0) app.ui.queueList.SetCellText(row, 4, status);
}

// What the user reads for a remote path: GBK bytes the window converted are
// shown as the local name they came from.
std::string ShownRemotePath(const QueueRow& row) {
    return row.remoteGbk ? toolkit::GbkToUtf8(row.remotePath) : row.remotePath;
}

RowOutcome HandleFolderRow(RowRun& run) {
    const QueueRow& row = run.row;
    const std::string& relative = row.localRelative;
    const std::string path = row.localFolder + relative;
    if (run.d.stopRequested.load()) return FailedRow("已停止");
    if (!StaysBelow(relative)) return FailedRow("本地路径不在所选的本地目录之下");
    // Below the chosen folder without following a link planted there.
    if (downlib::CreateLocalFolderBelow(row.localFolder, path)) return RowOutcome{kStatusDone, {}, {}};
    return FailedRow(toolkit::FileAttributes(path) >= 0 ? "本地已有同名的文件或目录" : "无法创建本地目录");
}

// How a lane's refused log-in for too many connections is taken.
enum class LimitAnswer { GoOn, Requeue, NoSecondConnection };

// The server refused the lane one more connection: while other lanes run,
// fewer lanes run for the rest of the request (as many as hold a working
// connection, at least one) and the row waits again; alone, the server
// allows no connection beside the browsing one.
LimitAnswer OnConnectionLimit(RowRun& run) {
    TransferDriverState& d = run.d;
    std::string line;
    LimitAnswer answer = LimitAnswer::NoSecondConnection;
    {
        std::unique_lock guard(d.lock);
        run.lane.refused = true;
        // How many lanes the server takes shows once every other running
        // lane got in or was refused too: three lanes of which the server
        // lets in two go on with two, with one line, not with one.
        const auto deadline = Clock::now() + kLimitSettleWait;
        int busy = 0;
        int connected = 0;
        while (true) {
            busy = 0;
            connected = 0;
            bool settled = true;
            for (const auto& lane : d.lanes) {
                if (!lane || lane.get() == &run.lane || lane->rowId == 0) continue;
                ++busy;
                const bool in = !lane->refused && Connected(*lane);
                connected += in ? 1 : 0;
                settled = settled && (in || lane->refused);
            }
            if (settled || d.stopRequested.load() || Clock::now() > deadline) break;
            guard.unlock();
            std::this_thread::sleep_for(kLimitSettlePoll);
            guard.lock();
        }
        if (busy > 0) {
            answer = LimitAnswer::Requeue;
            const int fewer = std::max(connected, 1);
            if (fewer < d.limit) {
                d.limit = fewer;
                line = "服务器拒绝了更多的连接，同时传输数降为" + std::to_string(fewer);
            }
            d.lowered = Clock::now();
        } else if (!d.toldNoSecond) {
            d.toldNoSecond = true;
            line = "服务器不允许第二个连接（浏览目录的连接已占用唯一的名额），无法传输文件";
        }
    }
    if (!line.empty()) OnUi([&] { AppendLogNow(run.app, line); });
    return answer;
}

// Follows a started task until its TaskEnded, showing its progress against
// the row's size (one row at a time) and its retries, and stops it when the
// program or the user asks to. The row reads "进行中", or "失败" at once when
// the task did not start. True when the task had to be stopped; `limit`
// tells whether it was stopped for a refusal of one more connection.
bool WaitForTask(RowRun& run, downlib::Download& client, TaskWatch& watch, bool started, int stopWait,
                 LimitAnswer& limit) {
    App& app = run.app;
    TransferDriverState& d = run.d;
    MainWindow& ui = app.ui;
    const std::uint64_t id = run.row.id;
    limit = LimitAnswer::GoOn;
    bool stopSent = false;
    Clock::time_point giveUp{};
    const auto sendStop = [&] {
        client.StopTask();
        stopSent = true;
        giveUp = Clock::now() + std::chrono::milliseconds(stopWait) + kStopGrace;
    };
    // A stop (of the program, or of this task by the user) that came while
    // the task was being started.
    if (started && (d.stopRequested.load() || StopAsked(watch))) sendStop();

    const std::int64_t step = run.lane.size / 100;
    int retriesShown = 0;
    std::int64_t bytesAtRetry = -1;  // the row shows a retry until bytes flow again
    while (started) {
        std::string retry;
        {
            std::lock_guard guard(watch.lock);
            if (watch.ended) break;
            if (watch.retries != retriesShown) {
                retriesShown = watch.retries;
                retry = watch.retry;
            }
        }
        // A row that waits says why in its state and in the log, so the user
        // can tell a slow server from a failing one and stop it.
        if (!retry.empty() && !stopSent && retry.find(downlib::kConnectionLimitLine) != std::string::npos) {
            // Not a fault of the row: no retry is shown for it, the
            // driver's own line says what happens instead.
            sendStop();
            limit = OnConnectionLimit(run);
        } else if (!retry.empty()) {
            bytesAtRetry = client.GetBytesDone();
            {
                std::lock_guard guard(d.lock);
                run.lane.retrying = true;
            }
            OnUi([&] {
                SetRowStatus(app, id, retry);
                AppendLogNow(app, retry);
            });
        } else if (bytesAtRetry >= 0 && client.GetBytesDone() > bytesAtRetry) {
            bytesAtRetry = -1;
            {
                std::lock_guard guard(d.lock);
                run.lane.retrying = false;
            }
            OnUi([&] { SetRowStatus(app, id, kStatusRunning); });
        }
        if (!stopSent && (d.stopRequested.load() || StopAsked(watch))) sendStop();
        if (stopSent && Clock::now() > giveUp) break;
        if (run.OneAtATime()) {
            const std::int64_t bytes = client.GetBytesDone();
            const std::int64_t percent = step > 0 ? bytes / step : 0;
            const bool shown = OnUi([&] {
                ui.taskProgress.SetPosition(static_cast<int>(std::clamp<std::int64_t>(percent, 0, 100)));
                ui.statusBar.SetPaneText(3, "任务进度:" + std::to_string(percent) + "%");
            });
            if (!shown) d.windowGone = true;
        }
        if (d.windowGone.load()) d.stopRequested = true;
        WaitPumping(watch, d.stopRequested, kPollMicroseconds);
    }
    if (run.OneAtATime()) {
        OnUi([&] {
            ui.taskProgress.SetPosition(100);
            ui.statusBar.SetPaneText(3, "任务进度:100%");
        });
    }
    return stopSent;
}

// The lane runs this task now: its watch is where a stop reaches it.
void Watch(RowRun& run, const std::shared_ptr<TaskWatch>& watch) {
    std::lock_guard guard(run.d.lock);
    run.lane.watch = watch;
}

RowOutcome HandleUploadFolderRow(RowRun& run) {
    const QueueRow& row = run.row;
    if (run.d.stopRequested.load()) return FailedRow("已停止");
    // Queued earlier; gone now, its content would fail file by file.
    if (toolkit::EntryKindOf(row.localSource) != toolkit::EntryKind::Folder)
        return FailedRow("本地目录已不存在");
    std::string reason;
    {
        std::lock_guard guard(run.d.folderLock);
        if (run.d.folders && run.d.folders->Make(row, reason)) return RowOutcome{kStatusDone, {}, {}};
    }
    return FailedRow(run.d.stopRequested.load() ? std::string("已停止") : reason);
}

// What the task's events told, under the watch's lock.
void ReadWatch(const TaskWatch& watch, TaskEnd& end) {
    end.ended = watch.ended;
    end.workerDone = watch.workerDone;
    end.workerFailed = watch.workerFailed;
    end.count = watch.count;
    end.engineReason = watch.failure.Text();
}

// The row's server and log-in, the window's answers on certificates, and the
// task's events and log lines recorded into `watch`.
void AddressTask(App& app, downlib::TaskParam& param, const QueueRow& row,
                 const std::shared_ptr<TaskWatch>& watch) {
    param.url = TaskUrl(row.host, row.port, row.remotePath);
    param.user = row.user;
    param.password = row.password;
    param.tls = row.tls;
    param.tlsTrust = WindowTrust(app, app.trustedThisRun);
    param.taskCallback = [watch](int code, std::int64_t v1, std::int64_t v2, std::int64_t v3,
                                 downlib::Handle session) {
        return OnTaskEvent(*watch, code, v1, v2, v3, session);
    };
    // The engine's own words are the row's reason when it fails.
    param.logCallback = [watch](downlib::Handle, const std::string&, const std::string& message, int kind,
                                downlib::Handle) { OnTaskLog(*watch, message, kind); };
}

// A file row's end when the server would not give its task a connection.
std::optional<RowOutcome> LimitOutcome(LimitAnswer limit) {
    switch (limit) {
        case LimitAnswer::GoOn:
            return std::nullopt;
        case LimitAnswer::Requeue:
            return RowOutcome{kStatusWaiting, {}, {}};
        case LimitAnswer::NoSecondConnection:
            return FailedRow("服务器不允许第二个连接");
    }
    return std::nullopt;
}

// Starts the task when its paths fit and the driver goes on, follows it to
// its end and fills in what both verdicts read; a value instead when the
// row's server would not give the task a connection.
template <class Start>
std::optional<RowOutcome> FollowTask(RowRun& run, downlib::Download& client, TaskWatch& watch,
                                     bool addressable, int stopWait, Start start, TaskEnd& end) {
    bool started = false;
    if (addressable && !run.d.stopRequested.load() && WaitUntilIdle(client, run.d.stopRequested))
        started = start();
    LimitAnswer limit = LimitAnswer::GoOn;
    end.stopSent = WaitForTask(run, client, watch, started, stopWait, limit);
    if (auto refused = LimitOutcome(limit)) return refused;
    end.addressable = addressable;
    end.started = started;
    end.stopRequested = run.d.stopRequested.load();
    std::lock_guard guard(watch.lock);
    ReadWatch(watch, end);
    return std::nullopt;
}

RowOutcome HandleUploadFileRow(RowRun& run) {
    App& app = run.app;
    const QueueRow& row = run.row;
    downlib::Download& client = *run.lane.client;
    const bool addressable = downlib::FitsTaskUrl(row.remotePath);
    auto watch = std::make_shared<TaskWatch>();
    Watch(run, watch);
    downlib::TaskParam param;
    // Asked about a remote file of the same name, the driver answers itself.
    param.flags = downlib::UploadAsk;
    AddressTask(app, param, row, watch);
    param.localPath = row.localSource;
    // What the engine opens now is what must arrive whole.
    const std::int64_t localSize = toolkit::FileSize(row.localSource);
    UploadEnd end;
    if (auto refused = FollowTask(
            run, client, *watch, addressable, param.stopWait, [&] { return client.StartUpload(param); }, end))
        return *refused;
    end.localSize = localSize;
    {
        std::lock_guard guard(watch->lock);
        end.decision = watch->decision;
    }
    return UploadVerdict(end);
}

RowOutcome HandleFileRow(RowRun& run) {
    App& app = run.app;
    const QueueRow& row = run.row;
    downlib::Download& client = *run.lane.client;

    const std::string& relative = row.localRelative;
    const std::string localPath = row.localFolder + relative;
    const bool addressable = downlib::FitsTaskUrl(row.remotePath) && StaysBelow(relative);

    auto watch = std::make_shared<TaskWatch>();
    Watch(run, watch);
    downlib::TaskParam param;
    param.flags = static_cast<int>(downlib::TaskUse::Download);
    AddressTask(app, param, row, watch);
    param.localPath = localPath;
    param.localBase = row.localFolder;

    DownloadEnd end;
    if (auto refused = FollowTask(
            run, client, *watch, addressable, param.stopWait, [&] { return client.StartTask(param); }, end))
        return *refused;
    {
        std::lock_guard guard(watch->lock);
        end.sameName = watch->sameName;
    }
    end.localSize = toolkit::FileSize(localPath);
    return DownloadVerdict(end);
}

}  // namespace

// Pane 2's text while the row runs alone.
std::string ActionOf(const QueueRow& row) {
    if (row.upload) {
        return row.folder ? "动作:创建远程目录:" + ShownRemotePath(row)
                          : "动作:上传文件:" + row.localFolder + row.localRelative;
    }
    return row.folder ? "动作:创建目录:" + row.localFolder + row.localRelative
                      : "动作:下载文件:" + row.remotePath;
}

// Pane 2 while rows run: the row's own action when it runs alone, otherwise
// how many rows run ("动作:正在下载3个文件").
std::string RunningAction(const TransferDriverState& d) {
    int downloads = 0;
    int uploads = 0;
    const Lane* alone = nullptr;
    for (const auto& lane : d.lanes) {
        if (!lane || lane->rowId == 0) continue;
        alone = lane.get();
        ++(lane->upload ? uploads : downloads);
    }
    const int count = downloads + uploads;
    if (count == 0) return "动作:无";
    if (count == 1) return alone->action;
    const char* verb = uploads == 0 ? "下载" : downloads == 0 ? "上传" : "传输";
    return std::string("动作:正在") + verb + std::to_string(count) + "个文件";
}

// Whether the lane's connection is known to work: a task of it got as far
// as a transfer. Under the driver's lock.
bool Connected(const Lane& lane) {
    if (lane.connected) return true;
    if (!lane.watch) return false;
    std::lock_guard guard(lane.watch->lock);
    return lane.watch->loggedIn;
}

void ShowRowStarted(App& app, const TransferDriverState& d, const QueueRow& row) {
    MainWindow& ui = app.ui;
    // With one row at a time the bar is the row's; with several, the request's.
    if (!row.folder && d.wanted == 1) ui.taskProgress.SetPosition(0);
    // The UI thread repaints these when it next runs its loop, which the
    // lane's thread does not hold up: a paint per row on its own cost more
    // than a small file's whole transfer.
    ui.statusBar.SetPaneText(2, RunningAction(d));
    const int index = RowIndexOf(app, row.id);
    ui.queueList.EnsureVisible(index);
    if (index >= 0) ui.queueList.SetCellText(index, 4, kStatusRunning);
}

RowOutcome RunRow(App& app, TransferDriverState& d, Lane& lane, const QueueRow& row) {
    RowRun run{app, d, lane, row};
    if (row.upload) return row.folder ? HandleUploadFolderRow(run) : HandleUploadFileRow(run);
    return row.folder ? HandleFolderRow(run) : HandleFileRow(run);
}

}  // namespace app
