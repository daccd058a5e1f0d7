// The transfer driver: the thread that works through the task queue row by
// row, creating local folders and downloading files with downloadClient,
// while the status bar shows the action and the progress.
//
// At most one driver thread exists; it is owned by the Application and
// joined, never left running: StopTransferDriver stops the running task and
// waits for the thread, and the Application's destruction does the same.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "downlib/ftp_engine.h"

namespace app {

struct App;

// What the events of one download task told the driver. Written on the task's
// thread by OnTaskEvent, read by the driver.
struct TaskWatch {
    std::mutex lock;
    std::condition_variable changed;
    bool ended = false;         // event 4 arrived
    bool workerDone = false;    // event 8: a worker received its whole part
    bool workerFailed = false;  // event 9
    bool sameName = false;      // event 18: the file went to a new local name
    std::int64_t count = -1;    // event 4's byte count
    bool stopAsked = false;     // the user chose "停止任务" for this task
};

// The TaskCallback of every file task.
int OnTaskEvent(TaskWatch& watch, int code, std::int64_t value1, std::int64_t value2, std::int64_t value3,
                downlib::Handle session);

// The last (length of R - length of B) bytes of the remote path R: a remote
// folder's path below the base, as a path below the local folder (the local
// separator is "/" too). Rows carry their local path below the local folder
// built from local names (see QueueRow::localRelative).
std::string LocalPathFor(const std::string& remotePath, const std::string& base);

// The remote path as the path of an ftp:// URL: the engine decodes "%XX" and
// "+" there, so "%", "+" and control bytes are written as "%XX".
std::string EncodeUrlPath(const std::string& path);

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
