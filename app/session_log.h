// The session log: every engine event and every Application action as one
// time-stamped line of logList, painted at once so that each line is on screen
// while the command that produced it still runs.
#pragma once

#include <string>

#include "downlib/ftp_engine.h"
#include "toolkit/text.h"

namespace app {

struct App;

// "H:M:S" without leading zeros, of the time text (the standard date-time
// form; missing parts count as 0), or of the current local time when
// useTimeText is false.
std::string ClockText(const std::string& timeText, bool useTimeText);
std::string ClockTextOf(const toolkit::DateTime& time);

// The line as the log shows it: every control byte (a name's line break, a
// hostile server's escape sequence) written as "%XX", so one line stays one
// line and nothing reaches the screen as a control.
std::string PrintableLine(const std::string& line);

void AppendLog(App& app, const std::string& line);
// The line stamped with the time now, as the window's own notes are.
void AppendLogNow(App& app, const std::string& message);

// The LogCallback handed to ftpClient's Connect.
void OnEngineEvent(App& app, downlib::Handle connection, const std::string& timeText,
                   const std::string& message, int kind, downlib::Handle session);

}  // namespace app
