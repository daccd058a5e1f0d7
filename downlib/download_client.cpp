// The Download object: holds at most one running task (a download or an
// upload), starts it, reports its progress and stops it. Every task thread is
// owned here and joined: a task that ends on its own is joined by the next
// start or by the destructor, so no thread outlives the objects it uses.
//
// The object also owns the cache of logged-in control connections that its
// tasks leave behind and take up again (connection_cache.h). A stop and the
// object's end close every cached connection.
#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

#include "downlib/connection_cache.h"
#include "downlib/ftp_download.h"
#include "downlib/ftp_engine.h"
#include "downlib/ftp_upload.h"
#include "downlib/session.h"
#include "downlib/task_runner.h"

namespace downlib {

struct Download::State {
    // Outlives every task: the destructor joins them before it goes.
    std::shared_ptr<ConnectionCache> cache = std::make_shared<ConnectionCache>();
    std::mutex lock;
    std::shared_ptr<TaskRunner> held;                // the running task, if any
    std::vector<std::shared_ptr<TaskRunner>> tasks;  // every task not yet joined

    // Joins and forgets the tasks whose threads are done. Called without the lock held.
    void ReapFinished() {
        std::vector<std::shared_ptr<TaskRunner>> done;
        {
            std::lock_guard guard(lock);
            for (auto it = tasks.begin(); it != tasks.end();) {
                if ((*it)->Finished() && *it != held && !(*it)->OnTaskThread()) {
                    done.push_back(std::move(*it));
                    it = tasks.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& task : done) task->Join();
    }

    // Starts a download or an upload task.
    bool Start(const TaskParam& param, TaskUse use, const WorkerRoutine& worker) {
        std::shared_ptr<TaskRunner> previous;
        {
            std::lock_guard guard(lock);
            previous = held;
        }
        if (previous) {
            // A task that has delivered TaskEnded is only releasing what it holds:
            // wait for that instead of refusing the next task. From inside its
            // own callback the wait would never end, so that case is refused.
            if (!previous->Ended() || previous->OnTaskThread()) return false;
            previous->Join();
            std::lock_guard guard(lock);
            if (held == previous) held.reset();
        }
        ReapFinished();

        TaskParam copy = param;
        copy.flags |= static_cast<int>(use);
        std::unique_ptr<TransferSession> session = CreateSession(copy, use);
        if (!session) return false;
        session->connectionCache = cache;
        auto task = std::make_shared<TaskRunner>(std::move(session), worker);
        task->SetEndedHook([this](TaskRunner& ended) {
            std::lock_guard guard(lock);
            if (held.get() == &ended) held.reset();
        });
        std::lock_guard guard(lock);
        if (held) return false;  // another thread started a task meanwhile
        if (!task->Start()) return false;
        held = task;
        tasks.push_back(std::move(task));
        return true;
    }
};

Download::Download() : state_(std::make_shared<State>()) {}

Download::~Download() {
    StopTask();
    std::vector<std::shared_ptr<TaskRunner>> tasks;
    {
        std::lock_guard guard(state_->lock);
        tasks.swap(state_->tasks);
        state_->held.reset();
    }
    for (auto& task : tasks) task->Join();
    state_->cache->CloseAll(true);
}

bool Download::StartTask(const TaskParam& param) {
    return state_->Start(param, TaskUse::Download, RunFtpDownloadWorker);
}

bool Download::StartUpload(const TaskParam& param) {
    return state_->Start(param, TaskUse::Upload, RunFtpUploadWorker);
}

std::int64_t Download::GetBytesDone() const {
    std::lock_guard guard(state_->lock);
    return state_->held ? state_->held->BytesDone() : 0;
}

void Download::StopTask() {
    std::shared_ptr<TaskRunner> task;
    {
        std::lock_guard guard(state_->lock);
        task = state_->held;
    }
    std::optional<int> waitLeft;
    if (task && !task->Ended()) {
        // The task's stop flag is set before the cache is emptied: a worker
        // that ends meanwhile gives its connection back either before (and
        // it is closed here) or after (and it is refused).
        const auto began = std::chrono::steady_clock::now();
        task->RequestStop();
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
        // The QUITs go out whatever is left; their replies are waited for
        // only within the task's stop wait.
        waitLeft = task->session().stopWait - static_cast<int>(spent.count());
        std::lock_guard guard(state_->lock);
        if (state_->held == task) state_->held.reset();
    }
    state_->cache->CloseAll(false, waitLeft);
}

bool Download::IsIdle() const {
    std::lock_guard guard(state_->lock);
    return !state_->held;
}

}  // namespace downlib
