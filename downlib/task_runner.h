// The task thread of a transfer task: its event queue, the dispatch of event
// codes, the worker threads it starts, the segment table and the local file a
// download writes into, and the end of the task with event 4.
//
// What the workers do on the wire lives in ftp_download.h and ftp_upload.h;
// the runner only starts them, forwards their events and collects them at
// the end. Resuming a stopped task from a saved state is not implemented:
// nothing here records one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "downlib/local_path.h"
#include "downlib/part_file.h"
#include "downlib/server_hash.h"
#include "downlib/session.h"

namespace downlib {

// Codes of the task's own queue.
enum TaskCode : int {
    kTaskQuit = 1,          // leave the event loop
    kTaskClose = 2,         // close the queue; only kTaskQuit follows
    kTaskOpenWorker = 4,    // open one worker connection and start its thread
    kTaskLog = 9,           // deliver a log record to the LogCallback
    kTaskEndTransfer = 18,  // the transfer is over: collect the workers, release the file
    kTaskStartUpload = 19,  // open the one connection of an upload and start its worker
    kTaskStopFirst = 20,    // the upload worker ended: collect its connection
    kTaskForward = 21,      // call the TaskCallback with a worker event
};

struct TaskMessage {
    int code = 0;
    SessionConnection* connection = nullptr;
    int forwardCode = 0;  // kTaskForward: the TaskCallback event code
    std::int64_t value1 = 0;
    std::int64_t value2 = 0;
    std::int64_t value3 = 0;
    std::optional<LogRecord> record;  // kTaskLog
};

// The event queue of one task. Posts keep their order; a post to a queue that
// is closed or no longer live is dropped and reports false. An empty queue is
// waited on with a condition variable that every post wakes. Byte counts of
// one connection posted while an earlier count still waits are added to it.
class TaskQueue {
public:
    bool Post(TaskMessage message);
    // The oldest message, waiting at most `wait` for one.
    std::optional<TaskMessage> Take(std::chrono::milliseconds wait);
    // Code 2: closes the queue and leaves exactly one kTaskQuit behind the
    // messages already queued, in one step so no other post slips in.
    void CloseWithQuit();
    // No longer live: every queued message is dropped.
    void Shut();
    bool IsOpen() const;
    std::size_t Size() const;

private:
    mutable std::mutex lock_;
    std::condition_variable posted_;
    std::deque<TaskMessage> messages_;
    int waiting_ = 0;  // takers blocked on posted_
    bool open_ = true;
    bool live_ = true;
};

// One part of the remote file and how much of it is on disk. Positions are
// 64-bit; the table's lock guards every field.
struct Segment {
    std::int64_t start = 0;
    std::int64_t length = 0;
    std::int64_t written = 0;
    SessionConnection* owner = nullptr;
    bool taken = false;

    std::int64_t Position() const { return start + written; }
    std::int64_t End() const { return start + length; }
    bool Complete() const { return written >= length; }
};

class SegmentTable {
public:
    // `count` parts of size / count bytes, the last one with the remainder.
    // The first segment is taken by `first`.
    void Divide(std::int64_t size, int count, SessionConnection* first);
    bool Empty() const;
    std::size_t Count() const;
    Segment Get(int index) const;
    // The first part neither taken nor complete, now owned by `owner`.
    std::optional<int> TakeFree(SessionConnection* owner);
    // Halves what is left of the part with the most bytes left; the second
    // half becomes a new part owned by `owner`. Nothing when no part has at
    // least twice `minimum` bytes left.
    std::optional<int> Split(SessionConnection* owner, std::int64_t minimum);
    void AddWritten(int index, std::int64_t bytes);
    void Release(int index);
    bool AllComplete() const;
    // Bytes present without a gap from byte 0: what a cut file may keep.
    std::int64_t ContiguousFromStart() const;

private:
    mutable std::mutex lock_;
    std::vector<Segment> segments_;
};

// The local file of a download: created exclusively, written at positions.
// Space is reserved in steps of at most kReserveStep ahead of the bytes
// written, without changing the visible size, so the visible size is the
// bytes written so far even after a kill or a power loss (with several
// connections, the end of the furthest part written). Released at the end of
// the transfer; a write after that fails instead of writing. A file that did
// not arrive whole is cut to the bytes received without a gap from byte 0,
// which also gives back every block reserved past them.
class LocalFile {
public:
    LocalFile() = default;
    ~LocalFile();
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    // Creates `target.name` in the target's folder. False (errno kept) when
    // the file exists, a link is in the way, the folder is not writable, or
    // the space cannot be reserved. `path` is kept for reports.
    bool Create(const LocalTarget& target, const std::string& path, std::int64_t size);
    // Opens an existing part file to go on from byte `kept` (what lies past
    // it is cut off). False when it is not a plain file of at least that size.
    bool OpenPart(const LocalTarget& target, const std::string& path, std::int64_t size, std::int64_t kept);
    // After Release: renames the file to `finalName` in the same folder,
    // never over an existing entry. False (the file keeps its name) otherwise.
    bool Promote(const std::string& finalName);
    // The folder the file lives in (-1 before Create), for its sidecar.
    int FolderFd() const;
    bool IsOpen() const;
    // Writes the bytes at the part's position and counts them as written.
    bool Write(SegmentTable& table, int index, const char* data, std::int64_t length);
    // Closes the file; an incomplete one is cut first. The size kept, or -1
    // when no file was ever created.
    std::int64_t Release(const SegmentTable& table);
    std::int64_t KeptSize() const;
    std::string Path() const;

private:
    mutable std::mutex lock_;
    int fd_ = -1;
    int folder_ = -1;
    std::string name_;
    std::vector<std::int64_t> reservedTo_;  // per part: reserved up to here
    bool released_ = false;
    std::int64_t size_ = 0;
    std::int64_t kept_ = -1;
    std::string path_;
};

// The most a download's file holds reserved ahead of its written bytes, per part.
inline constexpr std::int64_t kReserveStep = std::int64_t{64} << 20;

class TaskRunner;
using WorkerRoutine = std::function<void(TaskRunner&, SessionConnection&)>;

// One task: its session, queue, task thread and worker threads.
class TaskRunner {
public:
    TaskRunner(std::unique_ptr<TransferSession> session, WorkerRoutine worker);
    ~TaskRunner();  // stops a running task and joins its thread
    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    // Starts the task thread, which posts code 4 with the number of
    // connections. False when the thread could not be started.
    bool Start();
    // StopTask's part: the session's stop (phase, stop flag, workers asked
    // to stop), a wait of at most the stop wait for the workers, then code
    // 18. The task ends on its own.
    void RequestStop();
    void Join();
    bool Ended() const { return ended_.load(); }        // event 4 was delivered
    bool Finished() const { return finished_.load(); }  // the thread is about to return
    bool OnTaskThread() const { return std::this_thread::get_id() == threadId_.load(); }
    // Called on the task thread after event 4 and the release of the session.
    void SetEndedHook(std::function<void(TaskRunner&)> hook) { endedHook_ = std::move(hook); }

    TransferSession& session() { return *session_; }
    std::int64_t BytesDone() const { return session_->transferred.load(); }

    bool Post(TaskMessage message);
    // A worker event for the TaskCallback (code 21), with the connection as value 1.
    bool PostEvent(SessionConnection& connection, int code, std::int64_t value2 = 0, std::int64_t value3 = 0);
    // Reserves a worker before code 4 is posted for it, so the task cannot
    // end while the code is still queued.
    void ExpectWorkers(int count);
    // A worker's last step: the last one to end posts code 18, unless the
    // worker leaves that to code 20 (an upload).
    void WorkerEnded(bool postEndWhenLast = true);
    int ActiveWorkers() const;

    // Download state shared by the workers.
    SegmentTable& segments() { return segments_; }
    LocalFile& file() { return file_; }
    std::atomic<bool> resumeSupported{false};
    std::atomic<bool> transferAnnounced{false};  // event 3 went out
    std::atomic<int> retries{0};
    // Upload state: the worker's verdict that the remote file is whole.
    std::atomic<bool> uploadComplete{false};
    // The part that ends the file saw the data connection end normally right
    // at the file's size and a 2xx final reply.
    std::atomic<bool> endConfirmed{false};
    // The file's final name in its folder; the file is written under its
    // part name until FinishDownload renames it. Set by the first worker
    // before any other starts.
    std::string finalName;
    // Where a part file left by an earlier download is taken up (0: from the start).
    std::atomic<std::int64_t> resumeFrom{0};
    PartOrigin origin;  // the remote file as the download found it
    // The server's hash of the file, asked after its final reply (only the
    // worker that ended the file writes it, before the workers are joined).
    std::optional<FileHash> serverHash;

    // Records every code the task thread handles, for tests.
    void RecordCodes(bool on) { recordCodes_ = on; }
    std::vector<int> HandledCodes() const;
    // The outcome, valid once the task has ended: the whole file is on disk,
    // or, for an upload, on the server.
    bool Complete() const { return complete_.load(); }

private:
    void Run(int connections);
    void Dispatch(TaskMessage& message);
    void OpenWorker(const TaskMessage& message);
    void OpenUploadWorker();
    void StopFirstConnection();
    void EndTransfer();
    void JoinWorkers();
    void EndTask();
    // Every check on the whole download has passed: the part file takes its
    // final name and its note goes. False (logged) when the rename fails; the
    // part file then stays as it is.
    bool FinishDownload();
    // True unless the server gave a hash that the part file does not have
    // (then both are logged and the part keeps its name for inspection).
    bool HashMatches(std::int64_t size);
    void ReportFailure(const std::string& message);

    std::unique_ptr<TransferSession> session_;
    WorkerRoutine worker_;
    TaskQueue queue_;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    std::vector<std::thread> workers_;  // touched by the task thread only
    mutable std::mutex countLock_;
    std::condition_variable countChanged_;
    int activeWorkers_ = 0;
    bool transferEnded_ = false;  // task thread only
    bool freshTaskOpened_ = false;
    SegmentTable segments_;
    LocalFile file_;
    std::function<void(TaskRunner&)> endedHook_;
    std::atomic<bool> ended_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> complete_{false};
    std::atomic<bool> recordCodes_{false};
    mutable std::mutex codesLock_;
    std::vector<int> codes_;
};

// The smallest part the split rule of code 4 leaves behind.
inline constexpr std::int64_t kMinSegmentSize = std::int64_t{256} * 1024;
// How long the event loop waits on an empty queue before looking again.
inline constexpr std::chrono::milliseconds kQueueWait{100};

}  // namespace downlib
