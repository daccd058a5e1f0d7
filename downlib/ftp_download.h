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

namespace downlib {

inline constexpr std::int64_t kBlockLimit = 20480;  // each worker's receive buffer
// Received bytes reach the task callback in events of at most this many bytes
// or this long apart.
inline constexpr std::int64_t kBytesEventBatch = 1 << 20;
inline constexpr std::chrono::milliseconds kBytesEventDelay{50};
inline constexpr int kRetryPauseMs = 5000;
inline constexpr int kRetryCount = 999;
inline constexpr std::int64_t kSingleSegmentBelow = 4096;

// The pause between retries, engine-wide (see engine_timings.h).
int RetryPauseMs();

// 1 opened (RETR accepted, data connection ready), 0 give up, -1 retry.
int OpenFtpDownload(TaskRunner& task, SessionConnection& connection);
int ReopenFtpSegment(TaskRunner& task, SessionConnection& connection, int segment);
// True when the local file exists at its full size, ready for writing.
bool PrepareLocalFile(TaskRunner& task, SessionConnection& connection);

enum class ReceiveEnd {
    Complete,  // every byte of the segment is on disk
    Retry,     // the transfer broke; what arrived is on disk
    Failed,    // no retry can help
    Stopped,   // the connection or the task was told to stop
};
ReceiveEnd ReceiveSegment(TaskRunner& task, SessionConnection& connection, int segment, char* buffer,
                          bool firstSegment);
// Waits in 10 ms steps, ending early when the connection or the task is told to stop.
void RetryPause(SessionConnection& connection, int milliseconds);

// The worker routine of an FTP download task, started by the task runner.
void RunFtpDownloadWorker(TaskRunner& task, SessionConnection& connection);

// The automatic same-name rule: "a.txt" gives "a(1).txt", "a(1).txt" gives
// "a(2).txt"; no value once the number would reach 100.
std::optional<std::string> NextAutomaticName(const std::string& fileName);
// The local path of a task: a path ending in "/" gets the remote file name.
// No value when the remote name cannot be a local file name.
std::optional<std::string> LocalTargetPath(const std::string& localPath, const std::string& remotePath);

}  // namespace downlib
