// QuickConnect and ConnectSession.
#include "app/quick_connect.h"

#include <algorithm>
#include <climits>

#include "app/app.h"
#include "app/remote_view.h"
#include "app/session_log.h"

namespace app {

int PortFromText(const std::string& text) {
    const std::int64_t value = toolkit::ToInteger(text);
    return static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
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
    MainWindow& ui = app.ui;
    const int port = PortFromText(ui.portEdit.Text());
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
