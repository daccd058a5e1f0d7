// Control connection: request/reply lockstep, one byte per read so nothing is
// read ahead of a reply's end. A bare LF ends a line as CR LF does (servers
// and proxies that write LF alone exist), and a reply is capped so a server
// that streams endless lines cannot exhaust memory.
#include "downlib/control_connection.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "downlib/error_codes.h"

namespace downlib {
namespace {

std::string Format(const char* pattern, const std::string& text, int number = 0) {
    std::string out;
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += text;
            ++p;
        } else if (p[0] == '%' && p[1] == 'd') {
            out += std::to_string(number);
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

std::string AddressText(const char* pattern, const std::string& address, int port) {
    return Format(pattern, address, port);
}

// The message a log shows for a reply line: without its line end.
std::string LineForLog(const std::string& line) {
    std::size_t end = line.size();
    while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r')) --end;
    return line.substr(0, end);
}

bool IsFinalLine(const std::string& line) {
    return line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) &&
           std::isdigit(static_cast<unsigned char>(line[2])) && line[3] == ' ';
}

constexpr std::size_t kLoginFieldLimit = 250;

}  // namespace

std::string DateTimeText(int year, int month, int day, int hour, int minute, int second) {
    std::string text =
        std::to_string(year) + "年" + std::to_string(month) + "月" + std::to_string(day) + "日";
    if (second != 0)
        text += std::to_string(hour) + "时" + std::to_string(minute) + "分" + std::to_string(second) + "秒";
    else if (minute != 0)
        text += std::to_string(hour) + "时" + std::to_string(minute) + "分";
    else if (hour != 0)
        text += std::to_string(hour) + "时";
    return text;
}

std::string TimeText() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return DateTimeText(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                        local.tm_sec);
}

void EmitLog(SessionConnection& connection, const std::string& message, int kind) {
    LogRecord record{kind, TimeText(), message};
    if (connection.heldLog) {
        connection.heldLog->push_back(std::move(record));
        return;
    }
    DeliverLog(connection, record);
}

void DeliverLog(SessionConnection& connection, const LogRecord& record) {
    TransferSession& session = *connection.session;
    if (session.IsAssistant()) {
        if (session.logCallback)
            session.logCallback(0, record.timeText, record.message, record.kind, session.handle());
        return;
    }
    if (session.queueLog) session.queueLog(&connection, record);
}

void HeldLog::Deliver() {
    Release();
    for (const LogRecord& record : records_) DeliverLog(connection_, record);
    records_.clear();
}

void ReportSocketError(SessionConnection& connection, int code) {
    EmitLog(connection, SocketErrorReportText(code), LogError);
}

namespace {

// Reads one line; `failure` receives the engine code that ended the read
// early (0 when the line ended or filled the capacity).
std::size_t ReadLineOrFail(SessionConnection& connection, std::string& line, std::size_t capacity,
                           const Deadline& deadline, int& failure) {
    line.clear();
    failure = 0;
    if (capacity < 1) return 0;
    // Replies are read a block at a time rather than a byte per system call;
    // what follows the line waits on the socket for the next one.
    std::string& ahead = connection.control.ReadAhead();
    while (line.size() + 1 < capacity) {
        if (ahead.empty()) {
            const int left = deadline.RemainingMs();
            if (left <= 0) {
                failure = ToInt(ErrorCode::ReceiveTimeout);
                ReportSocketError(connection, failure);
                return line.size();
            }
            char block[kControlReadSize];
            int reads = 1;
            ReceiveOptions options;
            options.connection = &connection;  // a stopped task stops waiting for replies
            options.idleTimeoutMs = left;
            options.total = sizeof block;
            options.chunk = sizeof block;
            options.countLimit = &reads;  // whatever the first read brings
            std::int64_t n = ReceiveWithTimeout(connection.control.fd(), block, options);
            if (n == 0 && connection.StopRequested()) {
                failure = ToInt(ErrorCode::Stopped);
                return line.size();
            }
            if (n <= 0) {
                failure = n < 0 ? static_cast<int>(n) : ToInt(ErrorCode::PeerClosed);
                ReportSocketError(connection, failure);
                return line.size();
            }
            ahead.assign(block, static_cast<std::size_t>(n));
        }
        const std::size_t room = capacity - 1 - line.size();
        const std::size_t end = ahead.find('\n');
        const std::size_t take = std::min(room, end == std::string::npos ? ahead.size() : end + 1);
        line.append(ahead, 0, take);
        ahead.erase(0, take);
        if (line.back() == '\n') break;
    }
    return line.size();
}

bool StartsWithCode(const std::string& line) {
    return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) &&
           std::isdigit(static_cast<unsigned char>(line[2]));
}

}  // namespace

std::size_t ReadLine(SessionConnection& connection, std::string& line, std::size_t capacity,
                     const Deadline& deadline) {
    int failure = 0;
    return ReadLineOrFail(connection, line, capacity, deadline, failure);
}

int ReadReply(SessionConnection& connection, std::string& reply, int timeoutMs) {
    return ReadReply(connection, reply, Deadline::After(timeoutMs));
}

int ReadReply(SessionConnection& connection, std::string& reply, const Deadline& deadline) {
    reply.clear();
    std::string line;
    std::size_t total = 0;
    // `stepLost`: part of the reply may still be on its way, so whatever comes
    // next cannot be taken as the answer to another command.
    auto fail = [&](bool stepLost) {
        reply.clear();
        if (stepLost) connection.outOfStep = true;
        EmitLog(connection, "获得返回命令失败", LogError);
        return 0;
    };
    auto overLimit = [&] {
        if (total <= kMaxReplyBytes) return false;
        EmitLog(connection, "服务器回应过长, 已放弃读取", LogError);
        return true;
    };
    // Reads the next piece of a line; false when the reply cannot go on.
    // A line cut short by the server closing the connection still counts:
    // nothing more can come after it, so nothing can be mispaired.
    auto next = [&](bool& lineEnded) {
        int failure = 0;
        const std::size_t n = ReadLineOrFail(connection, line, kLineBufferSize, deadline, failure);
        if (n == 0 || (failure != 0 && !Is(failure, ErrorCode::PeerClosed))) return false;
        total += n;
        EmitLog(connection, LineForLog(line), LogReply);
        lineEnded = line.back() == '\n' || failure != 0;
        return true;
    };
    bool atLineStart = true;
    bool multiLine = false;
    while (true) {
        bool lineEnded = false;
        const bool startsLine = atLineStart;
        if (!next(lineEnded)) return fail(true);
        atLineStart = lineEnded;
        if (startsLine && IsFinalLine(line)) break;
        if (startsLine && !multiLine && StartsWithCode(line)) {
            // The first line of a reply is "nnn text" or opens a multi-line
            // reply with "nnn-". A bare "257" or a "2570 ..." would otherwise
            // leave us waiting for a final line that never comes.
            if (line.size() > 3 && line[3] == '-') {
                multiLine = true;
            } else {
                EmitLog(connection, "服务器回应格式错误", LogError);
                if (!lineEnded) return fail(true);
                return fail(false);
            }
        }
        if (overLimit()) return fail(true);
    }
    int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    reply = line;
    // A final line longer than the line buffer arrives in pieces.
    bool lineEnded = atLineStart;
    while (!lineEnded) {
        if (overLimit()) return fail(true);
        if (!next(lineEnded)) return fail(true);
        reply += line;
    }
    // Codes run from 100; a "000" line would otherwise come back as 0, the
    // value that means no reply, with its text left in the buffer.
    if (code < 100) return fail(false);
    connection.lastReply = reply;
    return code;
}

int ReadPendingReply(SessionConnection& connection, int timeoutMs) {
    const Deadline deadline = Deadline::After(timeoutMs);
    std::string reply;
    int code = 0;
    do {
        code = ReadReply(connection, reply, deadline);
    } while (code >= 100 && code < 200);
    return code;
}

bool IsSafeCommandText(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

int SendCommand(SessionConnection& connection, const std::string& command, std::string& reply,
                int timeoutMs) {
    reply.clear();
    if (connection.outOfStep) {
        EmitLog(connection, "控制连接已失去同步, 命令未发送", LogError);
        return -1;
    }
    // A CR, LF or NUL inside a name would end the command early and smuggle
    // another one onto the connection.
    if (!IsSafeCommandText(command)) {
        EmitLog(connection, "命令中含有回车、换行或空字符, 已拒绝发送", LogError);
        return -1;
    }
    if (command.size() + 3 > kCommandBufferSize) {
        EmitLog(connection, "命令过长, 已拒绝发送", LogError);
        return -1;
    }
    std::string line = command + "\r\n";
    std::int64_t sent = SendWithTimeout(connection.control.fd(), timeoutMs, line.data(), line.size());
    if (sent < 0) return -1;
    // A short send on a blocking socket is rare; finish the line rather than
    // leave a half command on the wire.
    while (static_cast<std::size_t>(sent) < line.size()) {
        std::int64_t more =
            SendWithTimeout(connection.control.fd(), timeoutMs, line.data() + sent, line.size() - sent);
        if (more < 0) return -1;
        sent += more;
    }
    return ReadReply(connection, reply, timeoutMs);
}

bool ExpectWelcome(SessionConnection& connection, std::string& reply, int timeoutMs) {
    const Deadline deadline = Deadline::After(timeoutMs);
    int code = 0;
    do {
        code = ReadReply(connection, reply, deadline);
    } while (code == 120);
    return code == 220;
}

bool Login(SessionConnection& connection, const std::string& user, const std::string& password,
           int timeoutMs) {
    if (user.size() > kLoginFieldLimit) return false;
    std::string reply;
    EmitLog(connection, "USER " + user, LogCommand);
    int code = SendCommand(connection, "USER " + user, reply, timeoutMs);
    if (code == 230) return true;
    if (code != 331) return false;
    if (password.size() > kLoginFieldLimit) return false;
    EmitLog(connection, "PASS ******", LogCommand);
    code = SendCommand(connection, "PASS " + password, reply, timeoutMs);
    if (code == 230) return true;
    EmitLog(connection, code == 530 ? "出现错误" : "暂时不支持的回应", LogError);
    return false;
}

bool SendQuit(SessionConnection& connection, std::string& reply, int timeoutMs) {
    return SendCommand(connection, "QUIT", reply, timeoutMs) == 221;
}

OpenResult OpenControlConnection(SessionConnection& connection, bool resolve, int greetingTimeoutMs,
                                 GreetingTexts texts) {
    TransferSession& session = *connection.session;
    // A new control socket: nothing of the old one's replies can arrive here.
    connection.outOfStep = false;
    if (IsDottedQuad(session.host)) {
        session.serverAddress = session.host;
    } else if (resolve || session.serverAddress.empty()) {
        EmitLog(connection, Format("正在解析域名 [%s]", session.host), LogInfo);
        std::optional<std::string> address = ResolveHost(session.host);
        if (!address) {
            EmitLog(connection, Format("解析域名 [%s]出错", session.host), LogError);
            return OpenResult::ResolveFailed;
        }
        session.serverAddress = *address;
    }
    EmitLog(connection, AddressText("正在连接 [%s:%d]", session.serverAddress, session.port), LogInfo);
    int result = ConnectWithTimeout(connection.control.fd(), session.serverAddress, session.port,
                                    session.connectTimeout, session.StopFlagWatch());
    if (Is(result, ErrorCode::Stopped)) return OpenResult::Stopped;
    if (Is(result, ErrorCode::ConnectTimeout)) {
        EmitLog(connection, AddressText("连接 [%s:%d]超时", session.serverAddress, session.port), LogError);
        return OpenResult::ConnectTimeout;
    }
    if (result != 0) {
        EmitLog(connection, AddressText("连接 [%s:%d]失败", session.serverAddress, session.port), LogError);
        ReportSocketError(connection, result);
        return OpenResult::ConnectFailed;
    }
    if (texts == GreetingTexts::Download) EmitLog(connection, "连接成功, 等待欢迎消息", LogInfo);
    std::string reply;
    if (!ExpectWelcome(connection, reply, greetingTimeoutMs)) {
        EmitLog(connection, "无法得到欢迎消息", LogError);
        return OpenResult::NoWelcome;
    }
    if (texts == GreetingTexts::Upload)
        EmitLog(connection, AddressText("连接 [%s:%d]成功", session.serverAddress, session.port), LogInfo);
    if (!Login(connection, session.user, session.password, greetingTimeoutMs)) {
        EmitLog(connection, "登录失败", LogError);
        return OpenResult::LoginFailed;
    }
    EmitLog(connection, "登录成功", LogReply);
    return OpenResult::Ok;
}

}  // namespace downlib
