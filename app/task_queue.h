// The task queue's rows, shared by the requests that append them
// (app/download_request.h, app/upload_request.h) and the transfer driver that
// handles them; the queue-length pane follows the list.
//
// Every row keeps what it needs to be handled on its own: its base remote
// folder, the server, port and credentials of the session it was queued from.
// A later request or a quick connect to another server therefore never
// changes where or from which server an earlier row is fetched.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/request_walk.h"
#include "app/row_outcome.h"
#include "downlib/ftp_engine.h"

namespace app {

struct App;

// Where a row is in its life: waiting to be taken, taken by one of the
// driver's lanes, or ended with its final status.
enum class RowPhase { Waiting, Running, Ended };

// One queue row as the driver needs it; the columns of queueList show the
// first four texts.
struct QueueRow {
    std::string localFolder;  // column 0
    std::string remotePath;   // column 1
    std::string sizeText;     // column 2
    std::string type;         // column 3
    bool folder = false;
    // Below localFolder: the local names of the remote path below the base
    // folder of the request ("/a/b.zip"). A name from a listing read as GBK
    // is converted to UTF-8 here; the remote path keeps the server's bytes.
    std::string localRelative;
    // Captured when the row was queued.
    std::string baseRemote;
    std::string host;
    int port = 21;
    downlib::TlsMode tls = downlib::TlsMode::Auto;
    std::string user;
    std::string password;
    std::string status = kStatusWaiting;  // column 4
    // Given when the row is appended, increasing down the list: the driver's
    // lanes find their rows by it, whatever was removed above them.
    std::uint64_t id = 0;
    RowPhase phase = RowPhase::Waiting;
    // An upload row: the local entry is read and the remote path written.
    // localSource is the entry read (the target when the entry is a link);
    // remoteGbk tells that the remote names were converted to GBK.
    bool upload = false;
    std::string localSource;
    bool remoteGbk = false;
};

// Shared by the requests (UI thread) and the driver thread. Every field is
// read and written under `lock`, which is never held across a call that
// waits for another thread.
struct TaskQueueState {
    std::mutex lock;
    std::vector<QueueRow> rows;  // row i of queueList
    std::uint64_t nextRowId = 1;
    std::size_t firstWaiting = 0;  // no row above it waits
    std::size_t waiting = 0;       // rows in each phase but Ended
    std::size_t running = 0;
    std::size_t runningFolders = 0;
    std::size_t openUploads = 0;  // upload rows that have not ended
    std::size_t openDownloads = 0;
    // The bytes of the file rows queued since the queue was last cleared, and
    // of those that ended: the request's progress while several rows run.
    std::int64_t bytesQueued = 0;
    std::int64_t bytesEnded = 0;
    std::string queueBaseRemote;
    bool driverIdle = true;
    bool requestDone = false;
    std::size_t maxRowsPerRequest = kMaxRowsPerRequest;  // tests lower it
    // An upload row has ended since the remote folder was last listed for
    // uploads; once no upload row waits, the listing is due.
    bool uploadsFinished = false;
    bool remoteListingDue = false;
    // A download row has ended that wrote at or below the folder localList
    // showed then; once no download row waits, the local folder is due to be
    // listed again, so what arrived shows without a manual refresh.
    bool localFolderWritten = false;
    bool localListingDue = false;
    // UI thread only: pacing of redraws and event passes while queueing.
    std::chrono::steady_clock::time_point lastRedraw{};
    std::chrono::steady_clock::time_point lastPump{};
};

// The queue state of the Application, created on first use (UI thread).
TaskQueueState& QueueState(App& app);

// Handler of queueTimer's tick: pane 1 reads "任务队列:" and the row count.
void RefreshQueueLength(App& app);

// For requests (UI thread): appends one row to the queue state and to
// queueList; starts the driver when none runs; keeps the window live while a
// request appends many rows, without an event pass per row.
void AppendQueueRow(App& app, const QueueRow& row);
void StartDriverIfIdle(App& app);
void KeepWindowLiveWhileQueueing(App& app);

// An upload request has appended its last row (UI thread): when none of its
// rows waits any more, the remote folder is due to be listed again.
void NoteUploadRequestDone(App& app);
// A download request has appended its last row (UI thread): when none of its
// rows waits any more and one wrote into the shown local folder, that folder
// is due to be listed again.
void MarkDownloadRequestDone(App& app);
// The remote folder was just listed: an upload's listing is no longer due.
void NoteRemoteListed(App& app);
// Whether the listing after uploads (remote) or downloads (local) is due; a
// due one is taken, so it runs once.
bool TakeRemoteListingDue(App& app);
bool TakeLocalListingDue(App& app);

// Whether `path` is `folder` or lies below it (local paths, "/" separated).
bool IsAtOrBelow(const std::string& path, const std::string& folder);

// The row count of queueList as the queue state knows it.
std::size_t QueuedRowCount(App& app);

// Whether a row can be taken now: one waits and no folder row runs (the
// rows below a folder row may lie in that folder, so they wait until it is
// made). Any thread, under the queue's lock.
bool RowTakeable(const TaskQueueState& state);

// For the driver, on the UI thread: the first waiting row, now running, or
// nothing when none can be taken.
std::optional<QueueRow> TakeNextRow(App& app);

// For the driver, on the UI thread, once no row waits or runs: the
// end-of-queue step (the driver is marked idle and, once the request is
// done, the rows are cleared but those that failed, which stay in view until
// the user removes them). False, and nothing done, while a row waits or runs.
bool EndQueueRun(App& app, bool& cleared);

// On the UI thread: where the row with this id is now (rows above it may
// have been removed meanwhile); -1 when it is gone.
int RowIndexOf(App& app, std::uint64_t id);
// The same for a row that is still running; -1 once it has ended.
int RunningRowIndexOf(App& app, std::uint64_t id);

// For the driver, on the UI thread: the row gets its final status. A failure
// also gets one log line with the row's path and the reason.
void FinishRow(App& app, std::uint64_t id, const std::string& status, const std::string& reason = {});

// For the driver, on the UI thread: a running row waits again, to be taken
// before the rows below it (its server refused one more connection).
void RequeueRow(App& app, std::uint64_t id);

// Handler of the queue menu item "移除任务": removes the selected rows of
// queueList, except those the driver is handling.
void RemoveSelectedQueueRows(App& app);

}  // namespace app
