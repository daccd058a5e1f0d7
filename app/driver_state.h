// What the transfer driver and its lanes share: the lanes, their Download
// objects, the count of rows that may run at once, and the window calls they
// make. Internal to the driver (app/transfer_driver.cpp, app/row_run.cpp).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "app/app.h"
#include "app/settings_file.h"
#include "app/task_watch.h"
#include "downlib/ftp_engine.h"
#include "toolkit/toolkit.h"

namespace app {

class RemoteFolderMaker;

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
    bool refused = false;    // its row's log-in was refused for too many connections
    std::int64_t size = 0;   // the row's bytes (0 for a folder row)
    std::string action;      // pane 2's text for this row alone
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
    std::chrono::steady_clock::time_point lowered{};
    bool toldNoSecond = false;
    std::int64_t movedEnded = 0;  // bytes moved by the rows that ended: the speed's account
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

// A window update on the UI thread, waited for; false once the window is
// going away.
template <class F>
inline bool OnUi(F&& f) {
    return toolkit::RunOnUiThread(std::function<void()>(std::forward<F>(f)));
}

}  // namespace app
