// The event queue of one transfer task: the codes its thread handles and the
// messages that carry them, posted by workers and taken by the task thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "downlib/session.h"

namespace downlib {

// Codes of the task's own queue.
enum TaskCode : int {
    kTaskQuit = 1,          // leave the event loop
    kTaskClose = 2,         // close the queue; only kTaskQuit follows
    kTaskOpenWorker = 4,    // open one worker connection and start its thread
    kTaskLog = 9,           // deliver a log record to the LogCallback
    kTaskEndTransfer = 18,  // the transfer is over: collect the workers, release the file
    kTaskStartUpload = 19,  // open the one connection of an upload and start its worker
    kTaskStopFirst = 20,    // the upload worker ended: collect its connection
    kTaskForward = 21,      // call the TaskCallback with a worker event
};

struct TaskMessage {
    int code = 0;
    SessionConnection* connection = nullptr;
    int forwardCode = 0;  // kTaskForward: the TaskCallback event code
    std::int64_t value1 = 0;
    std::int64_t value2 = 0;
    std::int64_t value3 = 0;
    std::optional<LogRecord> record;  // kTaskLog
};

// The event queue of one task. Posts keep their order; a post to a queue that
// is closed or no longer live is dropped and reports false. An empty queue is
// waited on with a condition variable that every post wakes. Byte counts of
// one connection posted while an earlier count still waits are added to it.
class TaskEventQueue {
public:
    bool Post(TaskMessage message);
    // The oldest message, waiting at most `wait` for one.
    std::optional<TaskMessage> Take(std::chrono::milliseconds wait);
    // Code 2: closes the queue and leaves exactly one kTaskQuit behind the
    // messages already queued, in one step so no other post slips in.
    void CloseWithQuit();
    // No longer live: every queued message is dropped.
    void Shut();
    bool IsOpen() const;
    std::size_t Size() const;

private:
    mutable std::mutex lock_;
    std::condition_variable posted_;
    std::deque<TaskMessage> messages_;
    int waiting_ = 0;  // takers blocked on posted_
    bool open_ = true;
    bool live_ = true;
};

}  // namespace downlib
