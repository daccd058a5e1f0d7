// The transfer driver: the thread that works through the task queue row by
// row, creating local folders and downloading files with downloadClient,
// while the status bar shows the action and the progress. Upload rows are
// run the same way: a folder row creates the remote folder on the driver's
// own session, a file row runs an upload task on downloadClient.
//
// At most one driver thread exists; it is owned by the Application and
// joined, never left running: StopTransferDriver stops the running task and
// waits for the thread, and the Application's destruction does the same.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "downlib/ftp_engine.h"

namespace app {

struct App;

// The engine decodes at most this many path bytes from a task URL, and leaves
// a longer URL path undecoded: such a path cannot be asked for exactly.
inline constexpr std::size_t kLongestRemotePath = 1023;

// Why a transfer failed, as the engine's log lines tell it: the last burst of
// error lines, with the refusal reply of the server that came just before it
// ("不支持的响应：553 Could not create file."). Bounded in size.
class FailureReason {
public:
    void Add(const std::string& message, int kind);
    const std::string& Text() const { return text_; }
    // The last 4xx or 5xx reply since the last command.
    const std::string& Refusal() const { return refusal_; }

private:
    std::string text_;
    std::string refusal_;
    bool burst_ = false;  // the last line was an error line
};

// What the events of one task told the driver. Written on the task's
// threads by OnTaskEvent and OnTaskLog, read by the driver.
struct TaskWatch {
    std::mutex lock;
    std::condition_variable changed;
    bool ended = false;         // event 4 arrived
    bool workerDone = false;    // event 8: a worker received its whole part
    bool workerFailed = false;  // event 9
    bool sameName = false;      // event 18: the file went to a new local name
    std::int64_t count = -1;    // event 4's byte count
    bool stopAsked = false;     // the user chose "停止任务" for this task
    FailureReason failure;      // the task's log lines
    std::string decision;       // the engine's line on a remote file of the same name
};

// The TaskCallback of every file task. An upload's question (code 2) is
// answered with AnswerSameName.
int OnTaskEvent(TaskWatch& watch, int code, std::int64_t value1, std::int64_t value2, std::int64_t value3,
                downlib::Handle session);

// The LogCallback of download and upload tasks.
void OnTaskLog(TaskWatch& watch, const std::string& message, int kind);

// The answer to an upload's question about a remote file of the same name,
// without asking the user: the engine skips it when it proves it the same,
// resumes it when it proves it the local file's beginning, and otherwise
// sends the file from byte 0 (sizes alone prove nothing).
int AnswerSameName();

// How a row ended: its status and, when it failed, why (for the session log).
struct RowOutcome {
    std::string status;
    std::string reason;
    // A line for the session log whatever the status: why an upload skipped,
    // continued or replaced a remote file of the same name.
    std::string note;
};

// How a download task ended, as the driver saw it.
struct DownloadEnd {
    bool addressable = true;      // the paths fit a task and stay below the local folder
    bool started = true;          // the engine took the task
    bool stopRequested = false;   // the program (or the queue) was being stopped
    bool stopSent = false;        // the driver stopped the task
    bool ended = false;           // event 4 arrived
    bool workerDone = false;      // event 8
    bool workerFailed = false;    // event 9
    bool sameName = false;        // the engine chose another local name
    std::int64_t count = -1;      // event 4's byte total
    std::int64_t localSize = -1;  // the local file's size after the task
    std::string engineReason;     // the engine's lines, as FailureReason reads them
};

// A download row reads "完成" only when the engine reported its file whole
// and the local file holds every byte it counted.
RowOutcome DownloadVerdict(const DownloadEnd& end);

// How an upload task ended, as the driver saw it.
struct UploadEnd {
    bool addressable = true;     // the remote path fits a task
    bool started = true;         // the engine took the task
    bool stopRequested = false;  // the program (or the queue) was being stopped
    bool stopSent = false;       // the driver stopped the task
    bool ended = false;          // event 4 arrived
    bool workerDone = false;     // event 8
    bool workerFailed = false;   // event 9
    std::int64_t count = -1;     // event 4's byte total
    std::int64_t localSize = -1;
    std::string engineReason;
    std::string decision;  // the engine's line on a remote file of the same name
};

// An upload row reads "完成" only when the engine says the remote file is
// whole and every byte of the local file is accounted for, or when the same
// file was already there.
RowOutcome UploadVerdict(const UploadEnd& end);

// The last (length of R - length of B) bytes of the remote path R: a remote
// folder's path below the base, as a path below the local folder (the local
// separator is "/" too). Rows carry their local path below the local folder
// built from local names (see QueueRow::localRelative).
std::string LocalPathFor(const std::string& remotePath, const std::string& base);

// "ftp://" + host + ":" + port + encoded path; no port is added when the host
// text names one already (after the credentials it may start with).
std::string TaskUrl(const std::string& host, int port, const std::string& remotePath);

// Starts the driver thread (UI thread; the caller has just marked the driver
// busy). A driver that has been stopped for good starts no more.
void StartTransferDriver(App& app);

// Handler of the queue menu item "停止任务": the running download is stopped,
// its row reads "失败" and its file keeps only the bytes received. A queue
// stalled on a server that never answers goes on with the next row.
void StopRunningTask(App& app);

// Shut-down (UI thread): stops the running task within its stop wait, lets
// the driver leave, and joins it, serving its pending window calls meanwhile.
// Afterwards no driver starts again. Safe to call more than once.
void StopTransferDriver(App& app);

// True while a driver thread has not yet left.
bool TransferDriverRunning(App& app);

}  // namespace app
