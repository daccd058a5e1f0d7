// Quick connect: opens an FTP session from the four fields at the top of the
// window, keeps the credentials and the port of a session that logged in, and
// lists the server's current folder.
#pragma once

#include <string>

namespace app {

struct App;

// Handler of quickConnectButton.
void QuickConnect(App& app);

// Ends the previous session, logs " 启动连接" and connects with a 2000 ms
// time-out. True when the session is open and logged in.
bool ConnectSession(App& app, const std::string& host, const std::string& user, const std::string& password,
                    int port);

// The port text as a number: leading spaces, optional sign, the digits that
// follow; no digits give 0.
int PortFromText(const std::string& text);

}  // namespace app
