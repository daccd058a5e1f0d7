// The synchronous client: each command runs on the caller's thread over the
// session's control connection and turns reply codes into plain results.
#include <algorithm>

#include "downlib/control_connection.h"
#include "downlib/directory_listing.h"
#include "downlib/ftp_engine.h"
#include "downlib/remote_commands.h"
#include "downlib/session.h"

namespace downlib {

DezAziveduza::DezAziveduza() = default;
DezAziveduza::~DezAziveduza() = default;

void DezAziveduza::SetWaitHook(WaitHook hook) { waitHook_ = std::move(hook); }

void DezAziveduza::SetTls(TlsMode mode, TlsTrust trust) {
    tlsMode_ = mode;
    tlsTrust_ = std::move(trust);
}

bool DezAziveduza::IsConnected() const { return session_ && session_->IsLive(); }

bool DezAziveduza::Connect(const std::string& url, const std::string& user, const std::string& password,
                           int port, LogCallback callback, std::optional<int> timeoutMs) {
    ScopedWaitHook waits(&waitHook_);
    if (session_) return false;
    std::string fullUrl = url;
    if (fullUrl.empty() || fullUrl.back() != '/') fullUrl += '/';
    int timeout = timeoutMs.value_or(30000);

    TaskParam param;
    param.url = fullUrl;
    param.user = user;
    param.password = password;
    param.logCallback = std::move(callback);
    param.tls = tlsMode_;
    param.tlsTrust = tlsTrust_;
    param.connectTimeout = param.sendTimeout = param.replyTimeout = timeout;
    std::unique_ptr<TransferSession> session = CreateSession(param, TaskUse::Assistant);
    if (!session) return false;
    session->port = static_cast<std::uint16_t>(port & 0xFFFF);

    SessionConnection& control = session->AddConnection();
    control.control = OpenTcpSocket();
    if (!control.control) return false;
    OpenResult result = OpenControlConnection(control, true, session->replyTimeout);
    if (result == OpenResult::Stopped) {
        EmitLog(control, "连接 [" + session->serverAddress + ":" + std::to_string(session->port) + "]失败",
                LogError);
    }
    if (result == OpenResult::NoWelcome) EmitLog(control, "登录失败", LogError);
    if (result != OpenResult::Ok) return false;
    session_ = std::move(session);
    return true;
}

bool DezAziveduza::Disconnect(std::optional<int> quitWaitMs) {
    if (!session_) return false;
    ScopedWaitHook waits(&waitHook_);
    if (SessionConnection* control = session_->FirstConnection()) {
        EmitLog(*control, "QUIT", LogCommand);
        std::string reply;
        int wait = session_->replyTimeout;
        if (quitWaitMs && *quitWaitMs >= 0) wait = std::min(wait, *quitWaitMs);
        SendQuit(*control, reply, wait);
    }
    session_.reset();
    return true;
}

}  // namespace downlib

namespace downlib {
namespace {

// The session's control connection when the object is connected.
SessionConnection* Control(const std::unique_ptr<TransferSession>& session) {
    if (!session || !session->IsLive()) return nullptr;
    return session->FirstConnection();
}

std::string LineForLog(const std::string& reply) {
    std::size_t end = reply.size();
    while (end > 0 && (reply[end - 1] == '\n' || reply[end - 1] == '\r')) --end;
    return reply.substr(0, end);
}

}  // namespace

std::string DezAziveduza::GetCurrentDir() {
    ScopedWaitHook waits(&waitHook_);
    SessionConnection* control = Control(session_);
    if (!control) return {};
    EmitLog(*control, "PWD", LogCommand);
    return SendPwd(*control, session_->replyTimeout).value_or(std::string());
}

bool DezAziveduza::ChangeDir(const std::string& path) {
    ScopedWaitHook waits(&waitHook_);
    SessionConnection* control = Control(session_);
    if (!control) return false;
    EmitLog(*control, "CWD " + path, LogCommand);
    return SendCwd(*control, path, session_->replyTimeout);
}

int DezAziveduza::ListDir(const std::optional<std::string>& path, std::vector<std::string>* names,
                          std::vector<std::int32_t>* flags, std::vector<std::int64_t>* sizes,
                          std::vector<double>* times) {
    ScopedWaitHook waits(&waitHook_);
    SessionConnection* control = Control(session_);
    if (!control) return -1;
    std::vector<FileEntry> entries;
    int count = ListEntries(*control, path, entries, session_->replyTimeout);
    if (count <= 0) return count;
    if (names) names->clear();
    if (flags) flags->clear();
    if (sizes) sizes->clear();
    if (times) times->clear();
    for (const FileEntry& entry : entries) {
        if (names) names->push_back(entry.name);
        if (flags) flags->push_back(entry.isLink ? 1 : 0);
        if (sizes) sizes->push_back(entry.size);
        if (times) times->push_back(entry.modified);
    }
    return count;
}

bool DezAziveduza::RenameEntry(const std::string& oldName, const std::string& newName) {
    ScopedWaitHook waits(&waitHook_);
    SessionConnection* control = Control(session_);
    if (!control) return false;
    return SendRename(*control, oldName, newName, session_->replyTimeout);
}

bool DezAziveduza::DeleteEntry(const std::string& path) {
    ScopedWaitHook waits(&waitHook_);
    SessionConnection* control = Control(session_);
    if (!control) return false;
    EmitLog(*control, "DEL " + path, LogCommand);
    return SendDele(*control, path, session_->replyTimeout) == 250;
}

bool DezAziveduza::MakeDir(const std::string& path) {
    ScopedWaitHook waits(&waitHook_);
    SessionConnection* control = Control(session_);
    if (!control) return false;
    EmitLog(*control, "MKD " + path, LogCommand);
    return SendMkd(*control, path, session_->replyTimeout) == 257;
}

bool DezAziveduza::RemoveDir(const std::string& path) {
    ScopedWaitHook waits(&waitHook_);
    SessionConnection* control = Control(session_);
    if (!control) return false;
    int timeout = session_->replyTimeout;
    // Some servers take an empty CWD, ".", ".." or "sub/.." to the root or a
    // parent, and the walk would then empty the whole account.
    if (!IsDeletableFolderPath(path)) {
        EmitLog(*control, "拒绝删除目录\"" + path + "\": 它是当前目录、上级目录或根目录", LogError);
        return false;
    }
    std::optional<std::string> start = CurrentFolder(*control, timeout);
    if (!start) {
        EmitLog(*control, "无法确定当前目录, 不删除" + path, LogError);
        return false;
    }
    std::string target;
    switch (EnterDeleteTarget(*control, path, *start, target, timeout)) {
        case DeleteTarget::Link:
            // Entering a link would empty the folder it points to.
            EmitLog(*control, "DEL " + path, LogCommand);
            return SendDele(*control, path, timeout) == 250;
        case DeleteTarget::Unlisted:
            // What a server hides from its listing is never entered. DELE
            // removes a link (proftpd does not list one that loops back to
            // a parent) and never a folder or its content.
            EmitLog(*control, "DEL " + path, LogCommand);
            if (SendDele(*control, path, timeout) == 250) return true;
            EmitLog(*control, "上级目录的列表中没有" + path + ", 不删除", LogError);
            return false;
        case DeleteTarget::Refused:
            return false;
        case DeleteTarget::Folder:
            break;
    }
    // Only a folder strictly below the one we started from is emptied.
    if (!IsStrictlyBelow(target, *start)) {
        EmitLog(*control, "目录" + target + "不在" + *start + "之下, 不删除", LogError);
        ReturnToFolder(*control, *start, timeout);
        return false;
    }
    ClearRemoteDirectory(*control, std::nullopt, target, timeout);
    EmitLog(*control, LineForLog(control->lastReply), LogReply);
    EmitLog(*control, "CDUP", LogCommand);
    SendCdup(*control, timeout);
    // The path names the folder as seen from where we started; after a path
    // of several pieces CDUP lands elsewhere.
    if (!ReturnToFolder(*control, *start, timeout)) return false;
    EmitLog(*control, "RMD " + path, LogCommand);
    return SendRmd(*control, path, timeout) == 250;
}

}  // namespace downlib
