// The task callbacks of file tasks.
#include "app/task_watch.h"

#include <algorithm>

#include "downlib/upload_decision.h"

namespace app {

int OnTaskEvent(TaskWatch& watch, int code, std::int64_t, std::int64_t value2, std::int64_t,
                downlib::Handle) {
    std::lock_guard guard(watch.lock);
    switch (code) {
        case downlib::TaskUploadQuestion: {
            watch.loggedIn = true;
            return AnswerSameName();
        }
        case downlib::TaskTransferStarted:
            watch.loggedIn = true;
            break;
        case downlib::TaskBytes:
        case downlib::TaskBytesSent:
            watch.moved += std::max<std::int64_t>(value2, 0);
            break;
        case downlib::TaskEnded:
            watch.ended = true;
            watch.count = value2;
            watch.changed.notify_all();
            break;
        case downlib::TaskWorkerDone:
            watch.workerDone = true;
            break;
        case downlib::TaskWorkerFailed:
            watch.workerFailed = true;
            break;
        case downlib::TaskSameName:
            // The engine is told to pick a new local name (answer 0).
            watch.sameName = true;
            break;
        default:
            break;
    }
    return 0;
}

void OnTaskLog(TaskWatch& watch, const std::string& message, int kind) {
    std::lock_guard guard(watch.lock);
    for (const char* decision : {downlib::kSameFileText, downlib::kResumeProvenText, downlib::kReplaceText}) {
        if (message.rfind(decision, 0) == 0) watch.decision = Readable(message);
    }
    if (message.rfind(downlib::kRetryLinePrefix, 0) == 0) {
        watch.retry = Readable(message);
        ++watch.retries;
    }
    watch.failure.Add(message, kind);
}

int AnswerSameName() { return downlib::UploadUpdate; }

}  // namespace app
