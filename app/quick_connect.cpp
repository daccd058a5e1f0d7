// QuickConnect and ConnectSession.
#include "app/quick_connect.h"

#include <cstdint>

#include "app/app.h"
#include "app/remote_view.h"
#include "app/running_action.h"
#include "app/session_log.h"
#include "downlib/host_scheme.h"

namespace app {

std::optional<int> PortFromText(const std::string& text) {
    std::size_t i = text.find_first_not_of(" \t");
    if (i != std::string::npos && (text[i] == '-' || text[i] == '+')) ++i;
    const bool digits = i != std::string::npos && i < text.size() && text[i] >= '0' && text[i] <= '9';
    if (!digits) return 0;
    const std::int64_t value = toolkit::ToInteger(text);
    if (value < 1 || value > 65535) return std::nullopt;
    return static_cast<int>(value);
}

ConnectTarget ConnectTargetOf(const std::string& hostField, int port) {
    const downlib::HostWithScheme parsed = downlib::ParseHostScheme(hostField);
    ConnectTarget target;
    target.host = parsed.host;
    target.tls = parsed.tls.value_or(downlib::TlsMode::Auto);
    target.port = port;
    if (target.tls == downlib::TlsMode::Implicit && (port == 0 || port == 21))
        target.port = downlib::kImplicitTlsPort;
    return target;
}

bool ConnectSession(App& app, const std::string& hostField, const std::string& user,
                    const std::string& password, int port) {
    // Connect refuses while a session is held, so a new quick connect always
    // ends the previous one first.
    app.ftpClient.Disconnect();
    AppendLog(app, ClockText({}, false) + " 启动连接");
    const ConnectTarget target = ConnectTargetOf(hostField, port);
    app.ftpClient.SetTls(target.tls, WindowTrust(app, app.trustedThisRun));
    if (target.tls == downlib::TlsMode::Off)
        AppendLog(app, ClockText({}, false) + " 未加密的连接: 密码和数据将以明文传送");
    App* self = &app;
    return app.ftpClient.Connect(
        "ftp://" + target.host, user, password, target.port,
        [self](downlib::Handle connection, const std::string& timeText, const std::string& message, int kind,
               downlib::Handle session) {
            OnEngineEvent(*self, connection, timeText, message, kind, session);
        },
        2000);
}

void QuickConnect(App& app) {
    const RunningAction action(app, "快速连接");
    if (action.Refused()) return;
    MainWindow& ui = app.ui;
    const std::string portText = ui.portEdit.Text();
    const std::optional<int> parsed = PortFromText(portText);
    if (!parsed) {
        // Nothing is ended or started: the session that is open stays open.
        AppendLog(app, ClockText({}, false) + " 端口" + std::to_string(toolkit::ToInteger(portText)) +
                           "无效，端口应为1到65535，未连接");
        return;
    }
    const int port = *parsed;
    if (!ConnectSession(app, ui.hostEdit.Text(), ui.userEdit.Text(), ui.passwordEdit.Text(), port)) return;
    // Read again: the fields may have changed while the log-in ran.
    const ConnectTarget target = ConnectTargetOf(ui.hostEdit.Text(), port);
    app.savedHost = target.host;
    app.savedTls = target.tls;
    app.savedUser = ui.userEdit.Text();
    app.savedPassword = ui.passwordEdit.Text();
    // Transfers reach the same server on the same port, encrypted alike.
    app.savedPort = target.port;
    ListRemoteFolder(app, app.ftpClient.GetCurrentDir());
}

}  // namespace app
