// The parts both transfer workers use: the logged-in opening, the retry
// pause, pacing and byte-count events.
#include "downlib/transfer_worker.h"

#include <algorithm>
#include <string>
#include <thread>

#include "downlib/data_channel.h"
#include "downlib/ftp_download.h"
#include "downlib/remote_commands.h"
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
    connection.facts = {};
    if (!connection.control) return result;
    result.opening = OpenControlConnection(connection, resolve, connection.session->connectTimeout, texts);
    if (!result.Ok()) return result;
    result.binary = SwitchTransferType(connection, true) > 0;
    return result;
}

int SwitchTransferType(SessionConnection& connection, bool binary) {
    if (connection.facts.binary == binary) return 200;
    EmitLog(connection, binary ? "TYPE I" : "TYPE A", LogReply);
    std::string reply;
    const int code = SetTransferType(connection, binary, reply, connection.session->replyTimeout);
    if (code >= 200 && code <= 299) {
        connection.facts.binary = binary;
    } else {
        connection.facts.binary.reset();
    }
    return code;
}

RestartProbeOutcome ProbeRestartOnce(SessionConnection& connection) {
    RestartProbeOutcome outcome;
    if (connection.facts.restartProbe) {
        outcome.answer = *connection.facts.restartProbe;
        outcome.kept = true;
        return outcome;
    }
    const int timeout = connection.session->replyTimeout;
    EmitLog(connection, "REST 100", LogCommand);
    outcome.answer.supported = ProbeRestart(connection, timeout, &outcome.answer.code);
    if (outcome.answer.code <= 0) return outcome;
    if (outcome.answer.code == 350) {
        // Any 350 left the marker at 100, whatever the reply said; RETR or
        // STOR would then start at byte 100.
        EmitLog(connection, "REST 0", LogCommand);
        outcome.resetCode = SendRestZero(connection, timeout);
        if (outcome.resetCode != 350) return outcome;
    }
    connection.facts.restartProbe = outcome.answer;
    return outcome;
}

bool RetryBudget::PauseBeforeRetry(TaskRunner& task, SessionConnection& connection) {
    CloseDataChannel(connection);
    connection.control.Close();
    if (connection.StopRequested() || !connection.session->IsLive()) return false;
    const int budget = connection.session->retryCount;
    const std::string reason = connection.lastError.empty() ? "连接失败" : connection.lastError;
    if (used_ >= budget) {
        EmitLog(connection, "重试" + std::to_string(budget) + "次后仍然失败: " + reason, LogError);
        return false;
    }
    ++used_;
    ++task.retries;
    // Each retry says why, so that a long wait is never a silent one.
    EmitLog(connection,
            kRetryLinePrefix + std::to_string(used_) + "/" + std::to_string(budget) + ": " + reason, LogInfo);
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
