// Reply assembly from bytes. A bare LF ends a line as CR LF does (servers and
// proxies that write LF alone exist); a line longer than the line buffer is
// taken in pieces, and a reply is capped so a server that streams endless
// lines cannot exhaust memory.
#include "downlib/reply_assembler.h"

#include <algorithm>
#include <cctype>

#include "downlib/ftp_engine.h"

namespace downlib {
namespace {

bool StartsWithCode(std::string_view line) {
    return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) &&
           std::isdigit(static_cast<unsigned char>(line[2]));
}

bool IsFinalLine(std::string_view line) { return StartsWithCode(line) && line.size() >= 4 && line[3] == ' '; }

}  // namespace

int ReplyCodeOf(std::string_view line) {
    if (line.size() < 3) return 0;
    int code = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(line[i]))) return 0;
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

std::string LineForLog(std::string_view line) {
    std::size_t end = line.size();
    while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r')) --end;
    return std::string(line.substr(0, end));
}

void ReplyAssembler::Feed(std::string_view bytes) {
    bytes_.erase(0, read_);
    read_ = 0;
    bytes_.append(bytes);
}

void ReplyAssembler::FeedEnd() { closed_ = true; }

std::string ReplyAssembler::TakeUnread() {
    std::string unread = bytes_.substr(read_);
    bytes_.clear();
    read_ = 0;
    return unread;
}

std::vector<AssemblerLog> ReplyAssembler::TakeLog() {
    std::vector<AssemblerLog> log;
    log.swap(log_);
    return log;
}

void ReplyAssembler::StartReply() {
    progress_ = ReplyProgress::NeedMore;
    atLineStart_ = true;
    multiLine_ = false;
    inFinalLine_ = false;
    total_ = 0;
    code_ = 0;
    finalLine_.clear();
    allLines_.clear();
}

std::optional<std::string_view> ReplyAssembler::NextPiece(bool& ended) {
    const std::string_view waiting = std::string_view(bytes_).substr(read_);
    const std::size_t room = kLineBufferSize - 1;
    const std::size_t end = waiting.find('\n');
    std::size_t take = 0;
    if (end != std::string_view::npos && end < room) {
        take = end + 1;
        ended = true;
    } else if (waiting.size() >= room) {
        take = room;
        ended = false;
    } else if (closed_ && !waiting.empty()) {
        take = waiting.size();
        ended = true;
    } else {
        return std::nullopt;
    }
    read_ += take;
    return waiting.substr(0, take);
}

std::optional<AssembledReply> ReplyAssembler::Next() {
    if (progress_ != ReplyProgress::NeedMore) StartReply();
    bool ended = false;
    while (const std::optional<std::string_view> piece = NextPiece(ended)) {
        if (!TakePiece(*piece, ended)) continue;
        if (progress_ != ReplyProgress::Whole) return std::nullopt;
        AssembledReply reply{code_, std::move(finalLine_), std::move(allLines_)};
        finalLine_.clear();
        allLines_.clear();
        return reply;
    }
    return std::nullopt;
}

bool ReplyAssembler::TakePiece(std::string_view piece, bool ended) {
    total_ += piece.size();
    Log(LogReply, LineForLog(piece));
    if (total_ <= kMaxReplyBytes) allLines_ += piece;
    const bool startsLine = atLineStart_;
    atLineStart_ = ended;
    if (inFinalLine_) {
        // A final line longer than the line buffer arrives in pieces.
        finalLine_ += piece;
        if (ended) return EndFinalLine();
    } else if (startsLine && IsFinalLine(piece)) {
        inFinalLine_ = true;
        finalLine_ = piece;
        if (ended) return EndFinalLine();
    } else if (startsLine && !multiLine_ && StartsWithCode(piece)) {
        // The first line of a reply is "nnn text" or opens a multi-line reply
        // with "nnn-". A bare "257" or a "2570 ..." would otherwise leave us
        // waiting for a final line that never comes.
        if (piece.size() > 3 && piece[3] == '-') {
            multiLine_ = true;
        } else {
            Log(LogError, "服务器回应格式错误");
            return Fail(!ended);
        }
    }
    if (total_ <= kMaxReplyBytes) return false;
    Log(LogError, "服务器回应过长, 已放弃读取");
    return Fail(true);
}

bool ReplyAssembler::EndFinalLine() {
    code_ = (finalLine_[0] - '0') * 100 + (finalLine_[1] - '0') * 10 + (finalLine_[2] - '0');
    // Codes run from 100; a "000" line would otherwise come back as 0, the
    // value that means no reply.
    if (code_ < 100) return Fail(false);
    progress_ = ReplyProgress::Whole;
    return true;
}

bool ReplyAssembler::Fail(bool stepLost) {
    finalLine_.clear();
    progress_ = stepLost ? ReplyProgress::OutOfStep : ReplyProgress::Failed;
    Log(LogError, "获得返回命令失败");
    return true;
}

void ReplyAssembler::Abandon() {
    if (progress_ != ReplyProgress::NeedMore) StartReply();
    Fail(true);
}

}  // namespace downlib
