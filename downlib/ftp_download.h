// The FTP branch of a download task: what one worker does on the wire and on
// disk. The first worker logs in, switches to binary type, probes for resume
// support, sizes the file, creates the local file and retrieves it; later
// workers and every retry log in again and restart with REST at the first
// byte not yet written.
//
// Left out: resuming a task from a saved state, and any rate share between
// the connections of one task beyond the per-read block-size override.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "downlib/session.h"
#include "downlib/task_runner.h"
#include "downlib/transfer_worker.h"

namespace downlib {

inline constexpr std::int64_t kBlockLimit = 20480;  // each worker's receive buffer
inline constexpr int kRetryPauseMs = 5000;
inline constexpr std::int64_t kSingleSegmentBelow = 4096;

// The pause between retries, engine-wide (see engine_timings.h).
int RetryPauseMs();

// Opened: RETR accepted, the data connection ready.
OpenOutcome OpenFtpDownload(TaskRunner& task, SessionConnection& connection);
OpenOutcome ReopenFtpSegment(TaskRunner& task, SessionConnection& connection, int segment);
// True when the local file is open under its part name, ready for writing
// (the same-name rule is applied to the final name first).
bool PrepareLocalFile(TaskRunner& task, SessionConnection& connection);
// Creates the part file of `target` (its final name) fresh, with its note,
// or opens the one being taken up at task.resumeFrom.
bool CreatePartFile(TaskRunner& task, SessionConnection& connection, LocalTarget& target);
// How many bytes of a part file left beside the target are taken up: its
// note matches the server's size and MDTM now, and its last bytes (at most
// kResumeProofBytes) equal the server's at the same place. 0 starts afresh;
// nothing when the control connection broke during the check.
std::optional<std::int64_t> ResumablePart(TaskRunner& task, SessionConnection& connection);
inline constexpr std::int64_t kResumeProofBytes = std::int64_t{64} * 1024;

enum class ReceiveEnd {
    Complete,  // every byte of the segment is on disk
    Retry,     // the transfer broke; what arrived is on disk
    Failed,    // no retry can help
    Stopped,   // the connection or the task was told to stop
};
// The data of one segment until it is whole, then the end of the data (the
// final reply, for the segment that ends the file).
ReceiveEnd ReceiveSegment(TaskRunner& task, SessionConnection& connection, int segment, char* buffer,
                          bool firstSegment);

// The worker routine of an FTP download task, started by the task runner.
void RunFtpDownloadWorker(TaskRunner& task, SessionConnection& connection);

// The automatic same-name rule: "a.txt" gives "a(1).txt", "a(1).txt" gives
// "a(2).txt"; no value once the number would reach 100.
std::optional<std::string> NextAutomaticName(const std::string& fileName);
// The local path of a task: a path ending in "/" gets the remote file name.
// No value when the remote name cannot be a local file name.
std::optional<std::string> LocalTargetPath(const std::string& localPath, const std::string& remotePath);

}  // namespace downlib
