// Checks of the test harness itself: the fake FTP server driven by a raw
// socket client, the real-server fixtures (log-in, listing, transfer, stop),
// the process runner and the file helpers. The engine's own tests rely on
// these behaving exactly as described in tests/support.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "support/cli_runner.h"
#include "support/fake_ftp_server.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"
#include "support/unique_fd.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Action;
using testsupport::FakeFtpServer;
using testsupport::TransferFaults;
using testsupport::UniqueFd;

// What a raw read saw: the bytes, and whether the peer closed or went quiet.
struct ReadResult {
    std::string bytes;
    bool closed = false;
    bool timedOut = false;
};

// A minimal FTP client on a plain socket, so the harness is checked without the engine.
class RawClient {
public:
    bool connect(std::uint16_t port) {
        fd_ = Connect(port);
        return fd_.valid();
    }

    static UniqueFd Connect(std::uint16_t port, const char* ip = "127.0.0.1") {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        ::inet_pton(AF_INET, ip, &addr.sin_addr);
        addr.sin_port = htons(port);
        if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
        return fd;
    }

    void send(const std::string& line) {
        std::string wire = line + "\r\n";
        ASSERT_EQ(::send(fd_.Get(), wire.data(), wire.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(wire.size()));
    }

    // Reads until `done` holds for the bytes so far, the peer closes, `limit`
    // bytes arrived, or nothing came for `quiet`.
    template <typename Done>
    ReadResult readUntil(Done done, std::chrono::milliseconds quiet = 3000ms, std::size_t limit = 1 << 20) {
        return ReadFrom(fd_.Get(), done, quiet, limit, &pending_);
    }

    // One complete reply: lines up to the first "ddd " line.
    std::string reply() {
        ReadResult r = readUntil([](const std::string& s) { return FinalLineEnd(s) != std::string::npos; });
        std::size_t end = FinalLineEnd(r.bytes);
        if (end == std::string::npos) return r.bytes;
        pending_ = r.bytes.substr(end) + pending_;
        return r.bytes.substr(0, end);
    }

    std::string command(const std::string& line) {
        send(line);
        return reply();
    }

    // A reply that may take long (pyftpdlib holds a failed log-in for 3 s).
    std::string slowReply() {
        ReadResult r =
            readUntil([](const std::string& s) { return FinalLineEnd(s) != std::string::npos; }, 10000ms);
        return r.bytes;
    }

    template <typename Done>
    static ReadResult ReadFrom(int fd, Done done, std::chrono::milliseconds quiet, std::size_t limit,
                               std::string* carry = nullptr) {
        ReadResult r;
        if (carry != nullptr) r.bytes = std::exchange(*carry, {});
        while (!done(r.bytes) && r.bytes.size() < limit) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) {
                r.timedOut = true;
                break;
            }
            char buffer[65536];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                r.closed = true;
                break;
            }
            r.bytes.append(buffer, static_cast<std::size_t>(n));
        }
        return r;
    }

    static std::string ReadAll(int fd) {
        return ReadFrom(
                   fd, [](const std::string&) { return false; }, 5000ms, 1u << 30)
            .bytes;
    }

    // Opens the data connection announced by a 227 reply (port from the reply, host 127.0.0.1).
    static UniqueFd ConnectPasv(const std::string& reply227) {
        std::size_t open = reply227.find('(');
        std::size_t close = reply227.find(')', open);
        if (open == std::string::npos || close == std::string::npos) return {};
        std::vector<int> n;
        std::string fields = reply227.substr(open + 1, close - open - 1) + ",";
        for (std::size_t at = 0, comma; (comma = fields.find(',', at)) != std::string::npos; at = comma + 1) {
            n.push_back(std::stoi(fields.substr(at, comma - at)));
        }
        if (n.size() != 6) return {};
        return Connect(static_cast<std::uint16_t>(n[4] * 256 + n[5]));
    }

    // PASV, the transfer command, its data, and the final reply.
    struct Transfer {
        std::string first, data, last;
    };
    Transfer passiveTransfer(const std::string& commandLine) {
        Transfer t;
        std::string pasv = command("PASV");
        UniqueFd data = ConnectPasv(pasv);
        if (!data) {
            t.first = "no data connection after: " + pasv;
            return t;
        }
        t.first = command(commandLine);
        if (t.first.rfind("150", 0) != 0 && t.first.rfind("125", 0) != 0) return t;
        t.data = ReadAll(data.Get());
        // proftpd sends its final reply only once the client has closed its
        // side too (a lingering close).
        data.Reset();
        t.last = reply();
        return t;
    }

    int fd() const { return fd_.Get(); }

private:
    static std::size_t FinalLineEnd(const std::string& s) {
        for (std::size_t start = 0; start < s.size();) {
            std::size_t lf = s.find('\n', start);
            if (lf == std::string::npos) return std::string::npos;
            if (lf - start >= 4 && std::isdigit(static_cast<unsigned char>(s[start])) &&
                s[start + 3] == ' ') {
                return lf + 1;
            }
            start = lf + 1;
        }
        return std::string::npos;
    }

    UniqueFd fd_;
    std::string pending_;
};

std::string LoggedIn(RawClient& c, std::uint16_t port) {
    if (!c.connect(port)) return "connect failed";
    std::string all = c.reply();
    all += c.command("USER u");
    all += c.command("PASS p");
    return all;
}

// --- Fake server: opening of the control connection

struct GreetingCase {
    const char* name;
    Action action;
    std::string expectBytes;  // prefix of what the client reads
    bool expectClosed;
    bool expectQuiet;
};

TEST(FakeFtpServer, GreetingBehaviours) {
    const std::string longLine = "220 " + std::string(5996, 'x') + "\r\n";
    const std::vector<GreetingCase> cases = {
        {"two-line", Action::Reply("220-Welcome\r\n220 Ready\r\n"), "220-Welcome\r\n220 Ready\r\n", false,
         true},
        {"bare LF", Action::Reply("220 Ready\n"), "220 Ready\n", false, true},
        {"6000-byte line", Action::Reply(longLine), longLine, false, true},
        {"close at once", Action::Close(), "", true, false},
        {"stall", Action::Silence(), "", false, true},
        {"421 and close", Action::ReplyAndClose("421 Too many users\r\n"), "421 Too many users\r\n", true,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.ok()) << server.error();
        server.GreetWith(c.action);
        RawClient client;
        ASSERT_TRUE(client.connect(server.port()));
        const std::size_t want = c.expectBytes.size();
        ReadResult r = client.readUntil([&](const std::string& s) { return s.size() >= want; });
        EXPECT_EQ(r.bytes, c.expectBytes);
        // Then the server must either have closed or stay silent.
        ReadResult after = client.readUntil([](const std::string&) { return false; }, 300ms);
        EXPECT_EQ(after.bytes, "");
        EXPECT_EQ(r.closed || after.closed, c.expectClosed);
        EXPECT_EQ(after.timedOut, c.expectQuiet);
    }
}

TEST(FakeFtpServer, EndlessGreetingNeverEndsAReplyAndStopsWhenTheClientLeaves) {
    FakeFtpServer server;
    server.GreetWith(Action::Endless("220-more\r\n"));
    {
        RawClient client;
        ASSERT_TRUE(client.connect(server.port()));
        ReadResult r = client.readUntil([](const std::string&) { return false; }, 3000ms, 2 << 20);
        EXPECT_GE(r.bytes.size(), std::size_t{2} << 20);
        EXPECT_EQ(r.bytes.find("220 "), std::string::npos);
    }
    EXPECT_TRUE(server.WaitForAllClosed(5s));
}

TEST(FakeFtpServer, QueuedGreetingsServeSuccessiveConnections) {
    FakeFtpServer server;
    server.GreetNext({Action::Close(), Action::Reply("421 Busy\r\n")});
    std::vector<std::string> firstLines;
    for (int i = 0; i < 3; ++i) {
        RawClient client;
        ASSERT_TRUE(client.connect(server.port()));
        firstLines.push_back(
            client.readUntil([](const std::string& s) { return s.find('\n') != std::string::npos; }).bytes);
    }
    EXPECT_EQ(firstLines, (std::vector<std::string>{"", "421 Busy\r\n", "220 FakeFtp ready\r\n"}));
    EXPECT_EQ(server.ConnectionCount(), 3);
}

// --- Fake server: a whole download exchange and the transcript

TEST(FakeFtpServer, HappyDownloadExchangeAndTranscript) {
    FakeFtpServer server;
    server.AddFile("/pub/a.bin", "0123456789abcdef");
    RawClient c;
    ASSERT_TRUE(c.connect(server.port()));
    EXPECT_EQ(c.reply(), "220 FakeFtp ready\r\n");
    EXPECT_EQ(c.command("USER anonymous"), "331 Please specify the password.\r\n");
    EXPECT_EQ(c.command("PASS guest@"), "230 Login successful.\r\n");
    EXPECT_EQ(c.command("TYPE I"), "200 Switching to Binary mode.\r\n");
    EXPECT_EQ(c.command("REST 100"), "350 Restarting at 100. Send STORE or RETRIEVE.\r\n");
    EXPECT_EQ(c.command("REST 0"), "350 Restarting at 0. Send STORE or RETRIEVE.\r\n");
    EXPECT_EQ(c.command("SIZE pub/a.bin"), "213 16\r\n");
    EXPECT_EQ(c.command("SIZE /pub/missing"), "550 Could not get file size.\r\n");
    EXPECT_EQ(c.command("REST 10"), "350 Restarting at 10. Send STORE or RETRIEVE.\r\n");
    RawClient::Transfer t = c.passiveTransfer("RETR pub/a.bin");
    EXPECT_EQ(t.first, "150 Opening BINARY mode data connection for a.bin (16 bytes).\r\n");
    EXPECT_EQ(t.data, "abcdef");  // from the REST offset
    EXPECT_EQ(t.last, "226 Transfer complete.\r\n");
    t = c.passiveTransfer("RETR /pub/a.bin");  // the marker was used up
    EXPECT_EQ(t.data, "0123456789abcdef");
    EXPECT_EQ(c.command("QUIT"), "221 Goodbye.\r\n");
    EXPECT_TRUE(c.readUntil([](const std::string&) { return false; }).closed);

    EXPECT_EQ(server.Commands(),
              (std::vector<std::string>{"USER anonymous", "PASS guest@", "TYPE I", "REST 100", "REST 0",
                                        "SIZE pub/a.bin", "SIZE /pub/missing", "REST 10", "PASV",
                                        "RETR pub/a.bin", "PASV", "RETR /pub/a.bin", "QUIT"}))
        << server.Transcript();
    EXPECT_TRUE(server.Received().front().crlf);
    EXPECT_EQ(server.CountCommands("rest"), 3);
    EXPECT_EQ(server.CountCommands("REST 0"), 1);
    EXPECT_TRUE(server.WaitForCommand("QUIT", 1s));
    EXPECT_FALSE(server.WaitForCommand("STOR", 50ms));
}

TEST(FakeFtpServer, RecordsBareLfAndUnfinishedLines) {
    FakeFtpServer server;
    RawClient c;
    ASSERT_TRUE(c.connect(server.port()));
    c.reply();
    const std::string wire = "NOOP\nSYST\r\nPWD";
    ASSERT_EQ(::send(c.fd(), wire.data(), wire.size(), MSG_NOSIGNAL), static_cast<ssize_t>(wire.size()));
    ::shutdown(c.fd(), SHUT_WR);
    ASSERT_TRUE(server.WaitForCommand("PWD", 5s)) << server.Transcript();
    auto got = server.Received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].line, "NOOP");
    EXPECT_FALSE(got[0].crlf);
    EXPECT_EQ(got[1].line, "SYST");
    EXPECT_TRUE(got[1].crlf);
    EXPECT_EQ(got[2].line, "PWD");
    EXPECT_FALSE(got[2].crlf);
}

// --- Fake server: rules

TEST(FakeFtpServer, RulesReplaceBuiltInRepliesInOrder) {
    FakeFtpServer server;
    server.Reply("SIZE", "213 5\r\n");
    server.Reply("REST 100", "502 No restart\r\n");  // whole line beats the verb
    server.ReplyNext("pass", {"530 Wrong\r\n", "500 Odd\r\n"});
    server.OnNext("NOOP", {Action::Silence()});
    RawClient c;
    ASSERT_TRUE(c.connect(server.port()));
    c.reply();
    EXPECT_EQ(c.command("SIZE nothing"), "213 5\r\n");
    EXPECT_EQ(c.command("REST 100"), "502 No restart\r\n");
    EXPECT_EQ(c.command("REST 7"), "350 Restarting at 7. Send STORE or RETRIEVE.\r\n");
    EXPECT_EQ(c.command("PASS a"), "530 Wrong\r\n");
    EXPECT_EQ(c.command("PASS b"), "500 Odd\r\n");
    EXPECT_EQ(c.command("PASS c"), "230 Login successful.\r\n");
    c.send("NOOP");  // swallowed: the next reply belongs to SYST
    EXPECT_EQ(c.command("SYST"), "215 UNIX Type: L8\r\n");
    server.CloseOn("CWD");
    c.send("CWD /");
    EXPECT_TRUE(c.readUntil([](const std::string&) { return false; }).closed);
}

TEST(FakeFtpServer, CredentialsAndAsciiRefusals) {
    FakeFtpServer server;
    server.SetCredentials("u", "p");
    server.SetBinaryOnlyRestAndSize(true);
    server.AddFile("/f", "abc");
    RawClient c;
    ASSERT_TRUE(c.connect(server.port()));
    c.reply();
    EXPECT_EQ(c.command("SIZE f"), "530 Please login with USER and PASS.\r\n");
    c.command("USER u");
    EXPECT_EQ(c.command("PASS x"), "530 Login incorrect.\r\n");
    c.command("USER u");
    EXPECT_EQ(c.command("PASS p"), "230 Login successful.\r\n");
    EXPECT_EQ(c.command("SIZE f"), "550 SIZE not allowed in ASCII mode.\r\n");
    EXPECT_EQ(c.command("REST 100"), "501 Resuming transfers not allowed in ASCII mode.\r\n");
    c.command("TYPE I");
    EXPECT_EQ(c.command("SIZE f"), "213 3\r\n");
    server.SetRestMode(testsupport::RestMode::NoRestartWord);
    EXPECT_EQ(c.command("REST 100"), "350 Rest supported\r\n");
    server.SetRestMode(testsupport::RestMode::Refused);
    EXPECT_EQ(c.command("REST 100"), "502 REST not implemented.\r\n");
}

// --- Fake server: data connections and transfer faults

TEST(FakeFtpServer, DropAfterBytesOnceThenResumeCompletesTheFile) {
    std::string content = testsupport::PatternBytes(0, 100000, 7);
    TransferFaults faults;
    faults.dropAfterBytes = 30000;
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "close");
        faults.resetOnDrop = reset;
        FakeFtpServer server;
        server.AddFile("/big.bin", content, faults);
        RawClient c;
        LoggedIn(c, server.port());
        RawClient::Transfer first = c.passiveTransfer("RETR big.bin");
        // An orderly close delivers every byte sent; a reset may discard the unsent tail.
        if (reset) {
            EXPECT_LE(first.data.size(), 30000u);
        } else {
            EXPECT_EQ(first.data.size(), 30000u);
        }
        EXPECT_EQ(first.last, "426 Failure writing network stream.\r\n");
        c.command("REST " + std::to_string(first.data.size()));
        RawClient::Transfer second = c.passiveTransfer("RETR big.bin");
        EXPECT_EQ(second.last, "226 Transfer complete.\r\n");
        EXPECT_EQ(testsupport::DescribeDifference(content, first.data + second.data), "");
    }
}

TEST(FakeFtpServer, SizeReportedApartFromDataAndControlDropWithData) {
    TransferFaults faults;
    faults.reportedSize = 4;
    faults.dropAfterBytes = 2;
    faults.closeControlOnDrop = true;
    FakeFtpServer server;
    server.AddFile("/f", "abcdefgh", faults);
    RawClient c;
    LoggedIn(c, server.port());
    EXPECT_EQ(c.command("SIZE /f"), "213 4\r\n");
    std::string pasv = c.command("PASV");
    UniqueFd data = RawClient::ConnectPasv(pasv);
    ASSERT_TRUE(data.valid()) << pasv;
    EXPECT_EQ(c.command("RETR f").substr(0, 4), "150 ");
    EXPECT_EQ(RawClient::ReadAll(data.Get()), "ab");
    EXPECT_TRUE(c.readUntil([](const std::string&) { return false; }).closed);
}

TEST(FakeFtpServer, StalledDataConnectionHoldsUntilTheClientGivesUp) {
    TransferFaults faults;
    faults.stallAfterBytes = 3;
    FakeFtpServer server;
    server.AddFile("/f", "abcdefgh", faults);
    RawClient c;
    LoggedIn(c, server.port());
    UniqueFd data = RawClient::ConnectPasv(c.command("PASV"));
    ASSERT_TRUE(data.valid());
    c.command("RETR f");
    ReadResult r = RawClient::ReadFrom(
        data.Get(), [](const std::string&) { return false; }, 300ms, 100);
    EXPECT_EQ(r.bytes, "abc");
    EXPECT_TRUE(r.timedOut);
    data.Reset();
    EXPECT_EQ(c.reply(), "426 Failure writing network stream.\r\n");
}

TEST(FakeFtpServer, PasvReplyTextIsConfigurableAndPortConnectsBack) {
    FakeFtpServer server;
    server.SetPasvReply([](std::uint16_t port) { return FakeFtpServer::PasvReplyText("10,0,0,5", port); });
    server.AddFile("/d/x.txt", "12345");
    server.AddDirectory("/d/sub");
    RawClient c;
    LoggedIn(c, server.port());
    std::string pasv = c.command("PASV");
    EXPECT_EQ(pasv.rfind("227 Entering Passive Mode (10,0,0,5,", 0), 0u) << pasv;

    // Active mode: the client listens, the server connects back for LIST.
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener.Get(), 1), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
    int port = ntohs(addr.sin_port);
    EXPECT_EQ(c.command("PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256)),
              "200 PORT command successful. Consider using PASV.\r\n");
    c.send("LIST d");
    pollfd p{listener.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    UniqueFd data(::accept(listener.Get(), nullptr, nullptr));
    EXPECT_EQ(c.reply(), "150 Here comes the directory listing.\r\n");
    EXPECT_EQ(RawClient::ReadAll(data.Get()),
              "drwxr-xr-x    2 ftp      ftp          4096 Jan 01  2024 sub\r\n"
              "-rw-r--r--    1 ftp      ftp                 5 Jan 01  2024 x.txt\r\n");
    EXPECT_EQ(c.reply(), "226 Directory send OK.\r\n");

    server.SetStrictPort(true);
    EXPECT_EQ(c.command("PORT 10,0,0,5,1,2"), "500 Illegal PORT command.\r\n");
    EXPECT_EQ(c.command("PORT 1,2,3"), "501 Illegal PORT command.\r\n");
    EXPECT_EQ(c.command("LIST"), "425 Failed to establish connection.\r\n");
}

TEST(FakeFtpServer, RawListingsAndEndlessListingStream) {
    FakeFtpServer server;
    server.SetListing("/", "total 0\nodd line\n");
    TransferFaults endless;
    endless.repeatForever = true;
    server.SetListing("/flood", "-rw-r--r-- 1 a b 1 Jan 01 2024 f\r\n", endless);
    RawClient c;
    LoggedIn(c, server.port());
    EXPECT_EQ(c.passiveTransfer("LIST -la").data, "total 0\nodd line\n");
    UniqueFd data = RawClient::ConnectPasv(c.command("PASV"));
    c.command("LIST /flood");
    ReadResult r = RawClient::ReadFrom(
        data.Get(), [](const std::string&) { return false; }, 3000ms, 8 << 20);
    EXPECT_GE(r.bytes.size(), std::size_t{8} << 20);
    EXPECT_FALSE(r.closed);
}

TEST(FakeFtpServer, FileCommandsChangeTheVirtualTree) {
    FakeFtpServer server;
    server.AddFile("/a/old.txt", "x");
    RawClient c;
    LoggedIn(c, server.port());
    struct Step {
        std::string command, reply;
    };
    const std::vector<Step> steps = {
        {"PWD", "257 \"/\" is the current directory\r\n"},
        {"CWD a", "250 Directory successfully changed.\r\n"},
        {"PWD", "257 \"/a\" is the current directory\r\n"},
        {"CWD nowhere", "550 Failed to change directory.\r\n"},
        {"MKD b", "257 \"/a/b\" created\r\n"},
        {"MKD b", "550 Create directory operation failed.\r\n"},
        {"RNFR old.txt", "350 Ready for RNTO.\r\n"},
        {"RNTO b/new.txt", "250 Rename successful.\r\n"},
        {"RNTO again", "503 RNFR required first.\r\n"},
        {"RNFR missing", "550 RNFR command failed.\r\n"},
        {"RMD b", "550 Remove directory operation failed.\r\n"},
        {"DELE b/new.txt", "250 Delete operation successful.\r\n"},
        {"DELE b/new.txt", "550 Delete operation failed.\r\n"},
        {"RMD /a/b", "250 Remove directory operation successful.\r\n"},
        {"CDUP", "250 Directory successfully changed.\r\n"},
        {"PWD", "257 \"/\" is the current directory\r\n"},
        {"EPSV", "502 Command not implemented.\r\n"},
    };
    for (const auto& s : steps) EXPECT_EQ(c.command(s.command), s.reply) << s.command;
    EXPECT_FALSE(server.FileContents("/a/old.txt").has_value());
    EXPECT_FALSE(server.DirectoryExists("/a/b"));

    RawClient::Transfer upload;
    std::string pasv = c.command("PASV");
    UniqueFd data = RawClient::ConnectPasv(pasv);
    ASSERT_TRUE(data.valid());
    EXPECT_EQ(c.command("STOR a/up.txt"), "150 Ok to send data.\r\n");
    ASSERT_EQ(::send(data.Get(), "uploaded", 8, MSG_NOSIGNAL), 8);
    data.Reset();
    EXPECT_EQ(c.reply(), "226 Transfer complete.\r\n");
    EXPECT_EQ(server.FileContents("/a/up.txt"), "uploaded");
}

TEST(FakeFtpServer, ConcurrentConnectionsKeepTheirOwnState) {
    FakeFtpServer server;
    server.AddFile("/one/f", "1");
    server.AddFile("/two/f", "22");
    std::vector<std::string> sizes(2);
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            RawClient c;
            LoggedIn(c, server.port());
            c.command(i == 0 ? "CWD one" : "CWD two");
            c.command("TYPE I");
            sizes[i] = c.command("SIZE f");
            c.command("QUIT");
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(sizes, (std::vector<std::string>{"213 1\r\n", "213 2\r\n"}));
    EXPECT_EQ(server.ConnectionCount(), 2);
    EXPECT_EQ(server.CommandsOf(1).size(), 6u);
    EXPECT_TRUE(server.WaitForAllClosed(5s));
}

TEST(FakeFtpServer, StopEndsBlockedSessions) {
    auto server = std::make_unique<FakeFtpServer>();
    server->GreetWith(Action::Endless("220-x\r\n"));
    RawClient reader;  // never reads: the server blocks on a full socket buffer
    ASSERT_TRUE(reader.connect(server->port()));
    RawClient quiet;
    ASSERT_TRUE(quiet.connect(server->port()));
    ASSERT_TRUE(server->WaitForConnections(2, 5s));
    server.reset();  // must return; a hang here fails the run by its time-out
    EXPECT_TRUE(reader.readUntil([](const std::string&) { return false; }, 3000ms, 64u << 20).closed);
}

// --- Real servers

class RealServerTest : public ::testing::TestWithParam<testsupport::ServerKind> {};

// The code of a reply's final line with its blank: pure-ftpd answers many
// commands with multi-line replies ("220-...", "226-...", then "226 ...").
std::string Status(const std::string& reply) {
    std::size_t end = reply.find_last_not_of("\r\n");
    if (end == std::string::npos) return {};
    std::size_t start = reply.rfind('\n', end);
    start = start == std::string::npos ? 0 : start + 1;
    return reply.substr(start, 4);
}

TEST_P(RealServerTest, StartsLogsInListsTransfersAndStops) {
    testsupport::TempDir root("qftp-root");
    ASSERT_TRUE(testsupport::WriteFile(root.file("hello.txt"), "hello\n"));
    ASSERT_TRUE(testsupport::MakeDirs(root.file("sub")));
    auto server = testsupport::RealServer::Start(GetParam(), root.Path(), "tester", "s3cret");
    ASSERT_TRUE(server.ok()) << server.error();
    EXPECT_EQ(server.Host(), "127.0.0.1");
    EXPECT_GT(server.port(), 0);

    {
        RawClient bad;
        ASSERT_TRUE(bad.connect(server.port()));
        EXPECT_EQ(Status(bad.reply()), "220 ");
        EXPECT_EQ(Status(bad.command("USER tester")), "331 ");
        bad.send("PASS wrong");
        EXPECT_EQ(Status(bad.slowReply()), "530 ") << server.Log();
    }
    RawClient c;
    ASSERT_TRUE(c.connect(server.port()));
    c.reply();
    c.command("USER tester");
    ASSERT_EQ(Status(c.command("PASS s3cret")), "230 ") << server.Log();
    c.command("TYPE I");
    EXPECT_EQ(c.command("SIZE hello.txt"), "213 6\r\n");
    std::string rest = c.command("REST 100");
    EXPECT_EQ(Status(rest), "350 ");
    EXPECT_NE(rest.find("estart"), std::string::npos) << rest;
    c.command("REST 0");

    RawClient::Transfer list = c.passiveTransfer("LIST");
    EXPECT_EQ(Status(list.last), "226 ") << list.first << server.Log();
    EXPECT_NE(list.data.find("hello.txt"), std::string::npos) << list.data;
    EXPECT_NE(list.data.find("sub"), std::string::npos) << list.data;

    RawClient::Transfer get = c.passiveTransfer("RETR hello.txt");
    EXPECT_EQ(get.data, "hello\n");

    UniqueFd data = RawClient::ConnectPasv(c.command("PASV"));
    ASSERT_TRUE(data.valid());
    // 125 when the server has already seen the data connection, 150 otherwise: the
    // order is a race between our connect and the server's accept.
    std::string stor = c.command("STOR sub/up.bin");
    EXPECT_TRUE(stor.rfind("125 ", 0) == 0 || stor.rfind("150 ", 0) == 0) << stor;
    std::string payload = testsupport::PatternBytes(0, 70000, 3);
    ASSERT_EQ(::send(data.Get(), payload.data(), payload.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(payload.size()));
    data.Reset();
    EXPECT_EQ(Status(c.reply()), "226 ");
    EXPECT_EQ(testsupport::ReadFile(root.file("sub/up.bin")), payload);
    EXPECT_EQ(Status(c.command("MKD made")), "257 ");
    EXPECT_EQ(Status(c.command("RNFR made")), "350 ");
    EXPECT_EQ(Status(c.command("RNTO renamed")), "250 ");
    EXPECT_EQ(Status(c.command("RMD renamed")), "250 ");
    EXPECT_EQ(Status(c.command("DELE sub/up.bin")), "250 ");
    EXPECT_EQ(Status(c.command("QUIT")), "221 ");

    pid_t pid = server.Pid();
    EXPECT_TRUE(server.Stop());
    EXPECT_EQ(::kill(pid, 0), -1);  // reaped: no such process any more
    EXPECT_FALSE(RawClient().connect(server.port()));
}

// pure-ftpd and proftpd read their accounts from colon-separated lines: a
// name or password holding a separator would make another account, so the
// fixture refuses it rather than start a server that logs in someone else.
TEST(RealServerAccounts, SeparatorsInNamesOrPasswordsAreRefused) {
    testsupport::TempDir root("qftp-root");
    const struct {
        testsupport::ServerKind kind;
        const char* user;
        const char* password;
    } cases[] = {
        {testsupport::ServerKind::PureFtpd, "a:b", "p"},
        {testsupport::ServerKind::PureFtpd, "u", "p\nx:0:0"},
        {testsupport::ServerKind::ProFtpd, "a:b", "p"},
        {testsupport::ServerKind::ProFtpd, "u", "p\rq"},
    };
    for (const auto& c : cases) {
        auto server = testsupport::RealServer::Start(c.kind, root.Path(), c.user, c.password);
        EXPECT_FALSE(server.ok()) << testsupport::ServerKindName(c.kind) << " " << c.user;
        EXPECT_NE(server.error().find("':'"), std::string::npos) << server.error();
        EXPECT_EQ(server.Pid(), -1);
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerTest, ::testing::ValuesIn(testsupport::AllServerKinds()),
                         [](const auto& test) { return testsupport::ServerKindName(test.param); });

// --- Process runner

TEST(RunProcess, CapturesStreamsStatusAndTimeOut) {
    testsupport::RunOptions feed;
    feed.stdinData = std::string(300000, 'z');  // more than a pipe holds
    auto cat = testsupport::RunProcess({"/bin/cat"}, feed);
    EXPECT_TRUE(cat.ExitedWith(0)) << cat.Summary();
    EXPECT_EQ(cat.out.size(), 300000u);

    auto sh = testsupport::RunProcess({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_TRUE(sh.ExitedWith(3)) << sh.Summary();
    EXPECT_EQ(sh.out, "out\n");
    EXPECT_EQ(sh.err, "err\n");

    testsupport::RunOptions brief;
    brief.timeout = 200ms;
    auto sleeper = testsupport::RunProcess({"/bin/sleep", "30"}, brief);
    EXPECT_TRUE(sleeper.timedOut);
    EXPECT_EQ(sleeper.signal, SIGKILL);

    auto missing = testsupport::RunProcess({"/nonexistent/program"});
    EXPECT_FALSE(missing.started);
    EXPECT_FALSE(missing.error.empty());

    testsupport::RunOptions ignoresInput;
    ignoresInput.stdinData = std::string(1 << 20, 'q');  // the child exits without reading it
    EXPECT_TRUE(testsupport::RunProcess({"/bin/true"}, ignoresInput).ExitedWith(0));
}

// --- File helpers

TEST(FileHelpers, Sha256KnownAnswers) {
    struct Case {
        std::string input, digest;
    };
    const std::vector<Case> cases = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) EXPECT_EQ(testsupport::Sha256Hex(c.input), c.digest) << c.input.size();
}

TEST(FileHelpers, PatternFilesAndTreeComparison) {
    testsupport::TempDir dir;
    ASSERT_TRUE(dir.ok());
    EXPECT_EQ(testsupport::PatternBytes(5, 10, 9), testsupport::PatternBytes(0, 15, 9).substr(5));
    ASSERT_TRUE(testsupport::WritePatternFile(dir.file("p.bin"), 3000000, 9));
    EXPECT_EQ(testsupport::CheckPatternFile(dir.file("p.bin"), 3000000, 9), "");
    EXPECT_NE(testsupport::CheckPatternFile(dir.file("p.bin"), 3000000, 10), "");
    EXPECT_EQ(testsupport::FileSha256Hex(dir.file("p.bin")),
              testsupport::Sha256Hex(testsupport::PatternBytes(0, 3000000, 9)));

    std::string a = dir.Subdir("a"), b = dir.Subdir("b");
    for (const std::string& root : {a, b}) {
        testsupport::WriteFile(root + "/same.txt", "same");
        testsupport::WriteFile(root + "/d/deep.txt", "deep");
    }
    EXPECT_TRUE(testsupport::CompareTrees(a, b).Same());
    testsupport::WriteFile(b + "/d/deep.txt", "DEEP");
    testsupport::WriteFile(a + "/only-a", "");
    testsupport::MakeDirs(b + "/extra");
    testsupport::TreeDiff diff = testsupport::CompareTrees(a, b);
    EXPECT_EQ(diff.onlyInExpected, std::vector<std::string>{"only-a"});
    EXPECT_EQ(diff.onlyInActual, std::vector<std::string>{"extra/"});
    ASSERT_EQ(diff.differing.size(), 1u);
    EXPECT_EQ(diff.differing[0].rfind("d/deep.txt: ", 0), 0u) << diff.Describe();

    std::string kept = dir.Path();
    { testsupport::TempDir moved = std::move(dir); }
    EXPECT_EQ(testsupport::FileSize(kept + "/p.bin"), -1);
}

}  // namespace
