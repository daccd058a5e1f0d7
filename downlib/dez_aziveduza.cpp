// The synchronous client: each command runs on the caller's thread over the
// session's control connection and turns reply codes into plain results.
#include "downlib/control_connection.h"
#include "downlib/ftp_engine.h"
#include "downlib/session.h"

namespace downlib {

DezAziveduza::DezAziveduza() = default;
DezAziveduza::~DezAziveduza() = default;

bool DezAziveduza::IsConnected() const { return session_ && session_->state.load() == 1; }

bool DezAziveduza::Connect(const std::string& url, const std::string& user, const std::string& password, int port,
                           LogCallback callback, std::optional<int> timeoutMs) {
    if (session_) return false;
    std::string fullUrl = url;
    if (fullUrl.empty() || fullUrl.back() != '/') fullUrl += '/';
    int timeout = timeoutMs.value_or(30000);

    TaskParam param;
    param.url = fullUrl;
    param.user = user;
    param.password = password;
    param.logCallback = std::move(callback);
    param.connectTimeout = param.sendTimeout = param.replyTimeout = timeout;
    std::unique_ptr<TransferSession> session = CreateSession(param, kModeAssistant);
    if (!session) return false;
    session->port = static_cast<std::uint16_t>(port & 0xFFFF);

    SessionConnection& control = session->AddConnection();
    control.control = OpenTcpSocket();
    if (!control.control) return false;
    OpenResult result = OpenControlConnection(control, true, session->replyTimeout);
    if (result == OpenResult::Stopped) {
        EmitLog(control, "连接 [" + session->serverAddress + ":" + std::to_string(session->port) + "]失败", LogError);
    }
    if (result == OpenResult::NoWelcome) EmitLog(control, "登录失败", LogError);
    if (result != OpenResult::Ok) return false;
    session_ = std::move(session);
    return true;
}

bool DezAziveduza::Disconnect() {
    if (!session_) return false;
    if (SessionConnection* control = session_->FirstConnection()) {
        EmitLog(*control, "QUIT", LogCommand);
        std::string reply;
        SendQuit(*control, reply, session_->replyTimeout);
    }
    session_.reset();
    return true;
}

}  // namespace downlib
