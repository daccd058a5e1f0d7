// Single-exchange FTP commands and the recursive delete built from them. Each
// takes the control connection and the reply time-out, sends one command and
// turns the reply code into a result; none logs its command line except
// SendRename and SendSize, whose callers want those lines logged for them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "downlib/session.h"

namespace downlib {

inline constexpr std::size_t kMaxCwdPath = 251;
// A hostile server can make every CWD succeed into a new folder; the
// recursive delete stops descending here.
inline constexpr int kMaxDeleteDepth = 64;
// ... or lists ever more folders side by side; the walk enters at most this many.
inline constexpr int kMaxDeleteFolders = 20000;

bool SendCwd(SessionConnection& connection, const std::string& path, int timeoutMs);
int SendCdup(SessionConnection& connection, int timeoutMs);
int SendMkd(SessionConnection& connection, const std::string& path, int timeoutMs);
int SendRmd(SessionConnection& connection, const std::string& path, int timeoutMs);
int SendDele(SessionConnection& connection, const std::string& path, int timeoutMs);
bool SendRename(SessionConnection& connection, const std::string& oldName, const std::string& newName,
                int timeoutMs);
// The folder named between the double quotes of a 257 reply (doubled quotes undone).
std::optional<std::string> SendPwd(SessionConnection& connection, int timeoutMs);
std::optional<std::string> ParsePwdReply(const std::string& reply);
// The size from a 213 reply, or -1 ("文件不存在" is logged on 550).
std::int64_t SendSize(SessionConnection& connection, const std::string& path, int timeoutMs);
// True when "REST 100" got 350 with "Restart" or "restart" in its text.
bool ProbeRestart(SessionConnection& connection, int timeoutMs, int* codeOut = nullptr);
int SendRestZero(SessionConnection& connection, int timeoutMs);
int SendRest(SessionConnection& connection, std::int64_t position, int timeoutMs);
int SendRetr(SessionConnection& connection, const std::string& path, int timeoutMs);
int SendStor(SessionConnection& connection, const std::string& path, int timeoutMs);
// Deletes everything inside a folder (the current one without a path), depth
// first, and leaves the folder. Links are deleted, never entered; a listed name
// that could reach outside the folder is left alone.
bool ClearRemoteDirectory(SessionConnection& connection, const std::optional<std::string>& path,
                          int timeoutMs);
// True for a listed name that is safe to send back as a name inside the
// listed folder: not empty, not "." or "..", no "/" or "\\" and no control byte.
bool IsPlainEntryName(const std::string& name);

}  // namespace downlib
