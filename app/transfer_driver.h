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

#include "app/row_outcome.h"
#include "app/task_watch.h"
#include "downlib/ftp_engine.h"

namespace app {

struct App;

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
