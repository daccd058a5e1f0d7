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
// The modification time from a 213 reply to MDTM (14 digits), or nothing.
std::optional<std::string> SendMdtm(SessionConnection& connection, const std::string& path, int timeoutMs);
// The MDTM command line SendMdtm sends for `path`, and the time its reply names.
std::string MdtmCommand(const std::string& path);
std::optional<std::string> MdtmFromReply(int code, const std::string& reply);
// The SIZE command line SendSize sends for `path`, and the size its reply
// names (-1 as SendSize, with its log line on 550).
std::string SizeCommand(const std::string& path);
std::int64_t SizeFromReply(SessionConnection& connection, int code, const std::string& reply);
// True when "REST 100" got 350 with "Restart" or "restart" in its text.
bool ProbeRestart(SessionConnection& connection, int timeoutMs, int* codeOut = nullptr);
int SendRestZero(SessionConnection& connection, int timeoutMs);
int SendRest(SessionConnection& connection, std::int64_t position, int timeoutMs);
int SendRetr(SessionConnection& connection, const std::string& path, int timeoutMs);
int SendStor(SessionConnection& connection, const std::string& path, int timeoutMs);
// Deletes everything inside a folder (the current one without a path), depth
// first, and leaves the folder. Links are deleted, never entered; a listed name
// that could reach outside the folder is left alone. `here` is the server's
// path of the folder being cleared: every subfolder entered must report a
// path below it, and every return from one must land in it again, or the
// walk stops before it deletes anything in the wrong place.
bool ClearRemoteDirectory(SessionConnection& connection, const std::optional<std::string>& path,
                          const std::string& here, int timeoutMs);
// A folder path that a recursive delete may take as its target: not empty,
// not the root, and no piece of it "." or ".." (the current folder, a parent).
bool IsDeletableFolderPath(const std::string& path);
// True when the server path `inner` lies strictly below `outer` ("/a/b" below
// "/a" and "/"; "/a" not below "/a", "/ab" not below "/a").
bool IsStrictlyBelow(const std::string& inner, const std::string& outer);
// The current folder after a PWD exchange (logged as "PWD"), or nothing.
std::optional<std::string> CurrentFolder(SessionConnection& connection, int timeoutMs);
// How the target of a recursive delete was found in its parent's listing.
enum class DeleteTarget {
    Folder,    // a plain folder, entered: the current folder is now exactly parent + "/" + name
    Link,      // a link: to be removed with DELE, never entered
    Unlisted,  // not in the parent's listing (some servers hide a link that loops): never entered
    Refused,   // not a folder, or entered somewhere else (logged)
};
// Lists the parent of `path` (relative to `start`, the current folder) and
// finds the target's own entry there. A plain folder is entered and proven
// with PWD to be exactly the parent's folder plus the name; `entered` then
// holds that path. A server that resolves a link on CWD (or lists `.` and
// `..` under other names) is caught here before anything is deleted.
DeleteTarget EnterDeleteTarget(SessionConnection& connection, const std::string& path,
                               const std::string& start, std::string& entered, int timeoutMs);
// `parent` + "/" + `name` as a server names the folder ("/" + "a" is "/a").
std::string ChildFolder(const std::string& parent, const std::string& name);
// Makes `folder` the current one again if it is not (CWD, logged), and proves
// it with PWD. False when the server will not go back there.
bool ReturnToFolder(SessionConnection& connection, const std::string& folder, int timeoutMs);

}  // namespace downlib
