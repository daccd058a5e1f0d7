// The verdicts of queue rows and the failure reasons behind them.
#include "app/row_outcome.h"

#include <cctype>

#include "downlib/ftp_engine.h"
#include "downlib/url_path.h"
#include "toolkit/text.h"

namespace app {

namespace {

// A failure reason from the engine's lines is cut here.
constexpr std::size_t kLongestReason = 400;

}  // namespace

RowOutcome FailedRow(const std::string& reason) { return RowOutcome{kStatusFailed, reason, {}}; }

std::string Readable(const std::string& text) {
    return toolkit::IsValidUtf8(text) ? text : toolkit::GbkToUtf8(text);
}

void FailureReason::Add(const std::string& message, int kind) {
    const bool reply = message.size() >= 3 && std::isdigit(static_cast<unsigned char>(message[0])) &&
                       std::isdigit(static_cast<unsigned char>(message[1])) &&
                       std::isdigit(static_cast<unsigned char>(message[2]));
    if (kind == downlib::LogError) {
        // The restart probe's verdict is logged as an error line, but it is
        // no failure.
        if (message == "站点支持断点续传" || message == "站点不支持断点续传") return;
        std::string line = Readable(message);
        if (!refusal_.empty() && line.find(refusal_) == std::string::npos) line += "：" + refusal_;
        text_ = burst_ ? text_ + "，" + line : line;
        if (text_.size() > kLongestReason) text_ = toolkit::Utf8Lossy(text_.substr(0, kLongestReason)) + "…";
        burst_ = true;
        refusal_.clear();
        return;
    }
    burst_ = false;
    if (reply && (message[0] == '4' || message[0] == '5')) {
        refusal_ = Readable(message.substr(0, kLongestReason));
    } else if (!reply) {
        // A command (the engine logs STOR and TYPE as replies, too).
        refusal_.clear();
    }
}

RowOutcome DownloadVerdict(const DownloadEnd& end) {
    if (!end.addressable) return FailedRow("远程路径过长或不能用作本地路径");
    if (!end.started) return FailedRow(end.stopRequested ? "已停止" : "下载任务未能启动");
    // A task stopped part-way has its file cut to what arrived, which would
    // then match the byte count; one that ended before the stop was sent is
    // judged like any other.
    if (end.stopSent) return FailedRow("已停止");
    if (!end.ended) return FailedRow("下载任务没有结束");
    // Under another name (the engine chose one) the file at the row's path
    // is not the one counted.
    const bool arrived =
        end.workerDone && !end.workerFailed && end.count >= 0 && (end.sameName || end.localSize == end.count);
    if (!arrived)
        return FailedRow(end.engineReason.empty() ? std::string("文件没有完整收到") : end.engineReason);
    return RowOutcome{kStatusDone, {}, {}};
}

namespace {

RowOutcome UploadVerdictOf(const UploadEnd& end) {
    if (!end.addressable) return FailedRow("远程路径过长");
    if (!end.started) return FailedRow(end.stopRequested ? "已停止" : "上传任务未能启动");
    if (end.stopSent) return FailedRow("已停止");
    if (!end.ended) return FailedRow("上传任务没有结束");
    if (end.workerFailed || !end.workerDone)
        return FailedRow(end.engineReason.empty() ? std::string("文件没有完整上传") : end.engineReason);
    if (end.localSize < 0 || end.count != end.localSize) {
        return FailedRow("已上传" + std::to_string(end.count) + "字节，本地文件为" +
                         std::to_string(end.localSize) + "字节");
    }
    return RowOutcome{kStatusDone, {}, {}};
}

}  // namespace

RowOutcome UploadVerdict(const UploadEnd& end) {
    RowOutcome outcome = UploadVerdictOf(end);
    outcome.note = end.decision;
    return outcome;
}

std::string LocalPathFor(const std::string& remotePath, const std::string& base) {
    if (remotePath.size() <= base.size()) return {};
    return remotePath.substr(base.size());
}

std::string TaskUrl(const std::string& host, int port, const std::string& remotePath) {
    std::string url = "ftp://" + host;
    // The host text may start with credentials ("user:password@host"); only a
    // ":" after them names a port.
    const std::size_t at = host.rfind('@');
    const std::size_t hostStart = at == std::string::npos ? 0 : at + 1;
    if (host.find(':', hostStart) == std::string::npos) url += ":" + std::to_string(port);
    return url + downlib::EscapeUrlPath(remotePath);
}

}  // namespace app
