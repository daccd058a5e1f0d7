// The recorder of the engine's callbacks (see callback_recorder.h).
#include "support/callback_recorder.h"

#include <algorithm>

namespace testsupport {

using downlib::Handle;

downlib::TaskCallback CallbackRecorder::TaskSink() {
    return [this](int code, std::int64_t, std::int64_t value2, std::int64_t value3, Handle) {
        std::lock_guard guard(lock_);
        int result = 0;
        if (code == downlib::TaskSameName || code == downlib::TaskUploadQuestion) {
            questions_.push_back({code, value2, value3});
            result = answer_;
        } else {
            events_.push_back({code, value2, value3});
        }
        changed_.notify_all();
        return result;
    };
}

downlib::LogCallback CallbackRecorder::LogSink() {
    return [this](Handle, const std::string&, const std::string& message, int kind, Handle) {
        std::lock_guard guard(lock_);
        logs_.emplace_back(kind, message);
        changed_.notify_all();
    };
}

void CallbackRecorder::Attach(downlib::TaskParam& param) {
    param.taskCallback = TaskSink();
    param.logCallback = LogSink();
}

downlib::TaskParam CallbackRecorder::Param(const std::string& url, const std::string& localPath, int flags) {
    downlib::TaskParam param;
    param.url = url;
    param.localPath = localPath;
    param.flags = flags;
    param.user = "user";
    param.password = "secret";
    param.connectTimeout = param.sendTimeout = param.replyTimeout = 5000;
    Attach(param);
    return param;
}

void CallbackRecorder::SetAnswer(int answer) {
    std::lock_guard guard(lock_);
    answer_ = answer;
}

std::vector<std::pair<std::int64_t, std::int64_t>> CallbackRecorder::Questions() const {
    std::lock_guard guard(lock_);
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (const Event& q : questions_) out.emplace_back(q.value2, q.value3);
    return out;
}

std::vector<int> CallbackRecorder::Codes() const {
    std::lock_guard guard(lock_);
    std::vector<int> out;
    for (const Event& e : events_) out.push_back(e.code);
    return out;
}

int CallbackRecorder::Count(int code) const {
    std::lock_guard guard(lock_);
    return static_cast<int>(
        std::count_if(events_.begin(), events_.end(), [code](const Event& e) { return e.code == code; }));
}

std::vector<std::int64_t> CallbackRecorder::Values(int code) const {
    std::lock_guard guard(lock_);
    std::vector<std::int64_t> out;
    for (const Event& e : events_)
        if (e.code == code) out.push_back(e.value2);
    return out;
}

std::int64_t CallbackRecorder::Sum(int code) const {
    std::int64_t sum = 0;
    for (std::int64_t v : Values(code)) sum += v;
    return sum;
}

std::int64_t CallbackRecorder::Largest(int code) const {
    const std::vector<std::int64_t> values = Values(code);
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

std::int64_t CallbackRecorder::Last(int code, std::int64_t fallback) const {
    const std::vector<std::int64_t> values = Values(code);
    return values.empty() ? fallback : values.back();
}

bool CallbackRecorder::Whole() const {
    return Count(downlib::TaskEnded) > 0 && Count(downlib::TaskWorkerDone) > 0 &&
           Count(downlib::TaskWorkerFailed) == 0;
}

bool CallbackRecorder::Complete() const {
    return Count(downlib::TaskWorkerDone) == 1 && Count(downlib::TaskWorkerFailed) == 0;
}

bool CallbackRecorder::Failed() const {
    return Count(downlib::TaskWorkerDone) == 0 && Count(downlib::TaskWorkerFailed) == 1;
}

std::vector<std::pair<int, std::string>> CallbackRecorder::Logs() const {
    std::lock_guard guard(lock_);
    return logs_;
}

std::vector<std::string> CallbackRecorder::Messages() const {
    std::vector<std::string> out;
    for (const auto& [kind, message] : Logs()) out.push_back(message);
    return out;
}

bool CallbackRecorder::HasLogLocked(const std::string& message, int kind) const {
    return std::any_of(logs_.begin(), logs_.end(), [&](const auto& log) {
        return log.second == message && (kind < 0 || log.first == kind);
    });
}

bool CallbackRecorder::HasLog(const std::string& message, int kind) const {
    std::lock_guard guard(lock_);
    return HasLogLocked(message, kind);
}

bool CallbackRecorder::HasLogStarting(const std::string& prefix, int kind) const {
    std::lock_guard guard(lock_);
    return std::any_of(logs_.begin(), logs_.end(), [&](const auto& log) {
        return log.second.rfind(prefix, 0) == 0 && (kind < 0 || log.first == kind);
    });
}

int CallbackRecorder::CountLogsStarting(const std::string& prefix) const {
    std::lock_guard guard(lock_);
    return static_cast<int>(std::count_if(logs_.begin(), logs_.end(),
                                          [&](const auto& log) { return log.second.rfind(prefix, 0) == 0; }));
}

std::vector<std::string> CallbackRecorder::lines() const {
    std::vector<std::string> out;
    for (const auto& [kind, message] : Logs()) out.push_back(std::to_string(kind) + " " + message);
    return out;
}

bool CallbackRecorder::contains(const std::string& line) const {
    const std::vector<std::string> all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
}

std::vector<std::string> CallbackRecorder::ofKinds(const std::string& kinds) const {
    std::vector<std::string> out;
    for (const std::string& line : lines())
        if (kinds.find(line[0]) != std::string::npos) out.push_back(line);
    return out;
}

std::string CallbackRecorder::text() const {
    std::string out;
    for (const std::string& line : lines()) out += line + "\n";
    return out;
}

void CallbackRecorder::clear() {
    std::lock_guard guard(lock_);
    logs_.clear();
}

bool CallbackRecorder::WaitEnded(std::chrono::seconds limit) const {
    return WaitFor([this] { return Count(downlib::TaskEnded) > 0; }, limit);
}

bool CallbackRecorder::WaitForLog(const std::string& message, std::chrono::seconds limit) const {
    return WaitFor([&] { return HasLogLocked(message, -1); }, limit);
}

bool CallbackRecorder::WaitForLogOrEnd(const std::string& message, std::chrono::seconds limit) const {
    WaitFor([&] { return Count(downlib::TaskEnded) > 0 || HasLogLocked(message, -1); }, limit);
    return HasLog(message);
}

bool CallbackRecorder::WaitFor(const std::function<bool()>& ready, std::chrono::seconds limit) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, limit, ready);
}

}  // namespace testsupport
