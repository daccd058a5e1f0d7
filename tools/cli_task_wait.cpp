// The wait for one transfer task and the stop of one refused for too many
// connections (see cli_task_wait.h).
#include "tools/cli_task_wait.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "tools/cli_commands.h"

namespace cli {

// Filled on the task's threads; shared with the callbacks, which the engine
// may hold a little longer than the wait.
struct TaskWait::Shared {
    std::mutex lock;
    std::condition_variable changed;
    bool ended = false;
    bool refused = false;  // a log line said the server serves too many connections
    int workersDone = 0;
    int workersFailed = 0;
    std::int64_t bytes = 0;
    std::function<void()> loggedIn;
};

TaskWait::TaskWait(const TaskWatch& watch) : shared_(std::make_shared<Shared>()), watch_(watch) {
    shared_->loggedIn = watch.loggedIn;
}

void TaskWait::Attach(downlib::TaskParam& param) const {
    param.logCallback = [shared = shared_](downlib::Handle connection, const std::string& timeText,
                                           const std::string& message, int kind, downlib::Handle session) {
        PrintLog(connection, timeText, message, kind, session);
        if (message.find(downlib::kConnectionLimitLine) == std::string::npos) return;
        {
            std::lock_guard guard(shared->lock);
            shared->refused = true;
        }
        shared->changed.notify_all();
    };
    param.taskCallback = [shared = shared_](int code, std::int64_t, std::int64_t value2, std::int64_t,
                                            downlib::Handle) {
        if (code == downlib::TaskTransferStarted && shared->loggedIn) shared->loggedIn();
        std::lock_guard guard(shared->lock);
        switch (code) {
            case downlib::TaskWorkerDone:
                ++shared->workersDone;
                break;
            case downlib::TaskWorkerFailed:
                ++shared->workersFailed;
                break;
            case downlib::TaskEnded:
                shared->ended = true;
                shared->bytes = value2;
                shared->changed.notify_all();
                break;
            default:
                break;
        }
        return 0;
    };
}

TransferResult TaskWait::Wait(downlib::Download& download) const {
    Shared& shared = *shared_;
    bool stopped = false;
    std::unique_lock guard(shared.lock);
    for (;;) {
        shared.changed.wait(
            guard, [&] { return shared.ended || (watch_.stopOnLimit && shared.refused && !stopped); });
        if (shared.ended) break;
        stopped = true;
        guard.unlock();
        download.StopTask();
        guard.lock();
    }
    TransferResult result;
    result.started = true;
    result.bytes = shared.bytes;
    result.whole = shared.workersDone > 0 && shared.workersFailed == 0;
    // Also when the engine ended the task before the stop (no retries
    // left): a refusal for too many connections is no failure of the file.
    result.refused = watch_.stopOnLimit && shared.refused && !result.whole;
    return result;
}

}  // namespace cli
