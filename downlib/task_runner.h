// The task thread of a transfer task: the dispatch of its event codes, the
// worker threads it starts, and the end of the task with TaskEnded.
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

#include "downlib/download_file.h"
#include "downlib/part_file.h"
#include "downlib/segment_table.h"
#include "downlib/server_hash.h"
#include "downlib/session.h"
#include "downlib/task_event_queue.h"

namespace downlib {

class TaskRunner;
using WorkerRoutine = std::function<void(TaskRunner&, SessionConnection&)>;

// One task: its session, queue, task thread and worker threads.
class TaskRunner {
public:
    TaskRunner(std::unique_ptr<TransferSession> session, WorkerRoutine worker);
    ~TaskRunner();  // stops a running task and joins its thread
    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    // Starts the task thread, which posts kTaskOpenWorker with the number of
    // connections. False when the thread could not be started.
    bool Start();
    // StopTask's part: the session's stop (phase, stop flag, workers asked
    // to stop), a wait of at most the stop wait for the workers, then code
    // 18. The task ends on its own.
    void RequestStop();
    void Join();
    bool Ended() const { return ended_.load(); }        // TaskEnded was delivered
    bool Finished() const { return finished_.load(); }  // the thread is about to return
    bool OnTaskThread() const { return std::this_thread::get_id() == threadId_.load(); }
    // Called on the task thread after TaskEnded and the release of the session.
    void SetEndedHook(std::function<void(TaskRunner&)> hook) { endedHook_ = std::move(hook); }

    TransferSession& session() { return *session_; }
    std::int64_t BytesDone() const { return session_->transferred.load(); }

    bool Post(TaskMessage message);
    // A worker event for the TaskCallback (kTaskForward), with the connection as value 1.
    bool PostEvent(SessionConnection& connection, int code, std::int64_t value2 = 0, std::int64_t value3 = 0);
    // Reserves a worker before kTaskOpenWorker is posted for it, so the task cannot
    // end while the code is still queued.
    void ExpectWorkers(int count);
    // A worker's last step: the last one to end posts kTaskEndTransfer, unless the
    // worker leaves that to kTaskStopFirst (an upload).
    void WorkerEnded(bool postEndWhenLast = true);
    int ActiveWorkers() const;

    // Download state shared by the workers.
    SegmentTable& segments() { return segments_; }
    DownloadFile& file() { return file_; }
    std::atomic<bool> resumeSupported{false};
    std::atomic<bool> transferAnnounced{false};  // TaskTransferStarted went out
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
    TaskEventQueue queue_;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    std::vector<std::thread> workers_;  // touched by the task thread only
    mutable std::mutex countLock_;
    std::condition_variable countChanged_;
    int activeWorkers_ = 0;
    bool transferEnded_ = false;  // task thread only
    bool freshTaskOpened_ = false;
    SegmentTable segments_;
    DownloadFile file_;
    std::function<void(TaskRunner&)> endedHook_;
    std::atomic<bool> ended_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> complete_{false};
    std::atomic<bool> recordCodes_{false};
    mutable std::mutex codesLock_;
    std::vector<int> codes_;
};

// How long the event loop waits on an empty queue before looking again.
inline constexpr std::chrono::milliseconds kQueueWait{100};

}  // namespace downlib
