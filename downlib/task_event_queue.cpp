// Posting, merging and taking the messages of a task's event queue.
#include "downlib/task_event_queue.h"

namespace downlib {

namespace {

// Byte counts of one connection that are still queued can be added together:
// the callback sees the same total, in the same order, with fewer wake-ups.
bool MergesInto(const TaskMessage& queued, const TaskMessage& message) {
    return message.code == kTaskForward && message.forwardCode == TaskBytes && queued.code == kTaskForward &&
           queued.forwardCode == TaskBytes && queued.connection == message.connection;
}

// Log records and the workers' reports can wait for the task thread's next
// turn (at most the loop's wait on an empty queue): waking it for each would
// cost a thread switch per line, a good part of a small file's time. The
// codes that move the task on wake it at once, and everything queued before
// them is handled first.
bool WakesTaskThread(const TaskMessage& message) {
    if (message.code == kTaskLog) return false;
    if (message.code != kTaskForward) return true;
    switch (message.forwardCode) {
        case TaskWorkerStarted:
        case TaskTransferStarted:
        case TaskFirstSegment:
        case TaskLaterSegment:
        case TaskBytes:
        case TaskBytesSent:
            return false;
        default:
            return true;
    }
}

}  // namespace

bool TaskEventQueue::Post(TaskMessage message) {
    bool wake = false;
    {
        std::lock_guard lock(lock_);
        if (!open_ || !live_) return false;
        if (!messages_.empty() && MergesInto(messages_.back(), message)) {
            messages_.back().value2 += message.value2;
            return true;
        }
        wake = waiting_ > 0 && WakesTaskThread(message);
        messages_.push_back(std::move(message));
    }
    // Only a waiting taker needs the wake; a busy one finds the message itself.
    if (wake) posted_.notify_one();
    return true;
}

std::optional<TaskMessage> TaskEventQueue::Take(std::chrono::milliseconds wait) {
    std::unique_lock lock(lock_);
    ++waiting_;
    bool ready = posted_.wait_for(lock, wait, [this] { return !messages_.empty(); });
    --waiting_;
    if (!ready) return std::nullopt;
    TaskMessage message = std::move(messages_.front());
    messages_.pop_front();
    return message;
}

void TaskEventQueue::CloseWithQuit() {
    {
        std::lock_guard lock(lock_);
        if (!live_) return;
        open_ = false;
        TaskMessage quit;
        quit.code = kTaskQuit;
        messages_.push_back(std::move(quit));
    }
    posted_.notify_one();
}

void TaskEventQueue::Shut() {
    std::lock_guard lock(lock_);
    open_ = false;
    live_ = false;
    messages_.clear();
}

bool TaskEventQueue::IsOpen() const {
    std::lock_guard lock(lock_);
    return open_ && live_;
}

std::size_t TaskEventQueue::Size() const {
    std::lock_guard lock(lock_);
    return messages_.size();
}

}  // namespace downlib
