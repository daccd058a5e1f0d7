// The socket transport: error mapping and texts, and the bounded
// connect and receive waits on loopback.
#include "downlib/socket_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "downlib/error_codes.h"
#include "downlib/socket_address.h"

namespace downlib {
namespace {

TEST(SocketTransport, ErrorMappingAndTexts) {
    EXPECT_EQ(MapSocketError(10054), ToInt(ErrorCode::WsaConnReset));
    EXPECT_EQ(MapSocketError(10061), ToInt(ErrorCode::WsaConnRefused));
    EXPECT_EQ(MapSocketError(0), ToInt(ErrorCode::Unmapped));
    EXPECT_EQ(MapSocketError(12345), ToInt(ErrorCode::Unmapped));
    EXPECT_EQ(MapErrno(ECONNREFUSED), -10061);
    EXPECT_EQ(MapErrno(ECONNRESET), -10054);
    EXPECT_EQ(MapErrno(ECONNABORTED), -10053);
    EXPECT_EQ(MapErrno(ETIMEDOUT), -10060);
    EXPECT_EQ(MapErrno(EAGAIN), -10035);
    EXPECT_EQ(MapErrno(EINPROGRESS), -10036);

    const std::pair<int, const char*> reports[] = {
        {ToInt(ErrorCode::PeerClosed), "有错误发生"},
        {ToInt(ErrorCode::ReceiveTimeout), "接收数据超时"},
        {ToInt(ErrorCode::SendWaitTimeout), "等待接收或发送数据超时"},  // the fixed text wins over the table
        {ToInt(ErrorCode::WsaConnReset), "远程主机强迫关闭了一个现有的连接。"},
        {ToInt(ErrorCode::ConnectTimeout), "未知错误"},
        {ToInt(ErrorCode::Stopped), "未知错误"},
        {ToInt(ErrorCode::WsaIsConnected), "未知错误"},  // mapped, but without a message
    };
    for (const auto& [code, text] : reports) EXPECT_EQ(SocketErrorReportText(code), text) << code;
    EXPECT_EQ(SocketErrorText(ToInt(ErrorCode::SendWaitTimeout)), "SELECT超时.");
    EXPECT_EQ(SocketErrorText(ToInt(ErrorCode::ConnectTimeout)), "");
}

// Numbers between the codes, and the ends of their range, are no code: the
// numeric adapters must not give them a code's text.
TEST(SocketTransport, OnlyTheTableNumbersAreCodes) {
    const std::pair<std::int64_t, bool> cases[] = {
        {0, false},     {1, false},      {-1, true},     {-11, true},     {-12, false},
        {-19, false},   {-20, true},     {-22, true},    {-23, false},    {-10003, false},
        {-10004, true}, {-10005, false}, {-10093, true}, {-10094, false}, {-2147483648LL, false},
    };
    for (const auto& [number, isCode] : cases) {
        std::optional<ErrorCode> code = ErrorFromInt(number);
        EXPECT_EQ(code.has_value(), isCode) << number;
        if (code) {
            EXPECT_EQ(ToInt(*code), number);
        }
    }
    EXPECT_EQ(SocketErrorReportText(-12), "未知错误");
    EXPECT_EQ(SocketErrorText(-10005), "");
    EXPECT_EQ(MapSocketError(22), ToInt(ErrorCode::Unmapped));  // an engine code, not a Winsock number
}

// Whatever code a failure carries, the log gets a line with text, and the
// numeric entry points say what the typed ones say.
TEST(SocketTransport, EveryCodeHasAReportText) {
    int codes = 0;
    for (int number = ToInt(ErrorCode::WsaNotInitialised) - 1; number <= 1; ++number) {
        std::optional<ErrorCode> code = ErrorFromInt(number);
        if (!code) continue;
        ++codes;
        EXPECT_FALSE(SocketErrorReportText(*code).empty()) << number;
        EXPECT_EQ(SocketErrorReportText(number), SocketErrorReportText(*code)) << number;
        EXPECT_EQ(SocketErrorText(number), SocketErrorText(*code)) << number;
    }
    EXPECT_EQ(codes, 32);  // 14 engine codes and 18 Winsock numbers
}

// A listening socket on a free loopback port.
struct Listener {
    Socket socket = OpenTcpSocket();
    int port = 0;
    explicit Listener(int backlog = 4) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(socket.fd(), backlog), 0);
        port = LocalPort(socket.fd());
    }
    Socket Accept() const { return Socket(::accept(socket.fd(), nullptr, nullptr)); }
};

TEST(SocketTransport, ConnectSucceedsAndRefusalIsAnError) {
    Listener listener;
    Socket client = OpenTcpSocket();
    EXPECT_EQ(ConnectWithTimeout(client.fd(), "127.0.0.1", listener.port, 1000, nullptr), 0);
    EXPECT_EQ(LocalAddress(client.fd()).value_or(""), "127.0.0.1");

    int closedPort = listener.port;
    listener.socket.Close();
    Socket refused = OpenTcpSocket();
    EXPECT_EQ(ConnectWithTimeout(refused.fd(), "127.0.0.1", closedPort, 1000, nullptr),
              ToInt(ErrorCode::WsaConnRefused));
}

TEST(SocketTransport, StopFlagEndsAConnectWait) {
    // A full backlog of a listener that never accepts keeps the handshake pending
    // on most kernels; when it completes anyway the result is simply 0.
    Listener listener(0);
    std::vector<Socket> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(OpenTcpSocket());
        ConnectWithTimeout(fillers.back().fd(), "127.0.0.1", listener.port, 50, nullptr);
    }
    std::atomic<StopFlag> stop{StopFlag::Raised};
    Socket client = OpenTcpSocket();
    int result = ConnectWithTimeout(client.fd(), "127.0.0.1", listener.port, 60000, &stop, StopFlag::Raised);
    EXPECT_EQ(result, ToInt(ErrorCode::Stopped));
}

TEST(SocketTransport, ReceiveReadsWhatIsAskedAndReportsClose) {
    Listener listener;
    Socket client = OpenTcpSocket();
    ASSERT_EQ(ConnectWithTimeout(client.fd(), "127.0.0.1", listener.port, 1000, nullptr), 0);
    Socket server = listener.Accept();
    ASSERT_EQ(::send(server.fd(), "ab", 2, 0), 2);
    char buffer[4] = {};
    ReceiveOptions one;
    one.idleTimeoutMs = 1000;
    EXPECT_EQ(ReceiveWithTimeout(client.fd(), buffer, one), 1);
    EXPECT_EQ(buffer[0], 'a');
    EXPECT_EQ(ReceiveWithTimeout(client.fd(), buffer, one), 1);
    EXPECT_EQ(buffer[0], 'b');
    server.Close();
    std::int64_t received = -1;
    one.receivedOut = &received;
    EXPECT_EQ(ReceiveWithTimeout(client.fd(), buffer, one), ToInt(ErrorCode::PeerClosed));
    EXPECT_EQ(received, 0);
    EXPECT_EQ(ReceiveWithTimeout(client.fd(), nullptr, one), ToInt(ErrorCode::NoBuffer));
}

TEST(SocketTransport, ReceiveIdleTimeoutKeepsTheBytesSoFar) {
    Listener listener;
    Socket client = OpenTcpSocket();
    ASSERT_EQ(ConnectWithTimeout(client.fd(), "127.0.0.1", listener.port, 1000, nullptr), 0);
    Socket server = listener.Accept();
    ASSERT_EQ(::send(server.fd(), "xyz", 3, 0), 3);
    char buffer[16] = {};
    std::int64_t received = 0;
    ReceiveOptions options;
    options.total = 10;
    options.chunk = 10;
    options.idleTimeoutMs = 50;
    options.receivedOut = &received;
    EXPECT_EQ(ReceiveWithTimeout(client.fd(), buffer, options), ToInt(ErrorCode::ReceiveTimeout));
    EXPECT_EQ(received, 3);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
}

TEST(SocketTransport, SendWithoutWaitOnAFullBufferTimesOut) {
    Listener listener;
    Socket client = OpenTcpSocket();
    ASSERT_EQ(ConnectWithTimeout(client.fd(), "127.0.0.1", listener.port, 1000, nullptr), 0);
    Socket server = listener.Accept();
    int small = 4096;
    ::setsockopt(client.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string block(65536, 'x');
    std::int64_t result = 0;
    for (int i = 0; i < 10000 && result >= 0; ++i)
        result = SendWithTimeout(client.fd(), -1, block.data(), block.size());
    EXPECT_EQ(result, ToInt(ErrorCode::SendWaitTimeout));
}

TEST(SocketTransport, ReadAheadBytesGoWithTheirDescriptor) {
    Socket first = OpenTcpSocket();
    first.ReadAhead() = "226 left over\r\n";
    Socket moved = std::move(first);
    EXPECT_EQ(moved.ReadAhead(), "226 left over\r\n");
    // A reconnect puts a new descriptor in place: nothing of the old stream
    // may be read as a reply of the new one.
    moved = OpenTcpSocket();
    EXPECT_TRUE(moved.ReadAhead().empty());
    moved.ReadAhead() = "x";
    moved.Close();
    EXPECT_TRUE(moved.ReadAhead().empty());
}

}  // namespace
}  // namespace downlib
