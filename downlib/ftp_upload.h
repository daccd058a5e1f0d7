// The FTP upload task: one worker that opens the local file read-only, logs
// in on a connection of its own, probes for restart support, sizes the remote
// file, decides by the task's flags (or the caller's answer to its question)
// whether and where to start, and sends the file with STOR over a data
// channel, resuming with REST (or APPE where the server refuses a restarted
// STOR). It is done only when every byte is accounted for: all sent, the
// server's final reply 2xx, and the remote size equal to the local size
// where the server can tell.
//
// Left out: several connections per upload, and retries after the data
// channel is open (only the opening is retried).
#pragma once

#include <cstdint>
#include <string>

#include "downlib/session.h"
#include "downlib/task_runner.h"
#include "downlib/upload_decision.h"

namespace downlib {

// The largest single send, whatever block the task asks for; bounds the
// worker's buffer.
inline constexpr std::int64_t kMaxSendBlock = std::int64_t{4} << 20;

// The worker routine of an upload task, started by the task runner (kTaskStartUpload).
void RunFtpUploadWorker(TaskRunner& task, SessionConnection& connection);

}  // namespace downlib
