#include "downlib/remote_file_time.h"

#include <cstdio>

#include "downlib/control_connection.h"
#include "downlib/server_features.h"

namespace downlib {

std::optional<std::string> FileTimeDigits(std::time_t seconds) {
    std::tm parts{};
    if (::gmtime_r(&seconds, &parts) == nullptr) return std::nullopt;
    const int year = parts.tm_year + 1900;
    if (year < 1000 || year > 9999) return std::nullopt;
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", year, parts.tm_mon + 1, parts.tm_mday,
                  parts.tm_hour, parts.tm_min, parts.tm_sec);
    return std::string(text);
}

std::string SetFileTimeCommand(bool mfmt, const std::string& digits, const std::string& path) {
    return (mfmt ? "MFMT " : "MDTM ") + digits + " " + path;
}

bool SetRemoteFileTime(SessionConnection& connection, const std::string& path, const std::string& digits) {
    if (connection.facts.fileTimeRefused) return false;
    const bool mfmt = HasFeature(ServerFeatures(connection), "MFMT");
    const std::string command = SetFileTimeCommand(mfmt, digits, path);
    EmitLog(connection, command, LogCommand);
    std::string reply;
    const int code = SendCommand(connection, command, reply, connection.session->replyTimeout);
    // MFMT answers 213; vsftpd's MDTM form answers 213 as well. A server
    // that reads the MDTM form as a query for a file named "digits path"
    // answers 550 and sets nothing.
    if (code == 213) return true;
    if (code > 0) {
        connection.facts.fileTimeRefused = true;
        EmitLog(connection, "服务器不能设置文件的修改时间, 以后上传同一文件时不能确认内容相同, 会重新发送",
                LogInfo);
    }
    return false;
}

}  // namespace downlib
