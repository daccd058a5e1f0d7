// The transfer driver thread. Every window update it makes is one call
// carried out on the UI thread (and waited for); taking the next row and the
// end-of-queue step are such calls too, so they never interleave with a
// request appending rows (see task_queue.cpp).
//
// A file row reads "完成" only when the whole file arrived: the task's worker
// finished its part (TaskWorkerDone, no TaskWorkerFailed), and TaskEnded's byte count is the
// size of the local file. A stopped, refused or broken transfer reads "失败".
// Between two tasks the driver waits, bounded, until downloadClient is idle:
// a task that has sent TaskEnded is still releasing its session.
//
// Upload rows: a folder row creates the remote folder on the driver's own
// session (app/remote_folder_maker.h); a file row runs an upload task that
// asks about a remote file of the same name and gets its answer at once.
#include "app/transfer_driver.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "app/app.h"
#include "app/remote_folder_maker.h"
#include "app/session_log.h"
#include "app/task_queue.h"
#include "downlib/entry_name.h"
#include "downlib/upload_decision.h"
#include "downlib/url_path.h"

namespace app {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kIdleWaitLimit = std::chrono::seconds(10);
// After StopTask the task ends within its stop wait; this is the bound on
// waiting for its TaskEnded beyond that.
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr int kPollMicroseconds = 100000;

// Every component below the local folder is a plain name.
bool StaysBelow(const std::string& relative) {
    for (const std::string& piece : toolkit::Split(relative, "/")) {
        if (piece.empty()) continue;
        if (!downlib::IsSafeEntryName(piece, downlib::EntryNameUse::LocalComponent)) return false;
    }
    return true;
}

}  // namespace

struct TransferDriverState {
    explicit TransferDriverState(App& owner) : app(owner) {}
    ~TransferDriverState() { Stop(); }

    App& app;
    std::mutex lock;
    std::condition_variable left;  // the thread has left
    std::thread thread;
    bool running = false;
    std::atomic<bool> stopRequested{false};
    std::shared_ptr<TaskWatch> watch;  // the running task's

    void Stop();
    void WakeWatch() {
        std::shared_ptr<TaskWatch> current;
        {
            std::lock_guard guard(lock);
            current = watch;
        }
        if (!current) return;
        std::lock_guard guard(current->lock);
        current->changed.notify_all();
    }
};

namespace {

TransferDriverState& DriverState(App& app) {
    if (!app.transferDriver) app.transferDriver = std::make_shared<TransferDriverState>(app);
    return *app.transferDriver;
}

// A window update on the UI thread; false once the window is going away.
template <class F>
bool OnUi(F&& f) {
    return toolkit::RunOnUiThread(std::function<void()>(std::forward<F>(f)));
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

// Column 4 of the row the driver handles (UI thread); rows above it may have
// been removed since the driver took it.
void SetTakenRowStatus(App& app, const std::string& status) {
    const int row = TakenRowIndex(app);
    if (row >= 0) app.ui.queueList.SetCellText(row, 4, status);
}

bool ShowAction(App& app, const std::string& action, bool resetProgress) {
    return OnUi([&] {
        MainWindow& ui = app.ui;
        if (resetProgress) ui.taskProgress.SetPosition(0);
        // The UI thread repaints these when it next runs its loop, which the
        // driver's thread does not hold up: a paint per row on its own cost
        // more than a small file's whole transfer.
        ui.statusBar.SetPaneText(2, action);
        ui.queueList.EnsureVisible(TakenRowIndex(app));
        if (!resetProgress) SetTakenRowStatus(app, kStatusRunning);
    });
}

RowOutcome HandleFolderRow(App& app, TransferDriverState& d, const QueueRow& row) {
    const std::string& relative = row.localRelative;
    const std::string path = row.localFolder + relative;
    if (!ShowAction(app, "动作:创建目录:" + path, false) || d.stopRequested.load())
        return FailedRow("已停止");
    if (!StaysBelow(relative)) return FailedRow("本地路径不在所选的本地目录之下");
    // Below the chosen folder without following a link planted there.
    if (downlib::CreateLocalFolderBelow(row.localFolder, path)) return RowOutcome{kStatusDone, {}, {}};
    return FailedRow(toolkit::FileAttributes(path) >= 0 ? "本地已有同名的文件或目录" : "无法创建本地目录");
}

// Follows a started task until its TaskEnded, showing its progress against
// the row's size, and stops it when the program or the user asks to. The
// row reads "进行中", or "失败" at once when the task did not start. True when
// the task had to be stopped.
bool WaitForTask(App& app, TransferDriverState& d, TaskWatch& watch, bool started,
                 const std::string& sizeText, int stopWait) {
    MainWindow& ui = app.ui;
    bool stopSent = false;
    Clock::time_point giveUp{};
    const auto sendStop = [&] {
        app.downloadClient.StopTask();
        stopSent = true;
        giveUp = Clock::now() + std::chrono::milliseconds(stopWait) + kStopGrace;
    };
    // A stop (of the program, or of this task by the user) that came while
    // the task was being started.
    if (started && (d.stopRequested.load() || StopAsked(watch))) sendStop();
    OnUi([&] { SetTakenRowStatus(app, started ? kStatusRunning : kStatusFailed); });

    const std::int64_t size = toolkit::ToInteger(sizeText);
    const std::int64_t step = size / 100;
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
        if (!retry.empty()) {
            bytesAtRetry = app.downloadClient.GetBytesDone();
            OnUi([&] {
                SetTakenRowStatus(app, retry);
                AppendLogNow(app, retry);
            });
        } else if (bytesAtRetry >= 0 && app.downloadClient.GetBytesDone() > bytesAtRetry) {
            bytesAtRetry = -1;
            OnUi([&] { SetTakenRowStatus(app, kStatusRunning); });
        }
        if (!stopSent && (d.stopRequested.load() || StopAsked(watch))) sendStop();
        if (stopSent && Clock::now() > giveUp) break;
        const std::int64_t bytes = app.downloadClient.GetBytesDone();
        const std::int64_t percent = step > 0 ? bytes / step : 0;
        const bool shown = OnUi([&] {
            ui.taskProgress.SetPosition(static_cast<int>(std::clamp<std::int64_t>(percent, 0, 100)));
            ui.statusBar.SetPaneText(3, "任务进度:" + std::to_string(percent) + "%");
        });
        if (!shown) d.stopRequested = true;
        WaitPumping(watch, d.stopRequested, kPollMicroseconds);
    }
    {
        std::lock_guard guard(d.lock);
        d.watch.reset();
    }
    OnUi([&] {
        ui.taskProgress.SetPosition(100);
        ui.statusBar.SetPaneText(3, "任务进度:100%");
    });
    return stopSent;
}

void Watch(TransferDriverState& d, const std::shared_ptr<TaskWatch>& watch) {
    std::lock_guard guard(d.lock);
    d.watch = watch;
}

// What the user reads for a remote path: GBK bytes the window converted are
// shown as the local name they came from.
std::string ShownRemotePath(const QueueRow& row) {
    return row.remoteGbk ? toolkit::GbkToUtf8(row.remotePath) : row.remotePath;
}

RowOutcome HandleUploadFolderRow(App& app, TransferDriverState& d, RemoteFolderMaker& maker,
                                 const QueueRow& row) {
    if (!ShowAction(app, "动作:创建远程目录:" + ShownRemotePath(row), false) || d.stopRequested.load())
        return FailedRow("已停止");
    // Queued earlier; gone now, its content would fail file by file.
    if (toolkit::EntryKindOf(row.localSource) != toolkit::EntryKind::Folder)
        return FailedRow("本地目录已不存在");
    std::string reason;
    if (maker.Make(row, reason)) return RowOutcome{kStatusDone, {}, {}};
    return FailedRow(d.stopRequested.load() ? std::string("已停止") : reason);
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

RowOutcome HandleUploadFileRow(App& app, TransferDriverState& d, const QueueRow& row) {
    if (!ShowAction(app, "动作:上传文件:" + row.localFolder + row.localRelative, true))
        return FailedRow("已停止");
    const bool addressable = downlib::FitsTaskUrl(row.remotePath);
    auto watch = std::make_shared<TaskWatch>();
    Watch(d, watch);
    downlib::TaskParam param;
    // Asked about a remote file of the same name, the driver answers itself.
    param.flags = downlib::UploadAsk;
    AddressTask(app, param, row, watch);
    param.localPath = row.localSource;
    // What the engine opens now is what must arrive whole.
    const std::int64_t localSize = toolkit::FileSize(row.localSource);
    bool started = false;
    if (addressable && !d.stopRequested.load() && WaitUntilIdle(app.downloadClient, d.stopRequested)) {
        started = app.downloadClient.StartUpload(param);
    }
    UploadEnd end;
    end.stopSent = WaitForTask(app, d, *watch, started, row.sizeText, param.stopWait);
    end.addressable = addressable;
    end.started = started;
    end.stopRequested = d.stopRequested.load();
    end.localSize = localSize;
    {
        std::lock_guard guard(watch->lock);
        ReadWatch(*watch, end);
        end.decision = watch->decision;
    }
    return UploadVerdict(end);
}

RowOutcome HandleFileRow(App& app, TransferDriverState& d, downlib::TaskParam& param, const QueueRow& row) {
    if (!ShowAction(app, "动作:下载文件:" + row.remotePath, true)) return FailedRow("已停止");

    const std::string& relative = row.localRelative;
    const std::string localPath = row.localFolder + relative;
    const bool addressable = downlib::FitsTaskUrl(row.remotePath) && StaysBelow(relative);

    auto watch = std::make_shared<TaskWatch>();
    Watch(d, watch);
    param.flags = static_cast<int>(downlib::TaskUse::Download);
    AddressTask(app, param, row, watch);
    param.localPath = localPath;
    param.localBase = row.localFolder;

    bool started = false;
    if (addressable && !d.stopRequested.load() && WaitUntilIdle(app.downloadClient, d.stopRequested)) {
        started = app.downloadClient.StartTask(param);
    }
    DownloadEnd end;
    end.stopSent = WaitForTask(app, d, *watch, started, row.sizeText, param.stopWait);
    end.addressable = addressable;
    end.started = started;
    end.stopRequested = d.stopRequested.load();
    {
        std::lock_guard guard(watch->lock);
        ReadWatch(*watch, end);
        end.sameName = watch->sameName;
    }
    end.localSize = toolkit::FileSize(localPath);
    return DownloadVerdict(end);
}

void RunQueue(App& app, TransferDriverState& d) {
    // One task description for the whole run, its defaults kept.
    downlib::TaskParam param;
    // Remote folders of upload rows are made on a session of this thread.
    RemoteFolderMaker folders([&d] { return !d.stopRequested.load(); });
    bool live = OnUi([&] { app.ui.statusBar.SetPaneText(0, "进行中"); });
    while (live && !d.stopRequested.load()) {
        std::optional<QueueRow> row;
        int index = 0;
        live = OnUi([&] {
            bool cleared = false;
            row = TakeNextRow(app, index, cleared);
            if (!cleared) return;
            MainWindow& ui = app.ui;
            ui.statusBar.SetPaneText(3, "任务进度:0%");
            ui.taskProgress.SetPosition(0);
            ui.statusBar.SetPaneText(0, "已就绪");
            ui.statusBar.SetPaneText(2, "动作:无");
            ui.statusBar.RedrawNow();
        });
        if (!live || !row) break;
        RowOutcome outcome;
        if (row->upload) {
            outcome = row->folder ? HandleUploadFolderRow(app, d, folders, *row)
                                  : HandleUploadFileRow(app, d, *row);
        } else {
            outcome = row->folder ? HandleFolderRow(app, d, *row) : HandleFileRow(app, d, param, *row);
        }
        live = OnUi([&] {
            if (!outcome.note.empty()) AppendLogNow(app, outcome.note);
            FinishRow(app, outcome.status, outcome.reason);
        });
    }
    if (!live || d.stopRequested.load()) {
        // Left early: whatever the window shows, no driver runs any more.
        TaskQueueState& state = *app.taskQueue;
        std::lock_guard guard(state.lock);
        state.driverIdle = true;
    }
}

}  // namespace

void TransferDriverState::Stop() {
    stopRequested = true;
    WakeWatch();
    app.downloadClient.StopTask();
    // The driver may be waiting for a window call: keep serving them until it
    // has left. Each of its waits is bounded, so this ends.
    std::unique_lock guard(lock);
    while (running) {
        guard.unlock();
        toolkit::ProcessPendingEvents();
        guard.lock();
        left.wait_for(guard, std::chrono::milliseconds(5), [&] { return !running; });
    }
    std::thread finished = std::move(thread);
    guard.unlock();
    if (finished.joinable()) finished.join();
}

void StartTransferDriver(App& app) {
    TransferDriverState& d = DriverState(app);
    std::unique_lock guard(d.lock);
    if (d.stopRequested.load()) {
        guard.unlock();
        TaskQueueState& state = QueueState(app);
        std::lock_guard queueGuard(state.lock);
        state.driverIdle = true;
        return;
    }
    // The previous run marked the driver idle in its last window call; all
    // that is left of it is returning.
    while (d.running) d.left.wait(guard);
    if (d.thread.joinable()) d.thread.join();
    d.running = true;
    TransferDriverState* self = &d;
    try {
        d.thread = std::thread([&app, self] {
            RunQueue(app, *self);
            std::lock_guard leaving(self->lock);
            self->running = false;
            self->left.notify_all();
        });
    } catch (const std::system_error&) {
        // No thread: the rows wait for the next request to start one.
        d.running = false;
        guard.unlock();
        TaskQueueState& state = QueueState(app);
        std::lock_guard queueGuard(state.lock);
        state.driverIdle = true;
    }
}

void StopRunningTask(App& app) {
    if (!app.transferDriver) return;
    TransferDriverState& d = *app.transferDriver;
    std::shared_ptr<TaskWatch> current;
    {
        std::lock_guard guard(d.lock);
        current = d.watch;
    }
    // Between two file rows there is nothing to stop.
    if (!current) return;
    // The driver itself stops the task: every task command stays on its thread.
    std::lock_guard guard(current->lock);
    current->stopAsked = true;
    current->changed.notify_all();
}

void StopTransferDriver(App& app) {
    if (app.transferDriver) app.transferDriver->Stop();
}

bool TransferDriverRunning(App& app) {
    if (!app.transferDriver) return false;
    std::lock_guard guard(app.transferDriver->lock);
    return app.transferDriver->running;
}

}  // namespace app
