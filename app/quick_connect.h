// Quick connect: opens an FTP session from the four fields at the top of the
// window, keeps the credentials and the port of a session that logged in, and
// lists the server's current folder.
#pragma once

#include <optional>
#include <string>

#include "downlib/ftp_engine.h"

namespace app {

struct App;

// Handler of quickConnectButton.
void QuickConnect(App& app);

// Where the host field and the port lead: "ftpes://host" asks for TLS and
// refuses a plain session, "ftps://host" speaks TLS from the first byte (on
// port 990 when the field is empty or 21), "ftp://host" stays plain, and a
// bare host asks for TLS and goes on in plain FTP, with an error line, when
// the server has none.
struct ConnectTarget {
    std::string host;
    int port = 21;
    downlib::TlsMode tls = downlib::TlsMode::Auto;
};
ConnectTarget ConnectTargetOf(const std::string& hostField, int port);

// Ends the previous session, logs " 启动连接" and connects with a 2000 ms
// time-out, encrypted as the host field's scheme says; a certificate nothing
// vouches for is asked about in a dialog. True when the session is open and
// logged in.
bool ConnectSession(App& app, const std::string& hostField, const std::string& user,
                    const std::string& password, int port);

// The port text as a number: leading spaces, optional sign, the digits that
// follow. No digits give 0, which the engine then fails to reach; digits
// outside 1 to 65535 give no port, since the engine would cut them to 16
// bits (99999 would reach port 34463).
std::optional<int> PortFromText(const std::string& text);

}  // namespace app
