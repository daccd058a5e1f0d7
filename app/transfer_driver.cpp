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
// With one row at a time the window reads as it always has: the running
// row's action and percentage. With several, pane 2 counts the running rows,
// pane 3 and the bar follow the request's bytes with its speed and time left,
// and each running row shows its own percentage.
#include "app/transfer_driver.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/driver_state.h"
#include "app/remote_folder_maker.h"
#include "app/request_progress.h"
#include "app/row_run.h"
#include "app/session_log.h"
#include "app/settings_file.h"
#include "app/task_queue.h"

namespace app {

namespace {

using Clock = std::chrono::steady_clock;

// How often the driver looks at its lanes and the queue, and how often it
// shows a request's progress while several rows run.
constexpr auto kDriverTick = std::chrono::milliseconds(10);
constexpr auto kProgressInterval = std::chrono::milliseconds(200);
// A lane whose next row waits for a folder row to be made looks again after this.
constexpr auto kFolderWait = std::chrono::milliseconds(2);
// After a server refused one more connection, one more lane is tried after
// this long without another refusal, as lftp does.
constexpr auto kRaiseAfter = std::chrono::seconds(30);

TransferDriverState& DriverState(App& app) {
    if (!app.transferDriver) app.transferDriver = std::make_shared<TransferDriverState>(app);
    return *app.transferDriver;
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
        // Taking the row and showing it started are one window call: each
        // call waits for the UI thread, and small files cost little more.
        const bool taken = OnUi([&] {
            row = TakeNextRow(app);
            if (!row) return;
            std::lock_guard guard(d.lock);
            lane.rowId = row->id;
            lane.upload = row->upload;
            lane.size = row->folder ? 0 : toolkit::ToInteger(row->sizeText);
            lane.retrying = false;
            lane.refused = false;
            lane.action = ActionOf(*row);
            ShowRowStarted(app, d, *row);
        });
        if (!taken) {
            d.windowGone = true;
            break;
        }
        if (!row) continue;
        const RowOutcome outcome = RunRow(app, d, lane, *row);
        {
            std::lock_guard guard(d.lock);
            lane.connected = lane.connected || Connected(lane);
            if (lane.watch) {
                std::lock_guard watchGuard(lane.watch->lock);
                d.movedEnded += lane.watch->moved;
            }
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
bool ShowRequestProgress(App& app, TransferDriverState& d, ThroughputMeter& meter) {
    struct Shown {
        std::uint64_t id;
        int percent;
    };
    std::vector<Shown> rows;
    std::int64_t runningBytes = 0;
    // What crossed the wire, not what the rows account for: a resumed or
    // skipped file adds to the progress but not to the speed.
    std::int64_t moved = 0;
    std::string action;
    {
        std::lock_guard guard(d.lock);
        moved = d.movedEnded;
        for (const auto& lane : d.lanes) {
            if (!lane || lane->rowId == 0 || !lane->watch) continue;
            {
                std::lock_guard watchGuard(lane->watch->lock);
                moved += lane->watch->moved;
            }
            if (lane->size <= 0) continue;
            const std::int64_t bytes = std::clamp<std::int64_t>(lane->client->GetBytesDone(), 0, lane->size);
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

// Under the driver's lock: the threads of the lanes that have left, their
// slots free again. Joining them takes no time; it is done outside the lock.
std::vector<std::thread> TakeLeftLanes(TransferDriverState& d) {
    std::vector<std::thread> finished;
    for (auto& lane : d.lanes) {
        if (lane && lane->left) {
            finished.push_back(std::move(lane->thread));
            lane.reset();
        }
    }
    return finished;
}

// Under the driver's lock: more lanes while rows can be taken and the limit
// leaves room. One more lane is allowed again a while after the last refusal.
void StartLanes(App& app, TransferDriverState& d) {
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
}

// Lanes that have left are joined (their slot is free again) and more started.
void TendLanes(App& app, TransferDriverState& d) {
    std::vector<std::thread> finished;
    {
        std::lock_guard guard(d.lock);
        finished = TakeLeftLanes(d);
        StartLanes(app, d);
    }
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
        {
            std::lock_guard guard(d.lock);
            finished = TakeLeftLanes(d);
        }
        for (std::thread& thread : finished) thread.join();
        if (!AnyLane(d)) return;
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
        d.movedEnded = 0;
        d.folders = &folders;
    }
    bool live = OnUi([&] {
        app.ui.statusBar.SetPaneText(0, "进行中");
        if (!problem.empty()) AppendLogNow(app, problem);
    });
    ThroughputMeter meter;
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
            if (!ShowRequestProgress(app, d, meter)) d.windowGone = true;
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
