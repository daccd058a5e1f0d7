// The task thread, its queue, the segment table and the local file.
#include "downlib/task_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "downlib/part_file.h"

namespace downlib {

// ---- TaskQueue

namespace {

// Byte counts of one connection that are still queued can be added together:
// the callback sees the same total, in the same order, with fewer wake-ups.
bool MergesInto(const TaskMessage& queued, const TaskMessage& message) {
    return message.code == kTaskForward && message.forwardCode == TaskBytes && queued.code == kTaskForward &&
           queued.forwardCode == TaskBytes && queued.connection == message.connection;
}

// Log records and the workers' reports can wait for the task thread's next
// turn (at most the loop's wait on an empty queue): waking it for each would
// cost a thread switch per line, a good part of a small file's time. The
// codes that move the task on wake it at once, and everything queued before
// them is handled first.
bool WakesTaskThread(const TaskMessage& message) {
    if (message.code == kTaskLog) return false;
    if (message.code != kTaskForward) return true;
    switch (message.forwardCode) {
        case TaskWorkerStarted:
        case TaskTransferStarted:
        case TaskFirstSegment:
        case TaskLaterSegment:
        case TaskBytes:
        case TaskBytesSent:
            return false;
        default:
            return true;
    }
}

}  // namespace

bool TaskQueue::Post(TaskMessage message) {
    bool wake = false;
    {
        std::lock_guard lock(lock_);
        if (!open_ || !live_) return false;
        if (!messages_.empty() && MergesInto(messages_.back(), message)) {
            messages_.back().value2 += message.value2;
            return true;
        }
        wake = waiting_ > 0 && WakesTaskThread(message);
        messages_.push_back(std::move(message));
    }
    // Only a waiting taker needs the wake; a busy one finds the message itself.
    if (wake) posted_.notify_one();
    return true;
}

std::optional<TaskMessage> TaskQueue::Take(std::chrono::milliseconds wait) {
    std::unique_lock lock(lock_);
    ++waiting_;
    bool ready = posted_.wait_for(lock, wait, [this] { return !messages_.empty(); });
    --waiting_;
    if (!ready) return std::nullopt;
    TaskMessage message = std::move(messages_.front());
    messages_.pop_front();
    return message;
}

void TaskQueue::CloseWithQuit() {
    {
        std::lock_guard lock(lock_);
        if (!live_) return;
        open_ = false;
        TaskMessage quit;
        quit.code = kTaskQuit;
        messages_.push_back(std::move(quit));
    }
    posted_.notify_one();
}

void TaskQueue::Shut() {
    std::lock_guard lock(lock_);
    open_ = false;
    live_ = false;
    messages_.clear();
}

bool TaskQueue::IsOpen() const {
    std::lock_guard lock(lock_);
    return open_ && live_;
}

std::size_t TaskQueue::Size() const {
    std::lock_guard lock(lock_);
    return messages_.size();
}

// ---- SegmentTable

void SegmentTable::Divide(std::int64_t size, int count, SessionConnection* first) {
    std::lock_guard lock(lock_);
    if (count < 1) count = 1;
    if (size < count) count = 1;
    segments_.clear();
    std::int64_t part = size / count;
    for (int i = 0; i < count; ++i) {
        Segment segment;
        segment.start = part * i;
        segment.length = i == count - 1 ? size - part * i : part;
        segments_.push_back(segment);
    }
    segments_[0].owner = first;
    segments_[0].taken = true;
}

bool SegmentTable::Empty() const {
    std::lock_guard lock(lock_);
    return segments_.empty();
}

std::size_t SegmentTable::Count() const {
    std::lock_guard lock(lock_);
    return segments_.size();
}

Segment SegmentTable::Get(int index) const {
    std::lock_guard lock(lock_);
    if (index < 0 || static_cast<std::size_t>(index) >= segments_.size()) return Segment{};
    return segments_[index];
}

std::optional<int> SegmentTable::TakeFree(SessionConnection* owner) {
    std::lock_guard lock(lock_);
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        Segment& segment = segments_[i];
        if (segment.taken || segment.Complete()) continue;
        segment.taken = true;
        segment.owner = owner;
        return static_cast<int>(i);
    }
    return std::nullopt;
}

std::optional<int> SegmentTable::Split(SessionConnection* owner, std::int64_t minimum) {
    std::lock_guard lock(lock_);
    int best = -1;
    std::int64_t bestLeft = 0;
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        std::int64_t left = segments_[i].length - segments_[i].written;
        if (left > bestLeft) {
            best = static_cast<int>(i);
            bestLeft = left;
        }
    }
    if (best < 0 || bestLeft < 2 * minimum) return std::nullopt;
    Segment& source = segments_[best];
    std::int64_t keep = bestLeft / 2;
    Segment split;
    split.start = source.Position() + keep;
    split.length = source.End() - split.start;
    split.owner = owner;
    split.taken = true;
    source.length = source.written + keep;
    segments_.push_back(split);
    return static_cast<int>(segments_.size() - 1);
}

void SegmentTable::AddWritten(int index, std::int64_t bytes) {
    std::lock_guard lock(lock_);
    if (index >= 0 && static_cast<std::size_t>(index) < segments_.size()) segments_[index].written += bytes;
}

void SegmentTable::Release(int index) {
    std::lock_guard lock(lock_);
    if (index < 0 || static_cast<std::size_t>(index) >= segments_.size()) return;
    segments_[index].taken = false;
    segments_[index].owner = nullptr;
}

bool SegmentTable::AllComplete() const {
    std::lock_guard lock(lock_);
    if (segments_.empty()) return false;
    return std::all_of(segments_.begin(), segments_.end(), [](const Segment& s) { return s.Complete(); });
}

std::int64_t SegmentTable::ContiguousFromStart() const {
    std::lock_guard lock(lock_);
    std::vector<Segment> sorted = segments_;
    std::sort(sorted.begin(), sorted.end(),
              [](const Segment& a, const Segment& b) { return a.start < b.start; });
    std::int64_t position = 0;
    for (const Segment& segment : sorted) {
        if (segment.start != position) break;
        position += std::min(segment.written, segment.length);
        if (!segment.Complete()) break;
    }
    return position;
}

// ---- LocalFile

LocalFile::~LocalFile() {
    if (fd_ >= 0) ::close(fd_);
    if (folder_ >= 0) ::close(folder_);
}

namespace {

// A full disk is found before the first byte instead of in the middle of the
// transfer: the free space is checked once against the stated size.
bool FitsOnDisk(int fd, std::int64_t size) {
    struct statvfs fs {};
    if (::fstatvfs(fd, &fs) != 0) return true;  // nothing to check against
    const unsigned long long available =
        static_cast<unsigned long long>(fs.f_bavail) * static_cast<unsigned long long>(fs.f_frsize);
    if (available < static_cast<unsigned long long>(size)) {
        errno = ENOSPC;
        return false;
    }
    return true;
}

// Space is reserved in steps just ahead of the bytes written, never for the
// whole stated size: a server that claims gigabytes for a small file (or a
// kill early in a large one) then holds at most one step per part. The
// visible size is not changed, so a file left by a kill never looks whole. A
// file system that cannot reserve simply gets none.
bool ReserveSpace(int fd, std::int64_t from, std::int64_t length) {
    if (length <= 0) return true;
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from), static_cast<off_t>(length)) == 0)
        return true;
    return errno == EOPNOTSUPP || errno == ENOSYS;
}

}  // namespace

bool LocalFile::Create(const LocalTarget& target, const std::string& path, std::int64_t size) {
    std::lock_guard lock(lock_);
    if (fd_ >= 0 || released_) return false;
    // O_EXCL and O_NOFOLLOW: a planted file or link never receives our bytes.
    int fd = ::openat(target.folder.fd(), target.name.c_str(),
                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if (size > 0 && (!FitsOnDisk(fd, size) || !ReserveSpace(fd, 0, std::min(size, kReserveStep)))) {
        int error = errno;
        ::close(fd);
        ::unlinkat(target.folder.fd(), target.name.c_str(), 0);
        errno = error;
        return false;
    }
    folder_ = ::fcntl(target.folder.fd(), F_DUPFD_CLOEXEC, 0);
    name_ = target.name;
    fd_ = fd;
    size_ = size;
    path_ = path;
    reservedTo_.assign(1, std::min(size, kReserveStep));
    return true;
}

bool LocalFile::OpenPart(const LocalTarget& target, const std::string& path, std::int64_t size,
                         std::int64_t kept) {
    std::lock_guard lock(lock_);
    if (fd_ >= 0 || released_) return false;
    int fd = ::openat(target.folder.fd(), target.name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < kept || kept > size ||
        ::ftruncate(fd, static_cast<off_t>(kept)) != 0 || !FitsOnDisk(fd, size - kept) ||
        !ReserveSpace(fd, kept, std::min(size - kept, kReserveStep))) {
        int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    folder_ = ::fcntl(target.folder.fd(), F_DUPFD_CLOEXEC, 0);
    name_ = target.name;
    fd_ = fd;
    size_ = size;
    path_ = path;
    reservedTo_.assign(1, kept + std::min(size - kept, kReserveStep));
    return true;
}

bool LocalFile::Promote(const std::string& finalName) {
    std::lock_guard lock(lock_);
    if (!released_ || folder_ < 0 || name_.empty()) return false;
    // Never over a file that appeared under the final name meanwhile: the
    // same-name question was asked about the folder as it was then.
    if (::renameat2(folder_, name_.c_str(), folder_, finalName.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return false;
        if (::linkat(folder_, name_.c_str(), folder_, finalName.c_str(), 0) != 0) return false;
        ::unlinkat(folder_, name_.c_str(), 0);
    }
    name_ = finalName;
    return true;
}

int LocalFile::FolderFd() const {
    std::lock_guard lock(lock_);
    return folder_;
}

bool LocalFile::IsOpen() const {
    std::lock_guard lock(lock_);
    return fd_ >= 0;
}

bool LocalFile::Write(SegmentTable& table, int index, const char* data, std::int64_t length) {
    std::lock_guard lock(lock_);
    if (fd_ < 0 || released_) return false;
    Segment segment = table.Get(index);
    std::int64_t position = segment.Position();
    // Nothing is ever written past the part's end, whatever the server sends.
    if (length < 0 || position + length > segment.End() || segment.End() > size_) return false;
    if (index < 0) return false;
    const auto slot = static_cast<std::size_t>(index);
    if (reservedTo_.size() <= slot) reservedTo_.resize(slot + 1, 0);
    if (position + length > reservedTo_[slot]) {
        const std::int64_t from = std::max(position, reservedTo_[slot]);
        const std::int64_t until = std::min(segment.End(), position + length + kReserveStep);
        if (!ReserveSpace(fd_, from, until - from)) return false;
        reservedTo_[slot] = until;
    }
    std::int64_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd_, data + done, static_cast<std::size_t>(length - done),
                             static_cast<off_t>(position + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    table.AddWritten(index, length);
    return true;
}

std::int64_t LocalFile::Release(const SegmentTable& table) {
    std::lock_guard lock(lock_);
    if (released_) return kept_;
    released_ = true;
    if (fd_ < 0) return kept_;
    kept_ = table.AllComplete() ? size_ : table.ContiguousFromStart();
    // Cutting also gives back the space reserved past the end.
    if (::ftruncate(fd_, static_cast<off_t>(kept_)) != 0) {
        struct stat info {};
        if (::fstat(fd_, &info) == 0) kept_ = info.st_size;
    }
    ::close(fd_);
    fd_ = -1;
    return kept_;
}

std::int64_t LocalFile::KeptSize() const {
    std::lock_guard lock(lock_);
    return kept_;
}

std::string LocalFile::Path() const {
    std::lock_guard lock(lock_);
    return path_;
}

// ---- TaskRunner

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
            // event 9, so the callback hears exactly one end of the worker.
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
    // Ended before the callback runs: a StartTask that follows event 4 at once
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
