// Remote file commands: CWD, CDUP, MKD, RMD, DELE, RNFR/RNTO, PWD, SIZE, the
// restart probe, REST, RETR, STOR, and the recursive content delete.
#include "downlib/remote_commands.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "downlib/control_connection.h"
#include "downlib/directory_listing.h"
#include "downlib/entry_name.h"
#include "downlib/part_file.h"

namespace downlib {
namespace {

std::string WithoutLeadingSlash(const std::string& path) {
    return !path.empty() && path[0] == '/' ? path.substr(1) : path;
}

int Exchange(SessionConnection& connection, const std::string& command, int timeoutMs) {
    std::string reply;
    return SendCommand(connection, command, reply, timeoutMs);
}

bool IsDotName(const std::string& name) { return name == "." || name == ".."; }

}  // namespace

bool SendCwd(SessionConnection& connection, const std::string& path, int timeoutMs) {
    if (path.size() > kMaxCwdPath) return false;
    return Exchange(connection, "CWD " + path, timeoutMs) == 250;
}

int SendCdup(SessionConnection& connection, int timeoutMs) { return Exchange(connection, "CDUP", timeoutMs); }

int SendMkd(SessionConnection& connection, const std::string& path, int timeoutMs) {
    return Exchange(connection, "MKD " + path, timeoutMs);
}

int SendRmd(SessionConnection& connection, const std::string& path, int timeoutMs) {
    return Exchange(connection, "RMD " + path, timeoutMs);
}

int SendDele(SessionConnection& connection, const std::string& path, int timeoutMs) {
    return Exchange(connection, "DELE " + path, timeoutMs);
}

bool SendRename(SessionConnection& connection, const std::string& oldName, const std::string& newName,
                int timeoutMs) {
    EmitLog(connection, "RNFR " + oldName, LogCommand);
    if (Exchange(connection, "RNFR " + oldName, timeoutMs) != 350) return false;
    EmitLog(connection, "RNTO " + newName, LogCommand);
    return Exchange(connection, "RNTO " + newName, timeoutMs) == 250;
}

// The name between the first quote and its closing quote; a quote inside the
// name is written twice ("/a""b" is /a"b).
std::optional<std::string> ParsePwdReply(const std::string& reply) {
    std::size_t open = reply.find('"');
    if (open == std::string::npos) return std::nullopt;
    std::string name;
    for (std::size_t i = open + 1; i < reply.size(); ++i) {
        if (reply[i] != '"') {
            name += reply[i];
        } else if (i + 1 < reply.size() && reply[i + 1] == '"') {
            name += '"';
            ++i;
        } else {
            return name;
        }
    }
    return std::nullopt;
}

std::optional<std::string> SendPwd(SessionConnection& connection, int timeoutMs) {
    std::string reply;
    if (SendCommand(connection, "PWD", reply, timeoutMs) != 257) return std::nullopt;
    return ParsePwdReply(reply);
}

std::int64_t SendSize(SessionConnection& connection, const std::string& path, int timeoutMs) {
    std::string command = "SIZE " + WithoutLeadingSlash(path);
    EmitLog(connection, command, LogReply);
    std::string reply;
    int code = SendCommand(connection, command, reply, timeoutMs);
    return SizeFromReply(connection, code, reply);
}

std::string SizeCommand(const std::string& path) { return "SIZE " + WithoutLeadingSlash(path); }

std::int64_t SizeFromReply(SessionConnection& connection, int code, const std::string& reply) {
    if (code == 550) {
        EmitLog(connection, "文件不存在", LogError);
        return -1;
    }
    if (code != 213) return -1;
    std::size_t at = reply.find("213");
    std::size_t i = at + 4;
    while (i < reply.size() && reply[i] == ' ') ++i;
    std::int64_t size = 0;
    bool digits = false;
    for (; i < reply.size() && std::isdigit(static_cast<unsigned char>(reply[i])); ++i) {
        if (size > (INT64_MAX - 9) / 10) return -1;  // no file is that large
        size = size * 10 + (reply[i] - '0');
        digits = true;
    }
    return digits ? size : -1;
}

std::optional<std::string> SendMdtm(SessionConnection& connection, const std::string& path, int timeoutMs) {
    std::string reply;
    int code = SendCommand(connection, MdtmCommand(path), reply, timeoutMs);
    return MdtmFromReply(code, reply);
}

std::string MdtmCommand(const std::string& path) { return "MDTM " + WithoutLeadingSlash(path); }

std::optional<std::string> MdtmFromReply(int code, const std::string& reply) {
    if (code != 213) return std::nullopt;
    return ParseMdtmReply(reply.substr(reply.find("213")));
}

bool ProbeRestart(SessionConnection& connection, int timeoutMs, int* codeOut) {
    std::string reply;
    int code = SendCommand(connection, "REST 100", reply, timeoutMs);
    if (codeOut) *codeOut = code;
    return code == 350 &&
           (reply.find("Restart") != std::string::npos || reply.find("restart") != std::string::npos);
}

int SendRestZero(SessionConnection& connection, int timeoutMs) {
    return Exchange(connection, "REST 0", timeoutMs);
}

int SendRest(SessionConnection& connection, std::int64_t position, int timeoutMs) {
    return Exchange(connection, "REST " + std::to_string(position), timeoutMs);
}

int SendRetr(SessionConnection& connection, const std::string& path, int timeoutMs) {
    return Exchange(connection, "RETR " + WithoutLeadingSlash(path), timeoutMs);
}

int SendStor(SessionConnection& connection, const std::string& path, int timeoutMs) {
    return Exchange(connection, "STOR " + path, timeoutMs);
}

namespace {

// "/a/" and "/a" are the same folder; "/" stays "/".
std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

struct DeleteWalk {
    SessionConnection& connection;
    int timeoutMs;
    int foldersLeft = kMaxDeleteFolders;
};

bool ClearLevel(DeleteWalk& walk, const std::optional<std::string>& path, const std::string& here,
                int depth) {
    SessionConnection& connection = walk.connection;
    if (depth >= kMaxDeleteDepth || walk.foldersLeft <= 0) {
        EmitLog(connection, "目录层次过深或目录过多, 停止删除", LogError);
        return false;
    }
    std::vector<FileEntry> entries;
    if (ListEntries(connection, path, entries, walk.timeoutMs) <= 0) return false;
    for (const FileEntry& entry : entries) {
        if (IsDotName(entry.name)) continue;
        if (!IsSafeEntryName(entry.name, EntryNameUse::ServerChild)) {
            EmitLog(connection, "条目名称异常, 不删除:" + entry.name, LogError);
            continue;
        }
        // A link is removed as a file: entering it would delete what it points to.
        if (entry.size != -1 || entry.isLink) {
            EmitLog(connection, "DEL " + entry.name, LogCommand);
            if (SendDele(connection, entry.name, walk.timeoutMs) != 250) return false;
            continue;
        }
        EmitLog(connection, "CWD " + entry.name, LogCommand);
        if (!SendCwd(connection, entry.name, walk.timeoutMs)) continue;
        --walk.foldersLeft;
        // A server that lists a link to another folder as a folder would take
        // us there: what we entered must be exactly the child we listed.
        std::optional<std::string> inside = CurrentFolder(connection, walk.timeoutMs);
        const bool exact = inside && WithoutTrailingSlash(*inside) == ChildFolder(here, entry.name);
        if (exact) {
            ClearLevel(walk, std::nullopt, WithoutTrailingSlash(*inside), depth + 1);
            EmitLog(connection, "CDUP", LogCommand);
            SendCdup(connection, walk.timeoutMs);
        } else {
            EmitLog(connection, "目录" + entry.name + "不在" + here + "之下, 不删除", LogError);
        }
        // CDUP after a link goes to the link target's parent on some servers:
        // the names of this listing must not be deleted anywhere but here.
        if (!ReturnToFolder(connection, here, walk.timeoutMs)) return false;
        if (!exact) continue;
        EmitLog(connection, "RMD " + entry.name, LogCommand);
        if (SendRmd(connection, entry.name, walk.timeoutMs) != 250) return false;
    }
    return true;
}

}  // namespace

std::string ChildFolder(const std::string& parent, const std::string& name) {
    const std::string base = WithoutTrailingSlash(parent);
    return base == "/" ? "/" + name : base + "/" + name;
}

DeleteTarget EnterDeleteTarget(SessionConnection& connection, const std::string& path,
                               const std::string& start, std::string& entered, int timeoutMs) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    std::optional<std::string> parent;
    if (slash != std::string::npos) parent = slash == 0 ? std::string("/") : trimmed.substr(0, slash);

    std::vector<FileEntry> entries;
    if (ListEntries(connection, parent, entries, timeoutMs) < 0) {
        EmitLog(connection, "无法列出" + path + "所在的目录, 不删除", LogError);
        return DeleteTarget::Refused;
    }
    auto own =
        std::find_if(entries.begin(), entries.end(), [&](const FileEntry& e) { return e.name == name; });
    if (own == entries.end()) return DeleteTarget::Unlisted;
    if (own->isLink) return DeleteTarget::Link;
    if (own->size != -1) {
        EmitLog(connection, path + "不是目录, 不删除", LogError);
        return DeleteTarget::Refused;
    }

    // The parent as the server names it, then the child entered from there.
    std::string parentFolder = start;
    if (parent) {
        EmitLog(connection, "CWD " + *parent, LogCommand);
        std::optional<std::string> there;
        if (SendCwd(connection, *parent, timeoutMs)) there = CurrentFolder(connection, timeoutMs);
        if (!there) {
            EmitLog(connection, "无法进入" + path + "所在的目录, 不删除", LogError);
            ReturnToFolder(connection, start, timeoutMs);
            return DeleteTarget::Refused;
        }
        parentFolder = *there;
    }
    EmitLog(connection, "CWD " + name, LogCommand);
    if (!SendCwd(connection, name, timeoutMs)) {
        ReturnToFolder(connection, start, timeoutMs);
        return DeleteTarget::Refused;
    }
    std::optional<std::string> inside = CurrentFolder(connection, timeoutMs);
    const std::string expected = ChildFolder(parentFolder, name);
    if (!inside || WithoutTrailingSlash(*inside) != expected) {
        EmitLog(connection,
                "进入" + path + "后的目录" + inside.value_or("(未知)") + "不是" + expected + ", 不删除",
                LogError);
        ReturnToFolder(connection, start, timeoutMs);
        return DeleteTarget::Refused;
    }
    entered = expected;
    return DeleteTarget::Folder;
}

bool IsDeletableFolderPath(const std::string& path) {
    bool named = false;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos) end = path.size();
        const std::string piece = path.substr(start, end - start);
        if (IsDotName(piece)) return false;
        if (!piece.empty()) named = true;
        start = end + 1;
    }
    return named;
}

bool IsStrictlyBelow(const std::string& inner, const std::string& outer) {
    const std::string in = WithoutTrailingSlash(inner);
    const std::string out = WithoutTrailingSlash(outer);
    if (in.empty() || out.empty() || in == out) return false;
    if (out == "/") return in[0] == '/';
    return in.size() > out.size() && in.compare(0, out.size(), out) == 0 && in[out.size()] == '/';
}

std::optional<std::string> CurrentFolder(SessionConnection& connection, int timeoutMs) {
    EmitLog(connection, "PWD", LogCommand);
    return SendPwd(connection, timeoutMs);
}

bool ReturnToFolder(SessionConnection& connection, const std::string& folder, int timeoutMs) {
    std::optional<std::string> now = CurrentFolder(connection, timeoutMs);
    if (now && WithoutTrailingSlash(*now) == WithoutTrailingSlash(folder)) return true;
    EmitLog(connection, "CWD " + folder, LogCommand);
    if (SendCwd(connection, folder, timeoutMs)) {
        now = CurrentFolder(connection, timeoutMs);
        if (now && WithoutTrailingSlash(*now) == WithoutTrailingSlash(folder)) return true;
    }
    EmitLog(connection, "无法回到目录" + folder + ", 停止删除", LogError);
    return false;
}

bool ClearRemoteDirectory(SessionConnection& connection, const std::optional<std::string>& path,
                          const std::string& here, int timeoutMs) {
    DeleteWalk walk{connection, timeoutMs};
    return ClearLevel(walk, path, WithoutTrailingSlash(here), 0);
}

}  // namespace downlib
