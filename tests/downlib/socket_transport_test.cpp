// The socket transport: dotted quads, error mapping and texts, and the bounded
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

namespace downlib {
namespace {

TEST(SocketTransport, DottedQuads) {
    const std::pair<const char*, bool> cases[] = {
        {"192.168.1.1", true}, {"0.0.0.0", true},      {"127.0.0.1", true},       {"1.2.3.4.", true},
        {"1..2.3", true},      {"192.168.1", false},   {"1.2.3.", false},         {"1.2.3.256", false},
        {"1.2.3.4.5", false},  {"01234.1.1.1", false}, {"a.b.c.d", false},        {"", false},
        {"localhost", false},  {"1.2.3.-4", false},    {"255.255.255.255", true},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(IsDottedQuad(text), expected) << text;
}

TEST(SocketTransport, ErrorMappingAndTexts) {
    EXPECT_EQ(MapSocketError(10054), kWsaConnReset);
    EXPECT_EQ(MapSocketError(10061), kWsaConnRefused);
    EXPECT_EQ(MapSocketError(0), kErrUnmapped);
    EXPECT_EQ(MapSocketError(12345), kErrUnmapped);
    EXPECT_EQ(MapErrno(ECONNREFUSED), -10061);
    EXPECT_EQ(MapErrno(ECONNRESET), -10054);
    EXPECT_EQ(MapErrno(ECONNABORTED), -10053);
    EXPECT_EQ(MapErrno(ETIMEDOUT), -10060);
    EXPECT_EQ(MapErrno(EAGAIN), -10035);
    EXPECT_EQ(MapErrno(EINPROGRESS), -10036);

    const std::pair<int, const char*> reports[] = {
        {kErrPeerClosed, "有错误发生"},
        {kErrReceiveTimeout, "接收数据超时"},
        {kErrSendWaitTimeout, "等待接收或发送数据超时"},  // the fixed text wins over the table
        {kWsaConnReset, "远程主机强迫关闭了一个现有的连接。"},
        {kErrConnectTimeout, "未知错误"},
        {kErrStopped, "未知错误"},
        {kWsaIsConnected, "未知错误"},  // mapped, but without a message
    };
    for (const auto& [code, text] : reports) EXPECT_EQ(SocketErrorReportText(code), text) << code;
    EXPECT_EQ(SocketErrorText(kErrSendWaitTimeout), "SELECT超时.");
    EXPECT_EQ(SocketErrorText(kErrConnectTimeout), "");
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
    EXPECT_EQ(ConnectWithTimeout(client.fd(), "127.0.0.1", listener.port, 1000, nullptr, 1), 0);
    EXPECT_EQ(LocalAddress(client.fd()).value_or(""), "127.0.0.1");

    int closedPort = listener.port;
    listener.socket.Close();
    Socket refused = OpenTcpSocket();
    EXPECT_EQ(ConnectWithTimeout(refused.fd(), "127.0.0.1", closedPort, 1000, nullptr, 1), kWsaConnRefused);
}

TEST(SocketTransport, StopFlagEndsAConnectWait) {
    // A full backlog of a listener that never accepts keeps the handshake pending
    // on most kernels; when it completes anyway the result is simply 0.
    Listener listener(0);
    std::vector<Socket> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(OpenTcpSocket());
        ConnectWithTimeout(fillers.back().fd(), "127.0.0.1", listener.port, 50, nullptr, 1);
    }
    std::atomic<int> stop{1};
    Socket client = OpenTcpSocket();
    int result = ConnectWithTimeout(client.fd(), "127.0.0.1", listener.port, 60000, &stop, 1);
    EXPECT_EQ(result, kErrStopped);
}

TEST(SocketTransport, ReceiveReadsWhatIsAskedAndReportsClose) {
    Listener listener;
    Socket client = OpenTcpSocket();
    ASSERT_EQ(ConnectWithTimeout(client.fd(), "127.0.0.1", listener.port, 1000, nullptr, 1), 0);
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
    EXPECT_EQ(ReceiveWithTimeout(client.fd(), buffer, one), kErrPeerClosed);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(ReceiveWithTimeout(client.fd(), nullptr, one), kErrNoBuffer);
}

TEST(SocketTransport, ReceiveIdleTimeoutKeepsTheBytesSoFar) {
    Listener listener;
    Socket client = OpenTcpSocket();
    ASSERT_EQ(ConnectWithTimeout(client.fd(), "127.0.0.1", listener.port, 1000, nullptr, 1), 0);
    Socket server = listener.Accept();
    ASSERT_EQ(::send(server.fd(), "xyz", 3, 0), 3);
    char buffer[16] = {};
    std::int64_t received = 0;
    ReceiveOptions options;
    options.total = 10;
    options.chunk = 10;
    options.idleTimeoutMs = 50;
    options.receivedOut = &received;
    EXPECT_EQ(ReceiveWithTimeout(client.fd(), buffer, options), kErrReceiveTimeout);
    EXPECT_EQ(received, 3);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
}

TEST(SocketTransport, SendWithoutWaitOnAFullBufferTimesOut) {
    Listener listener;
    Socket client = OpenTcpSocket();
    ASSERT_EQ(ConnectWithTimeout(client.fd(), "127.0.0.1", listener.port, 1000, nullptr, 1), 0);
    Socket server = listener.Accept();
    int small = 4096;
    ::setsockopt(client.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string block(65536, 'x');
    std::int64_t result = 0;
    for (int i = 0; i < 10000 && result >= 0; ++i)
        result = SendWithTimeout(client.fd(), -1, block.data(), block.size());
    EXPECT_EQ(result, kErrSendWaitTimeout);
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

TEST(SocketTransport, ResolvesLocalhostButNotNonsense) {
    EXPECT_EQ(ResolveHost("localhost").value_or(""), "127.0.0.1");
    EXPECT_FALSE(ResolveHost("no-such-host.invalid").has_value());
}

}  // namespace
}  // namespace downlib
