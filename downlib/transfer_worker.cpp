// The parts both transfer workers use: the logged-in opening, the retry
// pause, pacing and byte-count events.
#include "downlib/transfer_worker.h"

#include <algorithm>
#include <string>
#include <thread>

#include "downlib/data_channel.h"
#include "downlib/ftp_download.h"
#include "downlib/session_reuse.h"

namespace downlib {

std::string WithText(const char* pattern, const std::string& text) {
    std::string out = pattern;
    std::size_t at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, text);
    return out;
}

void RetryPause(SessionConnection& connection, int milliseconds) {
    for (int waited = 0; waited < milliseconds; waited += kWaitCycleMs) {
        if (connection.StopRequested()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kWaitCycleMs, milliseconds - waited)));
    }
}

LoggedIn OpenLoggedIn(SessionConnection& connection, bool resolve, GreetingTexts texts) {
    LoggedIn result;
    // A kept connection has answered TYPE I already, as the check of its life.
    if (TakeLoggedInConnection(connection)) {
        result.opening = OpenResult::Ok;
        result.binary = true;
        return result;
    }
    connection.control = OpenTcpSocket();
    if (!connection.control) return result;
    result.opening = OpenControlConnection(connection, resolve, connection.session->connectTimeout, texts);
    if (!result.Ok()) return result;
    std::string reply;
    EmitLog(connection, "TYPE I", LogReply);
    result.binary = SetTransferType(connection, true, reply, connection.session->replyTimeout) > 0;
    return result;
}

bool RetryBudget::PauseBeforeRetry(TaskRunner& task, SessionConnection& connection) {
    CloseDataChannel(connection);
    connection.control.Close();
    if (connection.StopRequested() || left_ <= 0 || !connection.session->IsLive()) return false;
    --left_;
    ++task.retries;
    EmitLog(connection, "等待" + std::to_string(RetryPauseMs() / 1000) + "秒后重试", LogInfo);
    RetryPause(connection, RetryPauseMs());
    return !connection.StopRequested();
}

void PaceBlock(SessionConnection& connection, std::chrono::steady_clock::time_point began) {
    auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
    if (spent.count() < 1000) RetryPause(connection, static_cast<int>(1000 - spent.count()));
}

void ByteEvents::Add(std::int64_t count, bool now) {
    unreported_ += count;
    auto at = std::chrono::steady_clock::now();
    if (unreported_ > 0 && (now || unreported_ >= kBytesEventBatch || at - last_ >= kBytesEventDelay)) {
        task_.PostEvent(connection_, event_, unreported_);
        unreported_ = 0;
        last_ = at;
    }
}

}  // namespace downlib
