// The FTP control channel: log events, reply lines and whole replies, command
// lines, the greeting, USER/PASS and QUIT, and the opening sequence that
// resolves, connects, reads the greeting and logs in.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "downlib/reply_assembler.h"
#include "downlib/session.h"

namespace downlib {

inline constexpr std::size_t kCommandBufferSize = 1024;  // a command holds at most 1021 bytes
inline constexpr std::size_t kControlReadSize = 4096;    // one read of reply bytes

// The local time of this moment in the standard date-time text form.
std::string TimeText();

// Hands one log event to the session's owner: at once for an assistant
// session, through the task's event queue for a task.
void EmitLog(SessionConnection& connection, const std::string& message, int kind);
// Delivers a log record made earlier (its own time text kept).
void DeliverLog(SessionConnection& connection, const LogRecord& record);

// Holds a connection's log events back while it lives: Deliver hands them on
// in order; otherwise they are dropped with it. For exchanges whose lines
// only count when they succeed.
class HeldLog {
public:
    explicit HeldLog(SessionConnection& connection) : connection_(connection) {
        connection_.heldLog = &records_;
    }
    ~HeldLog() { connection_.heldLog = nullptr; }
    HeldLog(const HeldLog&) = delete;
    HeldLog& operator=(const HeldLog&) = delete;

    // Events from now on go out at once; the held ones wait for Deliver.
    void Release() { connection_.heldLog = nullptr; }
    void Deliver();

private:
    SessionConnection& connection_;
    std::vector<LogRecord> records_;
};

// ReportSocketError: one LogError event with the text of an engine code.
void ReportSocketError(SessionConnection& connection, int code);

// Reads a whole reply; `reply` receives the final line. The three-digit code,
// or 0. The time-out bounds the whole reply, however slowly its bytes come.
// A reply that did not arrive whole leaves the connection out of step.
int ReadReply(SessionConnection& connection, std::string& reply, int timeoutMs);
int ReadReply(SessionConnection& connection, std::string& reply, const Deadline& deadline);
// The same, with every line of the reply in `allLines` as well.
int ReadReply(SessionConnection& connection, std::string& reply, const Deadline& deadline,
              std::string* allLines);
// Sends one command line and reads its reply. The reply code, 0 when no reply
// could be read, -1 when the command could not (or must not) be sent. Nothing
// is sent on a connection that is out of step: its next reply could belong to
// an earlier command.
int SendCommand(SessionConnection& connection, const std::string& command, std::string& reply, int timeoutMs);
// Sends several command lines in one write without reading any reply (the
// caller reads one reply per line, in order). False, with nothing sent, for
// an out-of-step connection or a line SendCommand would refuse; false too
// when the send failed (the connection is then out of step).
bool SendLines(SessionConnection& connection, const std::vector<std::string>& commands, int timeoutMs);
// After a transfer command was answered 1xx and its data channel failed: the
// final reply the server still owes, read within the time-out so that the
// next command is not paired with it. The code, or 0 (out of step).
int ReadPendingReply(SessionConnection& connection, int timeoutMs);
// True for a text that may travel on the control connection.
bool IsSafeCommandText(const std::string& text);

// True when the greeting is 220. A "120 ready in n minutes" first is passed
// over; the time-out bounds the whole greeting.
bool ExpectWelcome(SessionConnection& connection, std::string& reply, int timeoutMs);
bool Login(SessionConnection& connection, const std::string& user, const std::string& password,
           int timeoutMs);
bool SendQuit(SessionConnection& connection, std::string& reply, int timeoutMs);

enum class OpenResult { Ok, ResolveFailed, Stopped, ConnectTimeout, ConnectFailed, NoWelcome, LoginFailed };

// Downloads announce the wait for the greeting; uploads announce the
// connection once the greeting came.
enum class GreetingTexts { Download, Upload };

// Resolve (when `resolve` and the host is a name), connect, greeting and login
// on the connection's control socket, with their progress and failure texts.
// Leaves "登录失败" after a missing greeting, and the stop case, to the caller.
OpenResult OpenControlConnection(SessionConnection& connection, bool resolve, int greetingTimeoutMs,
                                 GreetingTexts texts = GreetingTexts::Download);

}  // namespace downlib
