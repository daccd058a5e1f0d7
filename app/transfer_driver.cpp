// The transfer driver thread and its lanes. The driver starts up to N lanes
// (the settings' 同时传输数), each a thread that takes the next row and runs
// it on a Download object of its own, so each keeps its own logged-in
// connection and the browsing connection stays free. Every window update a
// lane makes is one call carried out on the UI thread (and waited for);
// taking a row and the end-of-queue step are such calls too, so they never
// interleave with a request appending rows (see task_queue.cpp). Only the
// driver ends a run, after every lane has left, so no window call of a run
// can come after the run has marked itself idle.
//
// A file row reads "完成" only when the whole file arrived: the task's worker
// finished its part (TaskWorkerDone, no TaskWorkerFailed), and TaskEnded's byte count is the
// size of the local file. A stopped, refused or broken transfer reads "失败".
// Between two tasks a lane waits, bounded, until its Download object is idle:
// a task that has sent TaskEnded is still releasing its session.
//
// Upload rows: a folder row creates the remote folder on the driver's own
// session (app/remote_folder_maker.h); a file row runs an upload task that
// asks about a remote file of the same name and gets its answer at once.
//
// With one row at a time the window reads as it always has: the running
// row's action and percentage. With several, pane 2 counts the running rows,
// pane 3 and the bar follow the request's bytes with its speed and time left,
// and each running row shows its own percentage.
#include "app/transfer_driver.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/remote_folder_maker.h"
#include "app/request_progress.h"
#include "app/session_log.h"
#include "app/settings_file.h"
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
// How often the driver looks at its lanes and the queue, and how often it
// shows a request's progress while several rows run.
constexpr auto kDriverTick = std::chrono::milliseconds(10);
constexpr auto kProgressInterval = std::chrono::milliseconds(200);
// A lane whose next row waits for a folder row to be made looks again after this.
constexpr auto kFolderWait = std::chrono::milliseconds(2);
// After a server refused one more connection, one more lane is tried after
// this long without another refusal, as lftp does.
constexpr auto kRaiseAfter = std::chrono::seconds(30);

// Every component below the local folder is a plain name.
bool StaysBelow(const std::string& relative) {
    for (const std::string& piece : toolkit::Split(relative, "/")) {
        if (piece.empty()) continue;
        if (!downlib::IsSafeEntryName(piece, downlib::EntryNameUse::LocalComponent)) return false;
    }
    return true;
}

}  // namespace

// One lane: a thread that runs rows one after another on its Download object.
struct Lane {
    std::size_t slot = 0;
    downlib::Download* client = nullptr;
    std::thread thread;
    // Written under TransferDriverState::lock.
    bool leaving = false;              // done taking rows: no longer counted
    bool left = false;                 // the thread has finished; it touches nothing of the lane any more
    std::shared_ptr<TaskWatch> watch;  // the running file task's; none between rows
    std::uint64_t rowId = 0;           // the row it runs; 0 between rows
    bool upload = false;
    bool retrying = false;   // the row shows a retry line
    bool connected = false;  // a task of this lane got as far as a transfer
    std::int64_t size = 0;   // the row's bytes (0 for a folder row)
    std::string action;      // pane 2's text for this row alone
    // The driver's only: the task's byte count at the last look.
    std::int64_t bytesSeen = -1;
};

struct TransferDriverState {
    explicit TransferDriverState(App& owner) : app(owner) {}
    ~TransferDriverState() { Stop(); }

    App& app;
    std::mutex lock;
    std::condition_variable left;  // the thread has left
    std::thread thread;
    bool running = false;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> windowGone{false};  // a lane's window call found no window

    // Of the run, under `lock`.
    std::array<std::unique_ptr<Lane>, kMaxParallelRows> lanes;
    int wanted = 1;  // the settings' count
    int limit = 1;   // lowered while the server refuses more connections
    Clock::time_point lowered{};
    bool toldNoSecond = false;
    // The Download objects of lanes 1 and on (lane 0 runs on downloadClient),
    // kept from run to run with their logged-in connections.
    std::array<std::unique_ptr<downlib::Download>, kMaxParallelRows> clients;
    // Remote folders of upload rows are made on one session, one row at a time.
    std::mutex folderLock;
    RemoteFolderMaker* folders = nullptr;

    void Stop();
    void WakeWatches() {
        std::vector<std::shared_ptr<TaskWatch>> current;
        {
            std::lock_guard guard(lock);
            for (const auto& lane : lanes) {
                if (lane && lane->watch) current.push_back(lane->watch);
            }
        }
        for (const auto& watch : current) {
            std::lock_guard guard(watch->lock);
            watch->changed.notify_all();
        }
    }
    downlib::Download& ClientOf(std::size_t slot) {
        if (slot == 0) return app.downloadClient;
        if (!clients[slot]) clients[slot] = std::make_unique<downlib::Download>();
        return *clients[slot];
    }
    int BusyLanes() const {
        int busy = 0;
        for (const auto& lane : lanes) busy += lane && lane->rowId != 0 ? 1 : 0;
        return busy;
    }
    int LiveLanes() const {
        int live = 0;
        for (const auto& lane : lanes) live += lane && !lane->leaving ? 1 : 0;
        return live;
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

// Pane 2 while rows run: the row's own action when it runs alone, otherwise
// how many rows run ("动作:正在下载3个文件").
std::string RunningAction(TransferDriverState& d) {
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

// What the user reads for a remote path: GBK bytes the window converted are
// shown as the local name they came from.
std::string ShownRemotePath(const QueueRow& row) {
    return row.remoteGbk ? toolkit::GbkToUtf8(row.remotePath) : row.remotePath;
}

// Pane 2's text while the row runs alone.
std::string ActionOf(const QueueRow& row) {
    if (row.upload) {
        return row.folder ? "动作:创建远程目录:" + ShownRemotePath(row)
                          : "动作:上传文件:" + row.localFolder + row.localRelative;
    }
    return row.folder ? "动作:创建目录:" + row.localFolder + row.localRelative
                      : "动作:下载文件:" + row.remotePath;
}

bool ShowAction(RowRun& run, bool fileRow) {
    return OnUi([&] {
        MainWindow& ui = run.app.ui;
        std::string pane;
        {
            std::lock_guard guard(run.d.lock);
            pane = RunningAction(run.d);
        }
        // With one row at a time the bar is the row's; with several, the request's.
        if (fileRow && run.OneAtATime()) ui.taskProgress.SetPosition(0);
        // The UI thread repaints these when it next runs its loop, which the
        // lane's thread does not hold up: a paint per row on its own cost
        // more than a small file's whole transfer.
        ui.statusBar.SetPaneText(2, pane);
        ui.queueList.EnsureVisible(RowIndexOf(run.app, run.row.id));
        if (!fileRow) SetRowStatus(run.app, run.row.id, kStatusRunning);
    });
}

RowOutcome HandleFolderRow(RowRun& run) {
    const QueueRow& row = run.row;
    const std::string& relative = row.localRelative;
    const std::string path = row.localFolder + relative;
    if (!ShowAction(run, false) || run.d.stopRequested.load()) return FailedRow("已停止");
    if (!StaysBelow(relative)) return FailedRow("本地路径不在所选的本地目录之下");
    // Below the chosen folder without following a link planted there.
    if (downlib::CreateLocalFolderBelow(row.localFolder, path)) return RowOutcome{kStatusDone, {}, {}};
    return FailedRow(toolkit::FileAttributes(path) >= 0 ? "本地已有同名的文件或目录" : "无法创建本地目录");
}

// How a lane's refused log-in for too many connections is taken.
enum class LimitAnswer { GoOn, Requeue, NoSecondConnection };

// Whether the lane's connection is known to work: a task of it got as far
// as a transfer. Under the driver's lock.
bool Connected(const Lane& lane) {
    if (lane.connected) return true;
    if (!lane.watch) return false;
    std::lock_guard guard(lane.watch->lock);
    return lane.watch->loggedIn;
}

// The server refused the lane one more connection: while other lanes run,
// fewer lanes run for the rest of the request (as many as hold a working
// connection, at least one) and the row waits again; alone, the server
// allows no connection beside the browsing one.
LimitAnswer OnConnectionLimit(RowRun& run) {
    TransferDriverState& d = run.d;
    std::string line;
    LimitAnswer answer = LimitAnswer::NoSecondConnection;
    {
        std::lock_guard guard(d.lock);
        int busy = 0;
        int connected = 0;
        for (const auto& lane : d.lanes) {
            if (!lane || lane.get() == &run.lane || lane->rowId == 0) continue;
            ++busy;
            if (Connected(*lane)) ++connected;
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
    OnUi([&] { SetRowStatus(app, id, started ? kStatusRunning : kStatusFailed); });

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
            limit = OnConnectionLimit(run);
            sendStop();
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
    if (!ShowAction(run, false) || run.d.stopRequested.load()) return FailedRow("已停止");
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

RowOutcome HandleUploadFileRow(RowRun& run) {
    App& app = run.app;
    const QueueRow& row = run.row;
    if (!ShowAction(run, true)) return FailedRow("已停止");
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
    bool started = false;
    if (addressable && !run.d.stopRequested.load() && WaitUntilIdle(client, run.d.stopRequested)) {
        started = client.StartUpload(param);
    }
    UploadEnd end;
    LimitAnswer limit = LimitAnswer::GoOn;
    end.stopSent = WaitForTask(run, client, *watch, started, param.stopWait, limit);
    if (auto refused = LimitOutcome(limit)) return *refused;
    end.addressable = addressable;
    end.started = started;
    end.stopRequested = run.d.stopRequested.load();
    end.localSize = localSize;
    {
        std::lock_guard guard(watch->lock);
        ReadWatch(*watch, end);
        end.decision = watch->decision;
    }
    return UploadVerdict(end);
}

RowOutcome HandleFileRow(RowRun& run) {
    App& app = run.app;
    const QueueRow& row = run.row;
    if (!ShowAction(run, true)) return FailedRow("已停止");
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

    bool started = false;
    if (addressable && !run.d.stopRequested.load() && WaitUntilIdle(client, run.d.stopRequested)) {
        started = client.StartTask(param);
    }
    DownloadEnd end;
    LimitAnswer limit = LimitAnswer::GoOn;
    end.stopSent = WaitForTask(run, client, *watch, started, param.stopWait, limit);
    if (auto refused = LimitOutcome(limit)) return *refused;
    end.addressable = addressable;
    end.started = started;
    end.stopRequested = run.d.stopRequested.load();
    {
        std::lock_guard guard(watch->lock);
        ReadWatch(*watch, end);
        end.sameName = watch->sameName;
    }
    end.localSize = toolkit::FileSize(localPath);
    return DownloadVerdict(end);
}

RowOutcome HandleRow(RowRun& run) {
    const QueueRow& row = run.row;
    if (row.upload) return row.folder ? HandleUploadFolderRow(run) : HandleUploadFileRow(run);
    return row.folder ? HandleFolderRow(run) : HandleFileRow(run);
}

// Whether the lane should take another row: the driver goes on, the limit
// leaves room for it, and a row waits. Waits while the next row lies below a
// folder row that is being made.
bool LaneShouldTake(App& app, TransferDriverState& d, Lane& lane) {
    while (!d.stopRequested.load()) {
        {
            // Fewer lanes since a refusal: the first to notice gives up its place.
            std::lock_guard guard(d.lock);
            if (d.LiveLanes() > d.limit) {
                lane.leaving = true;
                return false;
            }
        }
        TaskQueueState& state = QueueState(app);
        {
            std::lock_guard guard(state.lock);
            if (state.waiting == 0) return false;
            if (RowTakeable(state)) return true;
        }
        std::this_thread::sleep_for(kFolderWait);
    }
    return false;
}

void RunLane(App& app, TransferDriverState& d, Lane& lane) {
    while (!d.windowGone.load() && LaneShouldTake(app, d, lane)) {
        std::optional<QueueRow> row;
        if (!OnUi([&] { row = TakeNextRow(app); })) {
            d.windowGone = true;
            break;
        }
        if (!row) continue;
        {
            std::lock_guard guard(d.lock);
            lane.rowId = row->id;
            lane.upload = row->upload;
            lane.size = row->folder ? 0 : toolkit::ToInteger(row->sizeText);
            lane.retrying = false;
            lane.bytesSeen = -1;
            lane.action = ActionOf(*row);
        }
        RowRun run{app, d, lane, *row};
        const RowOutcome outcome = HandleRow(run);
        {
            std::lock_guard guard(d.lock);
            lane.connected = lane.connected || Connected(lane);
            lane.rowId = 0;
            lane.watch.reset();
        }
        const bool requeue = outcome.status == kStatusWaiting;
        const bool live = OnUi([&] {
            if (requeue) {
                RequeueRow(app, row->id);
                return;
            }
            if (!outcome.note.empty()) AppendLogNow(app, outcome.note);
            FinishRow(app, row->id, outcome.status, outcome.reason);
        });
        if (!live) d.windowGone = true;
        // Refused for one connection too many: this lane gives up its place,
        // and with it the connections its Download object keeps.
        if (requeue) {
            lane.client->StopTask();
            break;
        }
    }
    std::lock_guard guard(d.lock);
    lane.leaving = true;
    lane.left = true;
}

// The request's progress while several rows run: pane 2 counts the running
// rows, pane 3 and the bar follow the bytes, each running row its own share.
bool ShowRequestProgress(App& app, TransferDriverState& d, ThroughputMeter& meter, std::int64_t& moved) {
    struct Shown {
        std::uint64_t id;
        int percent;
    };
    std::vector<Shown> rows;
    std::int64_t runningBytes = 0;
    std::string action;
    {
        std::lock_guard guard(d.lock);
        for (const auto& lane : d.lanes) {
            if (!lane || lane->rowId == 0 || lane->size <= 0 || !lane->watch) continue;
            const std::int64_t bytes = std::clamp<std::int64_t>(lane->client->GetBytesDone(), 0, lane->size);
            // A resumed file starts at its offset: only what moves counts for the speed.
            if (lane->bytesSeen >= 0 && bytes > lane->bytesSeen) moved += bytes - lane->bytesSeen;
            lane->bytesSeen = bytes;
            runningBytes += bytes;
            if (!lane->retrying) rows.push_back({lane->rowId, static_cast<int>(bytes * 100 / lane->size)});
        }
        action = RunningAction(d);
    }
    std::int64_t total = 0;
    std::int64_t done = 0;
    {
        TaskQueueState& state = QueueState(app);
        std::lock_guard guard(state.lock);
        total = state.bytesQueued;
        done = std::min(state.bytesEnded + runningBytes, total);
    }
    const auto now = Clock::now();
    meter.Sample(now, moved);
    const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 0;
    const std::string text = RequestProgressText(percent, meter.BytesPerSecond(), total - done);
    return OnUi([&] {
        MainWindow& ui = app.ui;
        ui.statusBar.SetPaneText(2, action);
        ui.statusBar.SetPaneText(3, text);
        ui.taskProgress.SetPosition(percent);
        // A row that ended since the look above keeps its final status.
        for (const Shown& row : rows) {
            const int index = RunningRowIndexOf(app, row.id);
            if (index >= 0)
                ui.queueList.SetCellText(
                    index, 4, std::string(kStatusRunning) + " " + std::to_string(row.percent) + "%");
        }
    });
}

// Lanes that have left are joined (their slot is free again); more are
// started while rows can be taken and the limit leaves room. One more lane
// is allowed again a while after the last refusal.
void TendLanes(App& app, TransferDriverState& d) {
    std::vector<std::thread> finished;
    std::lock_guard guard(d.lock);
    for (auto& lane : d.lanes) {
        if (lane && lane->left) {
            finished.push_back(std::move(lane->thread));
            lane.reset();
        }
    }
    if (d.limit < d.wanted && Clock::now() - d.lowered > kRaiseAfter) {
        ++d.limit;
        d.lowered = Clock::now();
    }
    std::size_t takeable = 0;
    {
        TaskQueueState& state = QueueState(app);
        std::lock_guard queueGuard(state.lock);
        takeable = RowTakeable(state) ? state.waiting : 0;
    }
    for (std::size_t slot = 0; slot < d.lanes.size() && takeable > 0; ++slot) {
        if (d.LiveLanes() >= d.limit) break;
        if (d.lanes[slot]) continue;
        auto lane = std::make_unique<Lane>();
        lane->slot = slot;
        lane->client = &d.ClientOf(slot);
        Lane* self = lane.get();
        try {
            lane->thread = std::thread([&app, &d, self] { RunLane(app, d, *self); });
        } catch (const std::system_error&) {
            break;  // the lanes that run take the rows
        }
        d.lanes[slot] = std::move(lane);
        --takeable;
    }
    // These threads have left their loops; joining them takes no time.
    for (std::thread& thread : finished) thread.join();
}

bool AnyLane(TransferDriverState& d) {
    std::lock_guard guard(d.lock);
    return std::any_of(d.lanes.begin(), d.lanes.end(), [](const auto& lane) { return lane != nullptr; });
}

// Waits for every lane to leave (their window calls are served meanwhile by
// the UI thread) and joins them.
void JoinLanes(TransferDriverState& d) {
    while (true) {
        std::vector<std::thread> finished;
        bool anyLeft = false;
        {
            std::lock_guard guard(d.lock);
            for (auto& lane : d.lanes) {
                if (!lane) continue;
                if (!lane->left) {
                    anyLeft = true;
                    continue;
                }
                finished.push_back(std::move(lane->thread));
                lane.reset();
            }
        }
        for (std::thread& thread : finished) thread.join();
        if (!anyLeft) return;
        std::this_thread::sleep_for(kDriverTick);
    }
}

void RunQueue(App& app, TransferDriverState& d) {
    std::string problem;
    const int wanted = ReadParallelRows(app, problem);
    // Remote folders of upload rows are made on a session of the driver's.
    RemoteFolderMaker folders([&d] { return !d.stopRequested.load(); });
    {
        std::lock_guard guard(d.lock);
        d.wanted = wanted;
        d.limit = wanted;
        d.toldNoSecond = false;
        d.folders = &folders;
    }
    bool live = OnUi([&] {
        app.ui.statusBar.SetPaneText(0, "进行中");
        if (!problem.empty()) AppendLogNow(app, problem);
    });
    ThroughputMeter meter;
    std::int64_t moved = 0;
    Clock::time_point shown{};
    while (live && !d.stopRequested.load() && !d.windowGone.load()) {
        TendLanes(app, d);
        if (!AnyLane(d)) {
            // No lane runs and none could be started: the run ends unless a
            // request appended a row meanwhile.
            bool ended = false;
            live = OnUi([&] {
                bool cleared = false;
                ended = EndQueueRun(app, cleared);
                if (!cleared) return;
                MainWindow& ui = app.ui;
                ui.statusBar.SetPaneText(3, "任务进度:0%");
                ui.taskProgress.SetPosition(0);
                ui.statusBar.SetPaneText(0, "已就绪");
                ui.statusBar.SetPaneText(2, "动作:无");
                ui.statusBar.RedrawNow();
            });
            if (ended) break;
            std::this_thread::sleep_for(kDriverTick);
            continue;
        }
        if (wanted > 1 && Clock::now() - shown >= kProgressInterval) {
            if (!ShowRequestProgress(app, d, meter, moved)) d.windowGone = true;
            shown = Clock::now();
        }
        std::this_thread::sleep_for(kDriverTick);
    }
    if (!live || d.windowGone.load()) d.stopRequested = true;
    JoinLanes(d);
    {
        std::lock_guard guard(d.lock);
        d.folders = nullptr;
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
    WakeWatches();
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
    std::vector<std::shared_ptr<TaskWatch>> current;
    {
        std::lock_guard guard(d.lock);
        for (const auto& lane : d.lanes) {
            if (lane && lane->watch) current.push_back(lane->watch);
        }
    }
    // Between two file rows there is nothing to stop. Each lane stops its
    // own task: every task command stays on its lane's thread.
    for (const auto& watch : current) {
        std::lock_guard guard(watch->lock);
        watch->stopAsked = true;
        watch->changed.notify_all();
    }
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
