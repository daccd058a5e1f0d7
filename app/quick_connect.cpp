// QuickConnect and ConnectSession.
#include "app/quick_connect.h"

#include <cstdint>

#include "app/app.h"
#include "app/remote_view.h"
#include "app/running_action.h"
#include "app/session_log.h"

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

bool ConnectSession(App& app, const std::string& host, const std::string& user, const std::string& password,
                    int port) {
    // Connect refuses while a session is held, so a new quick connect always
    // ends the previous one first.
    app.ftpClient.Disconnect();
    AppendLog(app, ClockText({}, false) + " 启动连接");
    App* self = &app;
    return app.ftpClient.Connect(
        "ftp://" + host, user, password, port,
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
    app.savedHost = ui.hostEdit.Text();
    app.savedUser = ui.userEdit.Text();
    app.savedPassword = ui.passwordEdit.Text();
    // Downloads reach the same server on the port the user typed.
    app.savedPort = port;
    ListRemoteFolder(app, app.ftpClient.GetCurrentDir());
}

}  // namespace app
