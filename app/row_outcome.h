// How a queue row ended, decided from what its task reported: the verdicts
// of download and upload rows, the failure reason taken from the engine's
// log lines, and the task URL and local path a row's task is given.
#pragma once

#include <cstdint>
#include <string>

namespace app {

// The texts of a row's status column.
inline constexpr const char* kStatusWaiting = "等待";
inline constexpr const char* kStatusRunning = "进行中";
inline constexpr const char* kStatusDone = "完成";
inline constexpr const char* kStatusFailed = "失败";

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

// How a row ended: its status and, when it failed, why (for the session log).
struct RowOutcome {
    std::string status;
    std::string reason;
    // A line for the session log whatever the status: why an upload skipped,
    // continued or replaced a remote file of the same name.
    std::string note;
};

// How a task ended, as the driver saw it: what downloads and uploads share.
struct TaskEnd {
    bool addressable = true;      // the paths fit a task (and, downloading, stay below the local folder)
    bool started = true;          // the engine took the task
    bool stopRequested = false;   // the program (or the queue) was being stopped
    bool stopSent = false;        // the driver stopped the task
    bool ended = false;           // TaskEnded arrived
    bool workerDone = false;      // TaskWorkerDone
    bool workerFailed = false;    // TaskWorkerFailed
    std::int64_t count = -1;      // TaskEnded's byte total
    std::int64_t localSize = -1;  // the local file's size (after a download, before an upload)
    std::string engineReason;     // the engine's lines, as FailureReason reads them
};

struct DownloadEnd : TaskEnd {
    bool sameName = false;  // the engine chose another local name
};

// A download row reads "完成" only when the engine reported its file whole
// and the local file holds every byte it counted.
RowOutcome DownloadVerdict(const DownloadEnd& end);

struct UploadEnd : TaskEnd {
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

// A failed row with its reason.
RowOutcome FailedRow(const std::string& reason);

// A server's text in the window's own line: what is not UTF-8 comes from a
// GBK server (an old Chinese one), and stays readable beside UTF-8 text.
std::string Readable(const std::string& text);

}  // namespace app
