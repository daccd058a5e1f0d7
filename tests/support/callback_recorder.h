// What the engine reports through its two callbacks, recorded for tests, with waits for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "downlib/ftp_engine.h"

namespace testsupport {

// Thread-safe: the engine calls in on its own threads while a test reads. A
// predicate given to WaitFor may call the other members.
class CallbackRecorder {
public:
    // The callbacks that record here.
    downlib::TaskCallback TaskSink();
    downlib::LogCallback LogSink();
    // Both callbacks of the param record here.
    void Attach(downlib::TaskParam& param);
    // A task param for url and localPath as most tests want it: user "user",
    // password "secret", 5 s for the connect, each send and each reply.
    downlib::TaskParam Param(const std::string& url, const std::string& localPath, int flags = 0);

    // ---- Task events
    // The answer to each question of the task (TaskSameName, TaskUploadQuestion).
    void SetAnswer(int answer);
    // Questions asked, as their two values (value2, value3), in order. A
    // question is no event of Codes().
    std::vector<std::pair<std::int64_t, std::int64_t>> Questions() const;
    // Event codes in order, questions left out.
    std::vector<int> Codes() const;
    int Count(int code) const;
    // value2 of every event of that code, in order; their sum and the largest.
    std::vector<std::int64_t> Values(int code) const;
    std::int64_t Sum(int code) const;
    std::int64_t Largest(int code) const;
    // value2 of the last event of that code; fallback when there was none.
    std::int64_t Last(int code, std::int64_t fallback = -1) const;
    // The byte count of TaskEnded; -1 before the end.
    std::int64_t EndCount() const { return Last(downlib::TaskEnded); }

    // Ended, with a worker done and none failed.
    bool Whole() const;
    // Exactly one worker done and none failed; or, for Failed, the reverse.
    bool Complete() const;
    bool Failed() const;

    // ---- Log lines (kind and message)
    std::vector<std::pair<int, std::string>> Logs() const;
    std::vector<std::string> Messages() const;
    // The message, of that kind when kind >= 0.
    bool HasLog(const std::string& message, int kind = -1) const;
    bool HasLogStarting(const std::string& prefix, int kind = -1) const;
    int CountLogsStarting(const std::string& prefix) const;
    // Each line as "kind message", and all of them one a line.
    std::vector<std::string> lines() const;
    bool contains(const std::string& line) const;
    // The lines whose kind digit is one of `kinds`, in order.
    std::vector<std::string> ofKinds(const std::string& kinds) const;
    std::string text() const;
    std::string Dump() const { return text(); }
    void clear();

    // ---- Waits: true when the condition came before the limit.
    bool WaitEnded(std::chrono::seconds limit = std::chrono::seconds(60)) const;
    bool WaitForLog(const std::string& message, std::chrono::seconds limit = std::chrono::seconds(30)) const;
    // True when the line came before the task ended.
    bool WaitForLogOrEnd(const std::string& message,
                         std::chrono::seconds limit = std::chrono::seconds(60)) const;
    bool WaitFor(const std::function<bool()>& ready,
                 std::chrono::seconds limit = std::chrono::seconds(30)) const;

private:
    struct Event {
        int code = 0;
        std::int64_t value2 = 0;
        std::int64_t value3 = 0;
    };
    bool HasLogLocked(const std::string& message, int kind) const;

    // Recursive, so that a WaitFor predicate can read through the members.
    mutable std::recursive_mutex lock_;
    mutable std::condition_variable_any changed_;
    std::vector<Event> events_;
    std::vector<Event> questions_;
    std::vector<std::pair<int, std::string>> logs_;
    int answer_ = 0;
};

}  // namespace testsupport
