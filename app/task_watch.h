// What the events and log lines of one task tell the driver: the task
// callbacks of every file task, recording into a TaskWatch.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "app/row_outcome.h"
#include "downlib/ftp_engine.h"

namespace app {

// What the events of one task told the driver. Written on the task's
// threads by OnTaskEvent and OnTaskLog, read by the driver.
struct TaskWatch {
    std::mutex lock;
    std::condition_variable changed;
    bool ended = false;         // TaskEnded arrived
    bool workerDone = false;    // TaskWorkerDone: a worker received its whole part
    bool workerFailed = false;  // TaskWorkerFailed
    bool sameName = false;      // TaskSameName: the file went to a new local name
    bool loggedIn = false;      // the task's connection got as far as a transfer
    std::int64_t moved = 0;     // bytes received or sent (TaskBytes, TaskBytesSent)
    std::int64_t count = -1;    // TaskEnded's byte count
    bool stopAsked = false;     // the user chose "停止任务" for this task
    FailureReason failure;      // the task's log lines
    std::string decision;       // the engine's line on a remote file of the same name
    std::string retry;          // the engine's line on its latest retry
    int retries = 0;            // how many retry lines arrived
};

// The TaskCallback of every file task. An upload's question (TaskUploadQuestion) is
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

}  // namespace app
