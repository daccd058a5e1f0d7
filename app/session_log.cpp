// Session log lines: clock text, one space, the message.
#include "app/session_log.h"

#include "app/app.h"

namespace app {

std::string ClockTextOf(const toolkit::DateTime& time) {
    return std::to_string(time.hour) + ":" + std::to_string(time.minute) + ":" + std::to_string(time.second);
}

std::string ClockText(const std::string& timeText, bool useTimeText) {
    if (!useTimeText) return ClockTextOf(toolkit::Now());
    // A text that is no date at all reads as midnight, like an empty time.
    const toolkit::DateTime none{1899, 12, 30, 0, 0, 0};
    return ClockTextOf(toolkit::TextToDateTime(timeText).value_or(none));
}

std::string PrintableLine(const std::string& line) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(line.size());
    for (unsigned char c : line) {
        if (c < 0x20 || c == 0x7F) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void AppendLog(App& app, const std::string& line) {
    toolkit::ListBox& log = app.ui.logList;
    log.AddLine(PrintableLine(line));
    log.SetTopLine(log.LineCount() - 1);
    log.RedrawNow();
}

void AppendLogNow(App& app, const std::string& message) {
    AppendLog(app, ClockText({}, false) + " " + message);
}

void OnEngineEvent(App& app, downlib::Handle, const std::string& timeText, const std::string& message, int,
                   downlib::Handle) {
    AppendLog(app, ClockText(timeText, true) + " " + message);
}

}  // namespace app
