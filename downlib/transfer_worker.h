// What the download and the upload worker share: how an opening ended, the
// logged-in control connection (kept by an earlier task, or new), the retry
// budget with its pause, the pacing of the block-size override and the
// batching of byte-count events, and their log texts' "%s" filling.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "downlib/control_connection.h"
#include "downlib/session.h"
#include "downlib/task_runner.h"

namespace downlib {

// Received or sent bytes reach the task callback in events of at most this
// many bytes or this long apart.
inline constexpr std::int64_t kBytesEventBatch = 1 << 20;
inline constexpr std::chrono::milliseconds kBytesEventDelay{50};

// A log text with its "%s" filled in.
std::string WithText(const char* pattern, const std::string& text);

// Waits in 10 ms steps, ending early when the connection or the task is told to stop.
void RetryPause(SessionConnection& connection, int milliseconds);

// How an opening sequence ended: ready for the transfer, not worth another
// attempt, or worth one after the retry pause.
enum class OpenOutcome { Opened, GiveUp, Retry };

// The step after an opening, for a worker whose steps include RetryPause and End.
template <typename Step>
constexpr Step StepAfterOpening(OpenOutcome outcome, Step opened) {
    switch (outcome) {
        case OpenOutcome::Opened:
            return opened;
        case OpenOutcome::Retry:
            return Step::RetryPause;
        case OpenOutcome::GiveUp:
            return Step::End;
    }
    return Step::End;
}

// A control connection logged in for the task.
struct LoggedIn {
    // The opening of a new connection; Ok for a kept one. No value when no
    // socket could be made.
    std::optional<OpenResult> opening;
    // The connection answered TYPE I (a kept one did, to prove it is alive).
    bool binary = false;

    bool Ok() const { return opening == OpenResult::Ok; }
};

// The task's control connection, logged in and switched to binary type: one
// the Download object kept from an earlier task when it still answers,
// otherwise a new one (resolved when `resolve`), whose greeting is announced
// with `texts`. Binary type comes first because proftpd and pyftpdlib refuse
// REST ("501 ... in ASCII mode") and SIZE ("550 SIZE not allowed in ASCII
// mode") while the session is still in its default type.
LoggedIn OpenLoggedIn(SessionConnection& connection, bool resolve, GreetingTexts texts);

// Switches the control connection to binary or ASCII type unless it is in
// that type already (then nothing is sent and 200 returned); the reply code,
// 0 when none came.
int SwitchTransferType(SessionConnection& connection, bool binary);

// The restart probe of a control connection: REST 100 and, after any 350,
// REST 0 to put the marker back. It runs once per connection; a connection
// whose probe ended with the marker at 0 keeps the answer (also in the
// cache) and later tasks on it send nothing.
struct RestartProbeOutcome {
    RestartProbeAnswer answer;  // answer.code 0: REST 100 got no reply
    int resetCode = 350;        // the reply to REST 0 (0 none); 350 when none was needed
    bool kept = false;          // the connection's earlier answer, nothing sent
};
RestartProbeOutcome ProbeRestartOnce(SessionConnection& connection);

// The retries a worker has left, and the pause before each.
class RetryBudget {
public:
    // Closes the worker's sockets; then, when the worker may try again (not
    // stopped, retries left of the session's count, the session live),
    // counts the retry, logs it with its reason ("重试 3/999: " and the last
    // error line) and pauses. True when the worker should open again. With
    // none left, logs that the task gives up and why.
    bool PauseBeforeRetry(TaskRunner& task, SessionConnection& connection);

private:
    int used_ = 0;
};

// With the block-size override, one block a second: the rest of the second
// since `began` is waited out (a stop ends the wait).
void PaceBlock(SessionConnection& connection, std::chrono::steady_clock::time_point began);

// Byte counts go to the callback in batches: one event per block would wake
// the task thread some fifty thousand times per GiB, and the running total is
// read from GetBytesDone anyway. No count is held back for long, and what is
// left goes out when the batcher goes.
class ByteEvents {
public:
    ByteEvents(TaskRunner& task, SessionConnection& connection, TaskEvent event)
        : task_(task), connection_(connection), event_(event) {}
    ~ByteEvents() { Add(0, true); }
    ByteEvents(const ByteEvents&) = delete;
    ByteEvents& operator=(const ByteEvents&) = delete;

    // Counts `count` bytes; `now` sends what is counted at once.
    void Add(std::int64_t count, bool now);

private:
    TaskRunner& task_;
    SessionConnection& connection_;
    TaskEvent event_;
    std::int64_t unreported_ = 0;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace downlib
