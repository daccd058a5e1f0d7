// The window with a connected remote view, for tests of the task queue and
// the transfer driver: selecting remote rows, choosing "下载文件", and pumping
// the event loop (the driver's window calls are carried out by it) until the
// queue has been worked through.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/download_request.h"
#include "app/list_texts.h"
#include "app/quick_connect.h"
#include "app/remote_view.h"
#include "app/task_queue.h"
#include "app/transfer_driver.h"
#include "app_fixture.h"

namespace apptest {

class QueueTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        Show();
        local = home_.Subdir("download");
        // Typed without Enter: the local folder of the next request all the same.
        toolkit::testing::TypeOver(app->ui.localPathCombo, local);
    }

    void TearDown() override {
        if (app) app::StopTransferDriver(*app);
        AppTest::TearDown();
    }

    void Connect(const std::string& host, int port, const std::string& user, const std::string& password) {
        TypeQuickConnect(host, user, password, std::to_string(port));
        ClickQuickConnect();
    }

    int RemoteRowOf(const std::string& name) {
        for (int r = 0; r < app->ui.remoteList.RowCount(); ++r) {
            if (app->ui.remoteList.CellText(r, 0) == name) return r;
        }
        return -1;
    }

    // Selects exactly these rows of remoteList; false when one is missing.
    bool Select(const std::vector<std::string>& names) {
        toolkit::ListView& list = app->ui.remoteList;
        for (int r = 0; r < list.RowCount(); ++r) list.SelectRow(r, false);
        for (const auto& name : names) {
            const int r = RemoteRowOf(name);
            if (r < 0) return false;
            list.SelectRow(r, true);
        }
        return true;
    }

    void Download() { ASSERT_TRUE(app->ui.remoteMenu.Choose("下载文件")); }

    // Runs the event loop until the condition holds or 60 s have passed.
    bool PumpUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            toolkit::ProcessPendingEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    bool DriverLeft() {
        return PumpUntil([&] { return !app::TransferDriverRunning(*app); });
    }

    // The queue has been worked through and cleared: the driver has left and
    // only failed rows are left, in view as in the queue state.
    bool QueueFinished() {
        return PumpUntil([&] {
            if (app::TransferDriverRunning(*app)) return false;
            auto& state = app::QueueState(*app);
            std::lock_guard guard(state.lock);
            if (!state.driverIdle || !state.requestDone || state.waiting != 0 || state.running != 0)
                return false;
            for (const auto& row : state.rows) {
                if (row.status != app::kStatusFailed) return false;
            }
            return app->ui.queueList.RowCount() == static_cast<int>(state.rows.size());
        });
    }

    // As if a driver were running: a request appends rows but starts none.
    void HoldDriver() {
        auto& state = app::QueueState(*app);
        std::lock_guard guard(state.lock);
        state.driverIdle = false;
    }

    // Starts the held driver.
    void ReleaseDriver() { app::StartTransferDriver(*app); }

    // As if another request were still appending rows: the driver works
    // through the rows but leaves them on screen.
    void KeepRequestOpen() {
        auto& state = app::QueueState(*app);
        std::lock_guard guard(state.lock);
        state.requestDone = false;
    }

    // Ends the pretended request and lets a driver clear the queue.
    void CloseRequest() {
        auto& state = app::QueueState(*app);
        bool start = false;
        {
            std::lock_guard guard(state.lock);
            state.requestDone = true;
            start = state.driverIdle;
            state.driverIdle = false;
        }
        if (start) app::StartTransferDriver(*app);
    }

    std::vector<std::string> QueueRows(int columns = 5) { return Rows(app->ui.queueList, columns); }

    std::vector<std::string> Statuses() {
        std::vector<std::string> out;
        for (int r = 0; r < app->ui.queueList.RowCount(); ++r)
            out.push_back(app->ui.queueList.CellText(r, 4));
        return out;
    }

    bool LogHas(const std::string& fragment) {
        const auto lines = LogMessages();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(fragment) != std::string::npos; });
    }

    std::string Pane(int pane) { return app->ui.statusBar.PaneText(pane); }

    std::string local;
};

}  // namespace apptest
