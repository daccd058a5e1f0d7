// Data channel set-up. The address inside a 227 reply is not trusted: the data
// connection always goes to the control connection's peer (a server behind NAT
// names its private address, a hostile one names a third host). PORT
// announces the control connection's own local address for the same reason.
#include "downlib/data_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <cstring>
#include <optional>
#include <vector>

#include "downlib/control_connection.h"
#include "downlib/error_codes.h"
#include "downlib/socket_address.h"

namespace downlib {
namespace {

constexpr std::size_t kPassiveReplyLimit = 5120;

// A field's value: blanks around one to three decimal digits, at most 255.
// Anything else (a sign, letters, 300) makes the reply unusable: wrapping
// 300 to 44 would connect to a port the server never named.
std::optional<int> FieldValue(const std::string& field) {
    std::size_t i = 0;
    while (i < field.size() && field[i] == ' ') ++i;
    int value = 0;
    std::size_t digits = 0;
    for (; i < field.size() && std::isdigit(static_cast<unsigned char>(field[i])); ++i, ++digits) {
        if (digits == 3) return std::nullopt;
        value = value * 10 + (field[i] - '0');
    }
    while (i < field.size() && field[i] == ' ') ++i;
    if (digits == 0 || i != field.size() || value > 255) return std::nullopt;
    return value;
}

std::vector<std::string> SplitFields(const std::string& text) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        std::size_t comma = text.find(',', start);
        fields.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return fields;
        start = comma + 1;
    }
}

std::optional<std::uint16_t> PeerPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return std::nullopt;
    return ntohs(address.sin_port);
}

// A data connection to port 0 cannot be made, and one to the control port
// would open another control session whose greeting we would take for data.
bool UsableDataPort(const SessionConnection& connection, std::uint16_t port) {
    return port != 0 && PeerPort(connection.control.fd()) != port;
}

void FallBackToActive(SessionConnection& connection, const char* reason, DataCaller caller) {
    EmitLog(connection, reason, LogError);
    EmitLog(connection, "尝试主动模式连接", caller == DataCaller::Listing ? LogInfo : LogError);
    connection.session->dataMode = kDataActive;
}

}  // namespace

int SetTransferType(SessionConnection& connection, bool binary, std::string& reply, int timeoutMs) {
    return SendCommand(connection, binary ? "TYPE I" : "TYPE A", reply, timeoutMs);
}

bool ParsePassiveReply(const std::string& reply, DataEndpoint& endpoint) {
    if (reply.size() > kPassiveReplyLimit) return false;
    std::size_t open = reply.find('(');
    if (open == std::string::npos) return false;
    std::size_t close = reply.find(')', open + 1);
    if (close == std::string::npos) return false;
    std::vector<std::string> fields = SplitFields(reply.substr(open + 1, close - open - 1));
    if (fields.size() != 6) return false;
    int values[6] = {};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::optional<int> value = FieldValue(fields[i]);
        if (!value) return false;
        values[i] = *value;
    }
    endpoint.address = fields[0] + "." + fields[1] + "." + fields[2] + "." + fields[3];
    endpoint.port = static_cast<std::uint16_t>(values[4] * 256 + values[5]);
    return true;
}

int RequestPassive(SessionConnection& connection, DataEndpoint& endpoint, std::string& reply, int timeoutMs) {
    int code = SendCommand(connection, "PASV", reply, timeoutMs);
    if (!ParsePassiveReply(reply, endpoint)) return -1;
    return code;
}

Socket ConnectDataEndpoint(const std::string& address, std::uint16_t port, int timeoutMs,
                           const std::atomic<StopFlag>* stopFlag) {
    Socket socket = OpenTcpSocket();
    if (!socket) return socket;
    if (ConnectWithTimeout(socket.fd(), address, port, timeoutMs, stopFlag) != 0) return Socket();
    return socket;
}

std::string PortArgument(const std::string& address, int port) {
    std::string argument;
    std::size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        std::size_t dot = address.find('.', start);
        argument += address.substr(start, dot == std::string::npos ? std::string::npos : dot - start) + ",";
        start = dot == std::string::npos ? address.size() : dot + 1;
    }
    return argument + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

int OfferActivePort(SessionConnection& connection, std::string& reply, int timeoutMs) {
    std::optional<std::string> address = LocalAddress(connection.control.fd());
    if (!address || !IsDottedQuad(*address)) return -1;
    Socket listening = OpenTcpSocket();
    if (!listening) return -1;
    sockaddr_in bindAddress{};
    bindAddress.sin_family = AF_INET;
    bindAddress.sin_port = 0;
    if (::inet_pton(AF_INET, address->c_str(), &bindAddress.sin_addr) != 1) return -1;
    if (::bind(listening.fd(), reinterpret_cast<const sockaddr*>(&bindAddress), sizeof bindAddress) != 0 ||
        ::listen(listening.fd(), 1) != 0)
        return -1;
    int port = LocalPort(listening.fd());
    if (port < 0) return -1;
    connection.listening = std::move(listening);
    std::string command = "PORT " + PortArgument(*address, port);
    EmitLog(connection, command, LogCommand);
    return SendCommand(connection, command, reply, timeoutMs);
}

Socket AcceptDataConnection(SessionConnection& connection, int timeoutMs) {
    int fd = connection.listening.fd();
    if (fd < 0) return Socket();
    int cycles = timeoutMs / kWaitCycleMs;
    if (cycles <= 0) cycles = 1;
    for (int i = 0; i < cycles; ++i) {
        Ready ready = WaitReadable(fd, kWaitCycleMs);
        if (ready == Ready::Failed) return Socket();
        if (ready == Ready::Yes) {
            int accepted = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            return accepted >= 0 ? Socket(accepted) : Socket();
        }
        if (connection.StopRequested()) break;
    }
    return Socket();
}

bool SetUpDataChannel(SessionConnection& connection, DataCaller caller, bool pasvSent) {
    TransferSession& session = *connection.session;
    if (caller != DataCaller::Download) CloseDataChannel(connection);
    std::string reply;
    if (session.dataMode == kDataPassive || pasvSent) {
        DataEndpoint endpoint;
        int code = 0;
        if (pasvSent) {
            code = ReadReply(connection, reply, session.replyTimeout);
            if (!ParsePassiveReply(reply, endpoint)) code = -1;
        } else {
            EmitLog(connection, "PASV", LogCommand);
            code = RequestPassive(connection, endpoint, reply, session.replyTimeout);
        }
        if (code != 227) {
            FallBackToActive(connection, "设置数据通道错误", caller);
        } else if (!UsableDataPort(connection, endpoint.port)) {
            FallBackToActive(connection, "被动模式的数据端口不可用", caller);
        } else {
            std::string peer = PeerAddress(connection.control.fd()).value_or(session.serverAddress);
            if (caller == DataCaller::Listing) {
                EmitLog(connection,
                        "连接[" + peer + ":" + std::to_string(endpoint.port) + "],超时" +
                            std::to_string(session.connectTimeout),
                        LogInfo);
            }
            connection.data =
                ConnectDataEndpoint(peer, endpoint.port, session.connectTimeout, session.StopFlagWatch());
            if (!connection.data) {
                FallBackToActive(connection, "数据通道连接失败", caller);
            } else {
                if (caller != DataCaller::Download) EmitLog(connection, "数据通道连接成功", LogError);
                return true;
            }
        }
    }
    int code = OfferActivePort(connection, reply, session.connectTimeout);
    if (code != 200) {
        if (code == 0) {
            EmitLog(connection, "获得返回信息失败", LogError);
        } else if (caller != DataCaller::Listing) {
            EmitLog(connection, "设置主动模式失败", LogError);
        }
        connection.listening.Close();
        // Neither mode worked: the next attempt starts with passive mode
        // again rather than staying in a mode the server refused.
        session.dataMode = kDataPassive;
        return false;
    }
    return true;
}

bool CompleteDataChannel(SessionConnection& connection) {
    if (connection.data) return true;
    connection.data = AcceptDataConnection(connection, connection.session->connectTimeout);
    connection.listening.Close();
    if (!connection.data) {
        EmitLog(connection, "等待服务器的数据连接超时", LogError);
        return false;
    }
    return true;
}

void CloseDataChannel(SessionConnection& connection) {
    connection.data.Close();
    connection.listening.Close();
}

}  // namespace downlib
