// Control connection: request/reply lockstep. Reply bytes are read a block at
// a time; whatever follows a reply's end waits with the socket for the next
// command, so nothing read ahead is lost or paired with the wrong command.
// The bytes become replies in the reply assembler; this side only moves them.
#include "downlib/control_connection.h"

#include <ctime>

#include "downlib/connection_limit.h"
#include "downlib/error_codes.h"
#include "downlib/ftp_tls.h"
#include "downlib/socket_address.h"

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
    if (record.kind == LogError) connection.lastError = record.message;
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

// Outcomes of one read of reply bytes from the control socket.
enum class ControlRead { Bytes, Closed, Failed };

// Reads what the server has sent so far, within the deadline; failures other
// than a stop are logged.
ControlRead ReadControlBytes(SessionConnection& connection, const Deadline& deadline, std::string& block) {
    const int left = deadline.RemainingMs();
    if (left <= 0) {
        ReportSocketError(connection, ToInt(ErrorCode::ReceiveTimeout));
        return ControlRead::Failed;
    }
    block.resize(kControlReadSize);
    int reads = 1;
    ReceiveOptions options;
    options.connection = &connection;  // a stopped task stops waiting for replies
    options.idleTimeoutMs = left;
    options.total = static_cast<std::int64_t>(block.size());
    options.chunk = static_cast<std::int64_t>(block.size());
    options.countLimit = &reads;  // whatever the first read brings
    const std::int64_t n = ReceiveWithTimeout(connection.control, block.data(), options);
    if (n == 0 && connection.StopRequested()) return ControlRead::Failed;
    if (n <= 0) {
        const int failure = n < 0 ? static_cast<int>(n) : ToInt(ErrorCode::PeerClosed);
        ReportSocketError(connection, failure);
        return failure == ToInt(ErrorCode::PeerClosed) ? ControlRead::Closed : ControlRead::Failed;
    }
    block.resize(static_cast<std::size_t>(n));
    return ControlRead::Bytes;
}

void DeliverAssemblerLog(SessionConnection& connection, ReplyAssembler& assembler) {
    for (const AssemblerLog& line : assembler.TakeLog()) EmitLog(connection, line.text, line.kind);
}

}  // namespace

int ReadReply(SessionConnection& connection, std::string& reply, int timeoutMs) {
    return ReadReply(connection, reply, Deadline::After(timeoutMs));
}

int ReadReply(SessionConnection& connection, std::string& reply, const Deadline& deadline) {
    return ReadReply(connection, reply, deadline, nullptr);
}

int ReadReply(SessionConnection& connection, std::string& reply, const Deadline& deadline,
              std::string* allLines) {
    reply.clear();
    if (allLines) allLines->clear();
    // Bytes read past the end of the last reply wait with the socket for this one.
    std::string& ahead = connection.control.ReadAhead();
    ReplyAssembler assembler;
    assembler.Feed(ahead);
    ahead.clear();
    std::string block;
    while (true) {
        std::optional<AssembledReply> whole = assembler.Next();
        DeliverAssemblerLog(connection, assembler);
        if (whole) {
            ahead = assembler.TakeUnread();
            reply = std::move(whole->finalLine);
            if (allLines) *allLines = std::move(whole->allLines);
            connection.lastReply = reply;
            return whole->code;
        }
        if (assembler.Progress() != ReplyProgress::NeedMore) break;
        const ControlRead read = ReadControlBytes(connection, deadline, block);
        if (read == ControlRead::Bytes) {
            assembler.Feed(block);
        } else if (read == ControlRead::Closed && assembler.HasPendingBytes()) {
            assembler.FeedEnd();
        } else {
            // What was read of the reply goes with it: the connection is out of step.
            assembler.Abandon();
            assembler.TakeUnread();
            DeliverAssemblerLog(connection, assembler);
            break;
        }
    }
    ahead = assembler.TakeUnread();
    if (assembler.Progress() == ReplyProgress::OutOfStep) connection.outOfStep = true;
    return 0;
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
    std::int64_t sent = SendWithTimeout(connection.control, timeoutMs, line.data(), line.size());
    if (sent < 0) return -1;
    // A short send on a blocking socket is rare; finish the line rather than
    // leave a half command on the wire.
    while (static_cast<std::size_t>(sent) < line.size()) {
        std::int64_t more =
            SendWithTimeout(connection.control, timeoutMs, line.data() + sent, line.size() - sent);
        if (more < 0) return -1;
        sent += more;
    }
    if (DataHandshakeDue(connection, command)) return CompleteTransferCommand(connection, reply, timeoutMs);
    return ReadReply(connection, reply, timeoutMs);
}

bool SendLines(SessionConnection& connection, const std::vector<std::string>& commands, int timeoutMs) {
    if (connection.outOfStep) {
        EmitLog(connection, "控制连接已失去同步, 命令未发送", LogError);
        return false;
    }
    std::string lines;
    for (const std::string& command : commands) {
        if (!IsSafeCommandText(command) || command.size() + 3 > kCommandBufferSize) {
            EmitLog(connection, "命令中含有回车、换行或空字符, 已拒绝发送", LogError);
            return false;
        }
        lines += command + "\r\n";
    }
    std::size_t sent = 0;
    while (sent < lines.size()) {
        std::int64_t more =
            SendWithTimeout(connection.control, timeoutMs, lines.data() + sent, lines.size() - sent);
        if (more < 0) {
            connection.outOfStep = sent > 0;
            return false;
        }
        sent += static_cast<std::size_t>(more);
    }
    return true;
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

namespace {

// A transfer task's last error line, and so the reason of its retry, names a
// refusal for too many connections, so that whoever runs several transfers
// can tell it from a wrong password. The browsing connection's log keeps its
// own texts.
void NoteConnectionLimit(SessionConnection& connection) {
    if (connection.session->IsAssistant() || !IsConnectionLimitReply(connection.lastReply)) return;
    std::string reply = connection.lastReply;
    while (!reply.empty() && (reply.back() == '\r' || reply.back() == '\n')) reply.pop_back();
    EmitLog(connection, kConnectionLimitLine + reply, LogError);
}

}  // namespace

OpenResult OpenControlConnection(SessionConnection& connection, bool resolve, int greetingTimeoutMs,
                                 GreetingTexts texts) {
    TransferSession& session = *connection.session;
    // A new control socket: nothing of the old one's replies can arrive here.
    connection.outOfStep = false;
    connection.lastReply.clear();
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
    if (SecureControlAfterConnect(connection) == TlsStart::Failed) return OpenResult::LoginFailed;
    if (texts == GreetingTexts::Download) EmitLog(connection, "连接成功, 等待欢迎消息", LogInfo);
    std::string reply;
    if (!ExpectWelcome(connection, reply, greetingTimeoutMs)) {
        EmitLog(connection, "无法得到欢迎消息", LogError);
        NoteConnectionLimit(connection);
        return OpenResult::NoWelcome;
    }
    if (texts == GreetingTexts::Upload)
        EmitLog(connection, AddressText("连接 [%s:%d]成功", session.serverAddress, session.port), LogInfo);
    if (SecureControlAfterGreeting(connection) == TlsStart::Failed) {
        EmitLog(connection, "登录失败", LogError);
        return OpenResult::LoginFailed;
    }
    if (!Login(connection, session.user, session.password, greetingTimeoutMs)) {
        EmitLog(connection, "登录失败", LogError);
        NoteConnectionLimit(connection);
        return OpenResult::LoginFailed;
    }
    EmitLog(connection, "登录成功", LogReply);
    if (!ProtectDataAfterLogin(connection)) return OpenResult::LoginFailed;
    return OpenResult::Ok;
}

}  // namespace downlib
