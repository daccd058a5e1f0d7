// The task thread of a transfer task and the end of the task.
#include "downlib/task_runner.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "downlib/part_file.h"

namespace downlib {

TaskRunner::TaskRunner(std::unique_ptr<TransferSession> session, WorkerRoutine worker)
    : session_(std::move(session)), worker_(std::move(worker)) {
    session_->queueLog = [this](SessionConnection* connection, LogRecord record) {
        TaskMessage message;
        message.code = kTaskLog;
        message.connection = connection;
        message.record = std::move(record);
        queue_.Post(std::move(message));
    };
}

TaskRunner::~TaskRunner() {
    if (thread_.joinable() && !finished_.load()) RequestStop();
    Join();
}

bool TaskRunner::Start() {
    if (thread_.joinable()) return false;
    int connections = session_->connectionsWanted;
    try {
        thread_ = std::thread([this, connections] { Run(connections); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void TaskRunner::Join() {
    if (thread_.joinable() && !OnTaskThread()) thread_.join();
}

void TaskRunner::RequestStop() {
    TransferSession& session = *session_;
    session.RequestStop();
    {
        std::unique_lock lock(countLock_);
        countChanged_.wait_for(lock, std::chrono::milliseconds(std::max(session.stopWait, 0)),
                               [this] { return activeWorkers_ == 0; });
    }
    TaskMessage end;
    end.code = kTaskEndTransfer;
    Post(std::move(end));
}

bool TaskRunner::Post(TaskMessage message) { return queue_.Post(std::move(message)); }

bool TaskRunner::PostEvent(SessionConnection& connection, int code, std::int64_t value2,
                           std::int64_t value3) {
    TaskMessage message;
    message.code = kTaskForward;
    message.connection = &connection;
    message.forwardCode = code;
    message.value1 = static_cast<std::int64_t>(connection.handle());
    message.value2 = value2;
    message.value3 = value3;
    return queue_.Post(std::move(message));
}

void TaskRunner::ExpectWorkers(int count) {
    std::lock_guard lock(countLock_);
    activeWorkers_ += count;
}

void TaskRunner::WorkerEnded(bool postEndWhenLast) {
    bool last = false;
    {
        std::lock_guard lock(countLock_);
        if (activeWorkers_ > 0) --activeWorkers_;
        last = activeWorkers_ == 0;
    }
    countChanged_.notify_all();
    if (last && postEndWhenLast) {
        TaskMessage end;
        end.code = kTaskEndTransfer;
        queue_.Post(std::move(end));
    }
}

int TaskRunner::ActiveWorkers() const {
    std::lock_guard lock(countLock_);
    return activeWorkers_;
}

std::vector<int> TaskRunner::HandledCodes() const {
    std::lock_guard lock(codesLock_);
    return codes_;
}

void TaskRunner::Run(int connections) {
    threadId_ = std::this_thread::get_id();
    TaskMessage opening;
    if (session_->IsUpload()) {
        opening.code = kTaskStartUpload;
    } else {
        opening.code = kTaskOpenWorker;
        opening.value1 = connections;
    }
    ExpectWorkers(1);
    queue_.Post(std::move(opening));
    while (true) {
        std::optional<TaskMessage> message = queue_.Take(kQueueWait);
        if (!message) continue;
        if (recordCodes_.load()) {
            std::lock_guard lock(codesLock_);
            codes_.push_back(message->code);
        }
        if (message->code == kTaskQuit) break;
        Dispatch(*message);
    }
    EndTask();
}

void TaskRunner::Dispatch(TaskMessage& message) {
    TransferSession& session = *session_;
    switch (message.code) {
        case kTaskClose:
            queue_.CloseWithQuit();
            break;
        case kTaskOpenWorker:
            OpenWorker(message);
            break;
        case kTaskLog:
            if (message.record && message.record->kind != LogHidden && session.logCallback) {
                session.logCallback(message.connection ? message.connection->handle() : 0,
                                    message.record->timeText, message.record->message, message.record->kind,
                                    session.handle());
            }
            break;
        case kTaskEndTransfer:
            EndTransfer();
            break;
        case kTaskStartUpload:
            OpenUploadWorker();
            break;
        case kTaskStopFirst:
            StopFirstConnection();
            break;
        case kTaskForward:
            if (session.taskCallback) {
                session.taskCallback(message.forwardCode, message.value1, message.value2, message.value3,
                                     session.handle());
            }
            break;
        default:
            break;  // unknown codes are taken and ignored
    }
}

void TaskRunner::OpenWorker(const TaskMessage&) {
    TransferSession& session = *session_;
    if (session.Stopping()) {
        WorkerEnded();  // the reserved worker will never run
        return;
    }
    SessionConnection& connection = session.AddConnection();
    auto drop = [&] {
        std::lock_guard lock(session.connectionListLock);
        session.connections.remove_if([&](const auto& c) { return c.get() == &connection; });
    };
    if (!freshTaskOpened_ && segments_.Empty()) {
        // A fresh task: the first connection sizes the file and divides it.
        freshTaskOpened_ = true;
        connection.firstWorker = true;
    } else {
        std::optional<int> segment = segments_.TakeFree(&connection);
        if (!segment) segment = segments_.Split(&connection, kMinSegmentSize);
        if (!segment) {
            drop();
            WorkerEnded();
            return;
        }
        connection.segment = *segment;
    }
    connection.SetRunFlag(RunFlag::Running);
    try {
        workers_.emplace_back([this, &connection] { worker_(*this, connection); });
    } catch (const std::system_error&) {
        if (connection.segment >= 0) segments_.Release(connection.segment);
        drop();
        WorkerEnded();
    }
}

void TaskRunner::OpenUploadWorker() {
    TransferSession& session = *session_;
    if (session.Stopping()) {
        WorkerEnded();  // stopped before it began: the reserved worker never runs
        return;
    }
    SessionConnection& connection = session.AddConnection();
    connection.firstWorker = true;
    connection.SetRunFlag(RunFlag::Running);
    try {
        workers_.emplace_back([this, &connection] { worker_(*this, connection); });
    } catch (const std::system_error&) {
        {
            std::lock_guard lock(session.connectionListLock);
            session.connections.remove_if([&](const auto& c) { return c.get() == &connection; });
        }
        WorkerEnded();
    }
}

void TaskRunner::StopFirstConnection() {
    TransferSession& session = *session_;
    SessionConnection* first = session.FirstConnection();
    if (first) {
        // The worker goes Idle itself before it posts this code; only a
        // worker that is still running is told to stop and waited for.
        first->AskStop();
        for (int step = 0; step < std::max(session.stopWait, 0) / 20 && first->Run() != RunFlag::Idle; ++step)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (first->Run() != RunFlag::Idle) {
            // Cut its sockets so it ends at once; it still reports its own
            // TaskWorkerFailed, so the callback hears exactly one end of the worker.
            first->CutSockets();
        }
    }
    // The connection itself goes with the others once its thread is joined.
    TaskMessage end;
    end.code = kTaskEndTransfer;
    queue_.Post(std::move(end));
}

void TaskRunner::JoinWorkers() {
    for (std::thread& worker : workers_)
        if (worker.joinable()) worker.join();
    workers_.clear();
}

void TaskRunner::EndTransfer() {
    if (transferEnded_) return;
    transferEnded_ = true;
    TransferSession& session = *session_;
    if (session.StopRaised()) {
        // Workers that outlived the stop wait: cut their sockets so every
        // blocking call returns at once.
        std::lock_guard lock(session.connectionListLock);
        for (auto& connection : session.connections) {
            if (connection->Run() != RunFlag::Idle) connection->CutSockets();
        }
    }
    JoinWorkers();
    file_.Release(segments_);
    TaskMessage close;
    close.code = kTaskClose;
    queue_.Post(std::move(close));
}

void TaskRunner::ReportFailure(const std::string& message) {
    TransferSession& session = *session_;
    if (session.logCallback) session.logCallback(0, "", message, LogError, session.handle());
}

bool TaskRunner::FinishDownload() {
    if (finalName.empty()) return false;
    if (!file_.Promote(finalName)) {
        ReportFailure("下载已完整, 但无法改名为" + finalName + ", 文件保留为" + PartFileName(finalName));
        return false;
    }
    RemovePartNote(file_.FolderFd(), finalName);
    return true;
}

bool TaskRunner::HashMatches(std::int64_t size) {
    if (!serverHash || finalName.empty()) return true;
    const std::string part = PartFileName(finalName);
    const int fd = ::openat(file_.FolderFd(), part.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const std::optional<std::string> local =
        fd >= 0 ? HashLocalFile(fd, serverHash->algorithm, size) : std::nullopt;
    if (fd >= 0) ::close(fd);
    const std::string name = HashName(serverHash->algorithm);
    if (local && *local == serverHash->hex) {
        TransferSession& session = *session_;
        if (session.logCallback)
            session.logCallback(0, "", "文件" + name + "校验值与服务器一致: " + *local, LogInfo,
                                session.handle());
        return true;
    }
    ReportFailure("文件校验值与服务器不一致 (" + name + "): 服务器 " + serverHash->hex + ", 本地 " +
                  local.value_or("无法读取") + ", 文件保留为" + part);
    return false;
}

void TaskRunner::EndTask() {
    TransferSession& session = *session_;
    queue_.Shut();
    JoinWorkers();
    std::int64_t kept = file_.Release(segments_);
    std::int64_t remoteSize = session.remoteSize.load();
    std::int64_t count = 0;
    if (session.IsUpload()) {
        // The worker's verdict rests on the server's reply and sizes; a stop
        // that came after them changes nothing on the server.
        complete_ = uploadComplete.load();
        count = session.transferred.load();
    } else {
        bool complete =
            !segments_.Empty() && segments_.AllComplete() && kept == remoteSize && endConfirmed.load();
        if (complete && (!HashMatches(kept) || !FinishDownload())) {
            complete = false;
            // Every worker reported its part whole: callers that judge by
            // those reports must hear that the file did not get its name.
            if (session.taskCallback) session.taskCallback(TaskWorkerFailed, 0, kept, 0, session.handle());
        }
        complete_ = complete;
        if (session.StopRaised())
            count = session.transferred.load();
        else
            count = complete ? remoteSize : std::max<std::int64_t>(kept, 0);
    }
    // Ended before the callback runs: a StartTask that follows TaskEnded at once
    // then waits for this thread instead of being refused.
    ended_ = true;
    if (session.taskCallback) session.taskCallback(TaskEnded, 0, count, 0, session.handle());
    {
        std::lock_guard lock(session.connectionListLock);
        session.connections.clear();
    }
    session.MarkEnded();
    if (endedHook_) endedHook_(*this);
    finished_ = true;
}

}  // namespace downlib
