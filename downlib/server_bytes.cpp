#include "downlib/server_bytes.h"

#include <algorithm>

#include "downlib/control_connection.h"
#include "downlib/data_channel.h"
#include "downlib/ftp_download.h"
#include "downlib/remote_commands.h"
#include "downlib/socket_transport.h"

namespace downlib {

std::optional<std::string> ReadServerBytes(SessionConnection& connection, const std::string& path,
                                           std::int64_t position, std::int64_t length, bool& broken) {
    TransferSession& session = *connection.session;
    broken = false;
    CloseDataChannel(connection);
    if (!SetUpDataChannel(connection, DataCaller::Download)) {
        broken = true;
        return std::nullopt;
    }
    EmitLog(connection, "REST " + std::to_string(position), LogCommand);
    int code = SendRest(connection, position, session.replyTimeout);
    if (code != 350) {
        broken = code <= 0;
        CloseDataChannel(connection);
        return std::nullopt;
    }
    EmitLog(connection, "RETR " + path, LogCommand);
    code = SendRetr(connection, path, session.replyTimeout);
    if ((code != 125 && code != 150) || !CompleteDataChannel(connection)) {
        CloseDataChannel(connection);
        broken = code <= 0 || SendRestZero(connection, session.replyTimeout) != 350;
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(length), '\0');
    ReceiveOptions options;
    options.connection = &connection;
    options.total = length;
    options.chunk = std::min(length, kBlockLimit);
    options.idleTimeoutMs = session.replyTimeout;
    std::int64_t received = 0;
    options.receivedOut = &received;
    // Through the data socket's TLS layer when it has one: the bytes compared
    // must be the file's, not its encryption.
    std::int64_t n = ReceiveWithTimeout(connection.data, bytes.data(), options);
    CloseDataChannel(connection);
    bytes.resize(static_cast<std::size_t>(n > 0 ? n : std::max<std::int64_t>(received, 0)));
    std::string reply;
    if (ReadReply(connection, reply, session.replyTimeout) <= 0) {
        broken = true;
        return std::nullopt;
    }
    return bytes;
}

}  // namespace downlib
