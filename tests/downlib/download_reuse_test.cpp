// Tasks of one Download object reusing the logged-in connection an earlier
// task left behind, against the fake server: how many log-ins many files
// take, the log of a reused task, and the servers that spoil a cached
// connection (idle time-outs, a 421 to the check, a PASV that fails after
// it, a restart, a changed password). Each spoiled case is run twice, with
// the cache and with a fresh Download object per task, and both must end
// the same way: the cache may save log-ins, never change an outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "downlib/connection_cache.h"
#include "downlib/ftp_download.h"
#include "downlib/ftp_engine.h"
#include "downlib/session_reuse.h"
#include "support/callback_recorder.h"
#include "support/engine_test_timings.h"
#include "support/fake_ftp_server.h"
#include "support/temp_dir.h"

namespace downlib {
namespace {

using namespace std::chrono_literals;
using testsupport::Action;
using testsupport::FakeFtpServer;
using testsupport::TempDir;
using testsupport::TransferFaults;

// Kept connections are checked with TYPE I however recently they answered.
class AlwaysCheckKeptConnections {
public:
    AlwaysCheckKeptConnections() { SetQuietReuseLimitForTesting(0ms); }
    ~AlwaysCheckKeptConnections() { SetQuietReuseLimitForTesting(kQuietReuseLimit); }
};

class ShortRetryPause {
public:
    ShortRetryPause() { SetRetryPauseForTesting(50); }
    ~ShortRetryPause() { SetRetryPauseForTesting(kRetryPauseMs); }
};

// One task's callbacks: its log lines and whether it ended whole.
struct Task : testsupport::CallbackRecorder {
    TaskParam Param(const FakeFtpServer& server, const std::string& remote, const std::string& local,
                    const std::string& user = "user", const std::string& password = "secret") {
        TaskParam param;
        param.url = server.Url(remote);
        param.localPath = local;
        param.user = user;
        param.password = password;
        param.connectTimeout = param.sendTimeout = param.replyTimeout = 3000;
        Attach(param);
        return param;
    }
};

std::string Reused(const FakeFtpServer& server) {
    return "使用已登录的连接 [127.0.0.1:" + std::to_string(server.port()) + "]";
}

// Runs the task to its end on the given object.
bool RunTask(Download& download, Task& task, const TaskParam& param) {
    return download.StartTask(param) && task.WaitEnded();
}

TEST(DownloadReuse, AHundredSmallFilesTakeOneLogIn) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    server.SetCredentials("user", "secret");
    TempDir dir;
    Download download;
    for (int i = 0; i < 100; ++i) {
        const std::string name = "f" + std::to_string(i) + ".bin";
        server.AddFile("/many/" + name, testsupport::PatternBytes(0, 4096 + i, i));
        Task task;
        ASSERT_TRUE(RunTask(download, task, task.Param(server, "/many/" + name, dir.file(name)))) << i;
        ASSERT_TRUE(task.Whole()) << i << "\n" << task.Dump();
        ASSERT_EQ(testsupport::ReadFile(dir.file(name)).value_or(""),
                  testsupport::PatternBytes(0, 4096 + i, i));
        // The first task opens in full; every later one shows the reuse
        // line in place of the connect and log-in lines, and nothing else changes.
        EXPECT_EQ(task.HasLog(Reused(server)), i > 0) << i;
        EXPECT_EQ(task.HasLog("登录成功"), i == 0) << i;
        EXPECT_EQ(task.CountLogsStarting("正在连接"), i == 0 ? 1 : 0) << i;
        // The type and the restart probe belong to the connection: only its
        // first task sends them.
        for (const char* line : {"TYPE I", "REST 100", "REST 0"})
            EXPECT_EQ(task.HasLog(line), i == 0) << i << " " << line << "\n" << task.Dump();
        EXPECT_TRUE(task.HasLog("站点支持断点续传")) << i << "\n" << task.Dump();
        EXPECT_TRUE(task.HasLog("RETR /many/" + name)) << task.Dump();
    }
    EXPECT_EQ(server.CountCommands("USER"), 1);
    EXPECT_EQ(server.ConnectionCount(), 1);
}

// The verb of each command line the first connection sent after the given
// number of its RETR and STOR commands.
std::vector<std::string> VerbsAfterTransfers(const FakeFtpServer& server, int transfers) {
    std::vector<std::string> verbs;
    int seen = 0;
    for (const std::string& line : server.CommandsOf(1)) {
        const std::string verb = line.substr(0, line.find(' '));
        if (seen >= transfers) verbs.push_back(verb);
        if (verb == "RETR" || verb == "STOR") ++seen;
    }
    return verbs;
}

TEST(DownloadReuse, AKeptConnectionCostsTwoWritesPerFile) {
    // Over a slow link every command is a round trip: a kept connection that
    // answered just now sends only what the file needs; one idle for longer
    // than the quiet limit proves it is alive with TYPE I first; an ASCII
    // file switches the type there and back.
    using Verbs = std::vector<std::string>;
    struct Case {
        const char* name;
        std::chrono::milliseconds quietLimit;
        int asciiEvery;  // every n-th file is an ASCII one (0: none)
        Verbs perFile;   // the commands of each binary file after the first
    };
    const Case cases[] = {
        {"recently quiet", kQuietReuseLimit, 0, {"SIZE", "MDTM", "PASV", "RETR"}},
        {"checked each time", 0ms, 0, {"TYPE", "SIZE", "MDTM", "PASV", "RETR"}},
        {"type only when it changes", kQuietReuseLimit, 2, {"TYPE", "SIZE", "MDTM", "PASV", "RETR"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetQuietReuseLimitForTesting(c.quietLimit);
        FakeFtpServer server;
        ASSERT_TRUE(server.ok()) << server.error();
        TempDir dir;
        Download download;
        constexpr int kFiles = 6;
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "f" + std::to_string(i);
            server.AddFile("/" + name, testsupport::PatternBytes(0, 2000, i));
            Task task;
            TaskParam param = task.Param(server, "/" + name, dir.file(name));
            if (c.asciiEvery > 0 && i % c.asciiEvery == 1) param.transferTypeMode = 2;
            ASSERT_TRUE(RunTask(download, task, param)) << i;
            ASSERT_TRUE(task.Whole()) << i << "\n" << task.Dump();
        }
        SetQuietReuseLimitForTesting(kQuietReuseLimit);
        EXPECT_EQ(server.ConnectionCount(), 1) << server.Transcript();
        // FEAT (what hashes the server offers) once per connection, after the first file.
        Verbs expected{"FEAT"};
        for (int i = 1; i < kFiles; ++i) {
            if (c.asciiEvery > 0 && i % c.asciiEvery == 1) {
                expected.insert(expected.end(),
                                {"SIZE", "MDTM", "TYPE", "PASV", "RETR"});  // TYPE A after them
            } else {
                expected.insert(expected.end(), c.perFile.begin(), c.perFile.end());
            }
        }
        EXPECT_EQ(VerbsAfterTransfers(server, 1), expected) << server.Transcript();
        EXPECT_EQ(server.CountCommands("REST"), 2) << "the probe runs once per connection";
    }
}

TEST(DownloadReuse, SizeAndPasvInOneWriteNeverMixUpReplies) {
    // SIZE and PASV go out together; whatever the server does between the
    // two replies, each reply is taken for its own command, and the next task
    // on the same object gets its file byte for byte.
    ShortRetryPause pause;
    const std::string content = testsupport::PatternBytes(0, 3000, 8);
    struct Case {
        const char* name;
        std::function<void(FakeFtpServer&)> fault;
        bool firstWhole;
    };
    const Case cases[] = {
        {"SIZE answered slowly",
         [](FakeFtpServer& s) { s.OnNext("SIZE", {Action::Reply("213 3000\r\n").After(300)}); }, true},
        {"SIZE refused", [](FakeFtpServer& s) { s.ReplyNext("SIZE", {"550 No such file.\r\n"}); }, false},
        {"closed after the SIZE reply",
         [](FakeFtpServer& s) { s.OnNext("SIZE", {Action::ReplyAndClose("213 3000\r\n")}); }, true},
        {"closed at SIZE", [](FakeFtpServer& s) { s.OnNext("SIZE", {Action::Close()}); }, false},
        {"PASV refused", [](FakeFtpServer& s) { s.ReplyNext("PASV", {"425 No passive port.\r\n"}); }, true},
        {"a multi-line SIZE reply",
         [](FakeFtpServer& s) { s.ReplyNext("SIZE", {"213-size\r\n213 3000\r\n"}); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/f", content);
        c.fault(server);
        TempDir dir;
        Download download;
        Task first;
        TaskParam param = first.Param(server, "/f", dir.file("f1"));
        param.retryCount = 1;
        ASSERT_TRUE(RunTask(download, first, param));
        EXPECT_EQ(first.Whole(), c.firstWhole) << first.Dump();
        if (c.firstWhole) {
            EXPECT_EQ(testsupport::ReadFile(dir.file("f1")).value_or(""), content);
        }
        Task second;
        ASSERT_TRUE(RunTask(download, second, second.Param(server, "/f", dir.file("f2"))));
        EXPECT_TRUE(second.Whole()) << second.Dump();
        EXPECT_EQ(testsupport::ReadFile(dir.file("f2")).value_or(""), content) << server.Transcript();
    }
}

TEST(DownloadReuse, AServerThatDropsIdleConnectionsStillDeliversEveryFile) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.SetIdleTimeout(300ms);
    TempDir dir;
    Download download;
    for (int i = 0; i < 100; ++i) {
        const std::string name = "f" + std::to_string(i);
        server.AddFile("/" + name, testsupport::PatternBytes(0, 3000, i));
        // Now and then the next task comes after the server has hung up,
        // and sometimes just as it does.
        if (i % 20 == 19) std::this_thread::sleep_for(400ms);
        if (i % 20 == 9) std::this_thread::sleep_for(300ms);
        Task task;
        ASSERT_TRUE(RunTask(download, task, task.Param(server, "/" + name, dir.file(name)))) << i;
        EXPECT_TRUE(task.Whole()) << i << "\n" << task.Dump();
        EXPECT_FALSE(task.HasLog("等待5秒后重试")) << i << "\n" << task.Dump();
        EXPECT_EQ(testsupport::ReadFile(dir.file(name)).value_or(""), testsupport::PatternBytes(0, 3000, i));
    }
    // A log-in at the start and after each pause the server hung up in.
    EXPECT_GE(server.CountCommands("USER"), 2);
    EXPECT_LE(server.CountCommands("USER"), 11);
}

// What a second task does after the first left its connection, with the
// fault applied in between; `cached` false runs it on a fresh object.
struct Outcome {
    bool whole = false;
    bool reusedLine = false;
    int retries = 0;
    int logIns = 0;
    std::string file;
    std::string log;
};

Outcome SecondTask(bool cached, const std::function<void(FakeFtpServer&)>& fault) {
    ShortRetryPause pause;
    FakeFtpServer server;
    server.SetCredentials("user", "secret");
    server.AddFile("/one", "first file");
    server.AddFile("/two", testsupport::PatternBytes(0, 30000, 2));
    TempDir dir;
    Outcome out;
    auto first = std::make_unique<Download>();
    Task one;
    if (!RunTask(*first, one, one.Param(server, "/one", dir.file("one"))) || !one.Whole()) return out;
    fault(server);
    if (!cached) first = std::make_unique<Download>();
    Task two;
    if (!first->StartTask(two.Param(server, "/two", dir.file("two")))) return out;
    // A log-in that fails is retried for ever: stop it after the first round.
    std::thread stopper([&] {
        if (two.WaitForLogOrEnd("登录失败")) first->StopTask();
    });
    two.WaitEnded();
    stopper.join();
    out.whole = two.Whole();
    out.reusedLine = two.HasLog(Reused(server));
    out.retries = two.CountLogsStarting("等待");
    out.logIns = server.CountCommands("USER");
    out.file = testsupport::ReadFile(dir.file("two")).value_or("<none>");
    out.log = two.Dump();
    return out;
}

TEST(DownloadReuse, ASpoiledKeptConnectionChangesNoOutcome) {
    // The faults spoil the connection the first task left; a task on a fresh
    // object does not meet them. Both must fetch the file the same way. The
    // faults hit the liveness check, so it runs here for every kept connection.
    AlwaysCheckKeptConnections check;
    struct Case {
        const char* name;
        std::function<void(FakeFtpServer&)> fault;
        bool reused;  // the task ran on the kept connection
    };
    const Case cases[] = {
        {"nothing wrong", [](FakeFtpServer&) {}, true},
        {"421 to the check",
         [](FakeFtpServer& s) { s.OnNext("TYPE", {Action::ReplyAndClose("421 Timeout.\r\n")}); }, false},
        {"the check refused", [](FakeFtpServer& s) { s.ReplyNext("TYPE", {"530 Not logged in.\r\n"}); },
         false},
        {"closed at the check", [](FakeFtpServer& s) { s.OnNext("TYPE", {Action::Close()}); }, false},
        {"silent at the check", [](FakeFtpServer& s) { s.OnNext("TYPE", {Action::Silence()}); }, false},
        {"restarted",
         [](FakeFtpServer& s) {
             s.DropConnections();
             s.WaitForAllClosed(5s);
         },
         false},
        {"idle time-out passed",
         [](FakeFtpServer& s) {
             s.SetIdleTimeout(100ms);
             std::this_thread::sleep_for(400ms);
             s.SetIdleTimeout(0ms);
         },
         false},
    };
    const Outcome baseline = SecondTask(false, [](FakeFtpServer&) {});
    ASSERT_TRUE(baseline.whole) << baseline.log;
    EXPECT_EQ(baseline.retries, 0);
    EXPECT_EQ(baseline.file, testsupport::PatternBytes(0, 30000, 2));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome with = SecondTask(true, c.fault);
        EXPECT_EQ(with.whole, baseline.whole) << with.log;
        EXPECT_EQ(with.retries, baseline.retries) << with.log;
        EXPECT_EQ(with.file, baseline.file);
        EXPECT_EQ(with.reusedLine, c.reused) << with.log;
        EXPECT_EQ(with.logIns, c.reused ? 1 : 2);
        // A failed check leaves no trace in the task's log.
        EXPECT_EQ(with.log.find("获得返回命令失败"), std::string::npos) << with.log;
        // The reply's own text: a bare "421" also turns up in port numbers.
        EXPECT_EQ(with.log.find("421 Timeout"), std::string::npos) << with.log;
    }
}

TEST(DownloadReuse, APassiveModeFailureAfterTheCheckEndsAsOnAFreshConnection) {
    // The check passes; then the server ends the session at PASV. A fresh
    // connection meeting the same fault goes the same way: the active-mode
    // fall-back fails on the closed connection, the task retries, and the
    // file arrives.
    auto fault = [](FakeFtpServer& s) {
        s.OnNext("PASV",
                 {Action::ReplyAndClose("421 Service not available, closing control connection.\r\n")});
    };
    const Outcome with = SecondTask(true, fault);
    const Outcome without = SecondTask(false, fault);
    EXPECT_TRUE(with.reusedLine) << with.log;
    for (const Outcome* o : {&with, &without}) {
        EXPECT_TRUE(o->whole) << o->log;
        EXPECT_EQ(o->retries, 1) << o->log;
        EXPECT_EQ(o->file, testsupport::PatternBytes(0, 30000, 2));
    }
}

TEST(DownloadReuse, AChangedPasswordIsNeverCoveredByAKeptConnection) {
    // The server's password changed after the first task; the second task
    // comes with the new one, and a third with a wrong one.
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.SetCredentials("user", "secret");
    server.AddFile("/a", "aaa");
    TempDir dir;
    Download download;
    Task one;
    ASSERT_TRUE(RunTask(download, one, one.Param(server, "/a", dir.file("a1"))));
    ASSERT_TRUE(one.Whole());
    server.SetCredentials("user", "changed");

    Task two;
    ASSERT_TRUE(RunTask(download, two, two.Param(server, "/a", dir.file("a2"), "user", "changed")));
    EXPECT_TRUE(two.Whole()) << two.Dump();
    EXPECT_FALSE(two.HasLog(Reused(server))) << two.Dump();
    EXPECT_TRUE(two.HasLog("登录成功"));
    EXPECT_EQ(server.ConnectionCount(), 2);

    ShortRetryPause pause;
    Task three;
    ASSERT_TRUE(download.StartTask(three.Param(server, "/a", dir.file("a3"), "user", "wrong")));
    ASSERT_TRUE(three.WaitForLog("登录失败")) << three.Dump();
    download.StopTask();
    ASSERT_TRUE(three.WaitEnded());
    EXPECT_FALSE(three.Whole());
    EXPECT_FALSE(three.HasLog(Reused(server)));
    EXPECT_TRUE(three.HasLog("出现错误")) << three.Dump();
    EXPECT_FALSE(testsupport::ReadFile(dir.file("a3")).has_value());
}

TEST(DownloadReuse, UploadsAndDownloadsShareTheConnection) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddDirectory("/up");
    server.AddFile("/down.bin", "down");
    TempDir dir;
    testsupport::WriteFile(dir.file("local.bin"), "up-content");
    Download download;
    for (int round = 0; round < 3; ++round) {
        Task put;
        ASSERT_TRUE(
            download.StartUpload(put.Param(server, "/up/r" + std::to_string(round), dir.file("local.bin"))));
        ASSERT_TRUE(put.WaitEnded());
        EXPECT_TRUE(put.Whole()) << put.Dump();
        EXPECT_EQ(put.HasLog(Reused(server)), round > 0) << put.Dump();
        EXPECT_FALSE(put.HasLog("QUIT")) << "a kept connection says no goodbye";
        Task get;
        ASSERT_TRUE(
            RunTask(download, get, get.Param(server, "/down.bin", dir.file("d" + std::to_string(round)))));
        EXPECT_TRUE(get.Whole()) << get.Dump();
        EXPECT_TRUE(get.HasLog(Reused(server))) << get.Dump();
        EXPECT_EQ(server.FileContents("/up/r" + std::to_string(round)).value_or(""), "up-content");
    }
    EXPECT_EQ(server.CountCommands("USER"), 1);
}

TEST(DownloadReuse, AnAsciiTaskLeavesNothingBehindForABinaryOne) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.SetBinaryOnlyRestAndSize(true);  // REST and SIZE fail in ASCII type
    server.AddFile("/a.txt", "text\n");
    server.AddFile("/b.bin", testsupport::PatternBytes(0, 9000, 1));
    TempDir dir;
    Download download;
    Task text;
    TaskParam ascii = text.Param(server, "/a.txt", dir.file("a.txt"));
    ascii.transferTypeMode = 2;
    ASSERT_TRUE(RunTask(download, text, ascii));
    ASSERT_TRUE(text.Whole()) << text.Dump();
    Task binary;
    ASSERT_TRUE(RunTask(download, binary, binary.Param(server, "/b.bin", dir.file("b.bin"))));
    EXPECT_TRUE(binary.Whole()) << binary.Dump();
    EXPECT_TRUE(binary.HasLog(Reused(server)));
    EXPECT_TRUE(binary.HasLog("站点支持断点续传")) << binary.Dump();
    EXPECT_EQ(server.CountCommands("USER"), 1);
}

TEST(DownloadReuse, AFailedTaskKeepsNoConnection) {
    // However a task fails, the next one must log in again: its connection
    // may be out of step or the server may have given up on it.
    struct Case {
        const char* name;
        std::function<void(FakeFtpServer&)> fault;
    };
    const Case cases[] = {
        {"no such file", [](FakeFtpServer&) {}},
        {"every byte, then 426",
         [](FakeFtpServer& s) {
             TransferFaults faults;
             faults.dropAfterBytes = 5000;
             faults.dropTimes = 100;
             s.AddFile("/missing", testsupport::PatternBytes(0, 5000, 4), faults);
         }},
        {"RETR refused",
         [](FakeFtpServer& s) {
             s.AddFile("/missing", "x");
             s.ReplyNext("RETR", {"550 No.\r\n"});
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/ok", "ok");
        c.fault(server);
        TempDir dir;
        Download download;
        Task missing;
        TaskParam param = missing.Param(server, "/missing", dir.file("m"));
        param.retryCount = 0;
        ASSERT_TRUE(RunTask(download, missing, param));
        EXPECT_FALSE(missing.Whole()) << missing.Dump();
        Task next;
        ASSERT_TRUE(RunTask(download, next, next.Param(server, "/ok", dir.file("ok"))));
        EXPECT_TRUE(next.Whole()) << next.Dump();
        EXPECT_FALSE(next.HasLog(Reused(server))) << next.Dump();
        EXPECT_EQ(server.CountCommands("USER"), 2);
    }
}

TEST(DownloadReuse, WhenPassiveAndActiveModeBothFailTheNextTaskTriesPassiveAgain) {
    // The first task meets a PASV naming a port it cannot use (the control
    // port, or 0) and a refused PORT: it ends. The next task, on the same
    // object, starts in passive mode again, whatever the first one met.
    for (std::uint16_t badPort : {std::uint16_t{0}, std::uint16_t{1}}) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        const std::uint16_t named = badPort == 1 ? server.port() : badPort;
        SCOPED_TRACE(named);
        server.AddFile("/f", testsupport::PatternBytes(0, 3000, 6));
        server.ReplyNext("PASV", {FakeFtpServer::PasvReplyText("127,0,0,1", named)});
        server.ReplyNext("PORT", {"500 Illegal PORT command.\r\n"});
        TempDir dir;
        Download download;
        Task first;
        TaskParam param = first.Param(server, "/f", dir.file("f1"));
        param.retryCount = 0;
        ASSERT_TRUE(RunTask(download, first, param));
        EXPECT_FALSE(first.Whole()) << first.Dump();
        EXPECT_TRUE(first.HasLog("被动模式的数据端口不可用")) << first.Dump();
        EXPECT_EQ(server.CountCommands("RETR"), 0);
        Task second;
        ASSERT_TRUE(RunTask(download, second, second.Param(server, "/f", dir.file("f2"))));
        EXPECT_TRUE(second.Whole()) << second.Dump();
        EXPECT_EQ(server.CountCommands("PASV"), 2) << server.Transcript();
        EXPECT_EQ(server.CountCommands("PORT"), 1) << server.Transcript();
        EXPECT_EQ(testsupport::ReadFile(dir.file("f2")).value_or(""), testsupport::PatternBytes(0, 3000, 6));
    }
}

TEST(DownloadReuse, RetriesAreBoundedAndEachSaysWhy) {
    // Faults that no retry mends: the task fails after its retry count,
    // each retry logged with the reason, the last reason in the final line.
    ShortRetryPause pause;
    struct Case {
        const char* name;
        std::function<void(FakeFtpServer&)> fault;
        int retries;
        const char* reason;
    };
    const Case cases[] = {
        {"log-in refused", [](FakeFtpServer& s) { s.SetCredentials("user", "other"); }, 2, "登录失败"},
        {"RETR refused", [](FakeFtpServer& s) { s.Reply("RETR", "451 Local error.\r\n"); }, 3,
         "数据传送失败"},
        {"data stalls after 150",
         [](FakeFtpServer& s) {
             TransferFaults faults;
             faults.stallAfterBytes = 1000;
             s.SetFaults("/f", faults);
         },
         1, nullptr},
        {"no retries at all", [](FakeFtpServer& s) { s.SetCredentials("user", "other"); }, 0, "登录失败"},
        // A refusal for too many connections says so, with the server's words.
        {"greeting 421",
         [](FakeFtpServer& s) { s.SetGreeting("421 Too many connections (1) from this IP\r\n"); }, 1,
         "服务器不接受更多的连接: 421 Too many connections (1) from this IP"},
        {"PASS 530 for a host's limit",
         [](FakeFtpServer& s) {
             s.Reply(
                 "PASS",
                 "530 Sorry, the maximum number of clients (1) from your host are already connected.\r\n");
         },
         1, "服务器不接受更多的连接: 530 Sorry, the maximum number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.SetCredentials("user", "secret");
        server.AddFile("/f", testsupport::PatternBytes(0, 20000, 5));
        c.fault(server);
        TempDir dir;
        Download download;
        Task task;
        TaskParam param = task.Param(server, "/f", dir.file("f"));
        param.replyTimeout = 300;  // the stall is bounded by the reply time-out
        param.retryCount = c.retries;
        ASSERT_TRUE(RunTask(download, task, param));
        EXPECT_FALSE(task.Whole()) << task.Dump();
        EXPECT_EQ(server.ConnectionCount(), c.retries + 1) << task.Dump();
        EXPECT_EQ(task.CountLogsStarting("重试 "), c.retries) << task.Dump();
        for (int i = 1; i <= c.retries; ++i) {
            const std::string prefix = "重试 " + std::to_string(i) + "/" + std::to_string(c.retries) + ": ";
            EXPECT_EQ(task.CountLogsStarting(prefix + (c.reason ? c.reason : "")), 1)
                << prefix << task.Dump();
        }
        const std::string last = "重试" + std::to_string(c.retries) + "次后仍然失败: ";
        EXPECT_EQ(task.CountLogsStarting(last + (c.reason ? c.reason : "")), 1) << task.Dump();
    }
}

TEST(DownloadReuse, StopAndTheObjectsEndCloseKeptConnectionsWithQuit) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddFile("/f", "f");
    TempDir dir;
    {
        Download download;
        Task one;
        ASSERT_TRUE(RunTask(download, one, one.Param(server, "/f", dir.file("f1"))));
        EXPECT_EQ(server.CountCommands("QUIT"), 0);
        download.StopTask();  // idle: only the kept connection goes
        EXPECT_EQ(server.CountCommands("QUIT"), 1);
        Task two;
        ASSERT_TRUE(RunTask(download, two, two.Param(server, "/f", dir.file("f2"))));
        EXPECT_FALSE(two.HasLog(Reused(server)));
        EXPECT_TRUE(two.Whole());
    }
    EXPECT_EQ(server.CountCommands("QUIT"), 2);
    EXPECT_TRUE(server.WaitForAllClosed(5s));
}

TEST(DownloadReuse, AStoppedTaskLeavesNoConnectionBehind) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    testsupport::TransferFaults slow;
    slow.chunkBytes = 1000;
    slow.chunkDelayMs = 20;
    server.AddFile("/slow", testsupport::PatternBytes(0, 200000, 1), slow);
    server.AddFile("/f", "f");
    TempDir dir;
    Download download;
    Task stopped;
    ASSERT_TRUE(download.StartTask(stopped.Param(server, "/slow", dir.file("slow"))));
    ASSERT_TRUE(server.WaitForCommand("RETR", 10s));
    download.StopTask();
    ASSERT_TRUE(stopped.WaitEnded());
    EXPECT_FALSE(stopped.Whole());
    Task next;
    ASSERT_TRUE(RunTask(download, next, next.Param(server, "/f", dir.file("f"))));
    EXPECT_FALSE(next.HasLog(Reused(server))) << next.Dump();
    EXPECT_TRUE(next.Whole());
}

TEST(DownloadReuse, AnIdleKeptConnectionIsEndedWithQuitWhileTheObjectLives) {
    SetConnectionIdleLimitForTesting(300ms);
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddFile("/f", "f");
    TempDir dir;
    Download download;
    SetConnectionIdleLimitForTesting(ConnectionCache::kIdleLimit);
    Task one;
    ASSERT_TRUE(RunTask(download, one, one.Param(server, "/f", dir.file("f"))));
    EXPECT_TRUE(server.WaitForCommand("QUIT", 10s));
    EXPECT_TRUE(server.WaitForAllClosed(5s));
}

TEST(DownloadReuse, TwoObjectsAtOnceNeverShareAConnection) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    for (int i = 0; i < 20; ++i)
        server.AddFile("/f" + std::to_string(i), testsupport::PatternBytes(0, 5000, i));
    TempDir dir;
    auto fetchAll = [&](const std::string& tag, bool& allWhole) {
        Download download;
        allWhole = true;
        for (int i = 0; i < 20; ++i) {
            Task task;
            const std::string local = dir.file(tag + std::to_string(i));
            allWhole = RunTask(download, task, task.Param(server, "/f" + std::to_string(i), local)) &&
                       task.Whole() &&
                       testsupport::ReadFile(local).value_or("") == testsupport::PatternBytes(0, 5000, i) &&
                       allWhole;
        }
    };
    bool firstWhole = false;
    bool secondWhole = false;
    std::thread first([&] { fetchAll("a", firstWhole); });
    std::thread second([&] { fetchAll("b", secondWhole); });
    first.join();
    second.join();
    EXPECT_TRUE(firstWhole);
    EXPECT_TRUE(secondWhole);
    EXPECT_EQ(server.ConnectionCount(), 2);
    EXPECT_EQ(server.CountCommands("USER"), 2);
}

TEST(DownloadReuse, ATaskOfSeveralConnectionsLeavesThoseThatEndedInStep) {
    // The part that ends the file ends with a 2xx reply; the others break
    // their transfers off at their parts' ends, and are kept only when the
    // server still calls theirs complete (226 rather than 426, when the rest
    // had left it already). How many connections a task of four opens
    // depends on how its parts split, and a worker opened after another has
    // ended may already take that one's kept connection; what is kept in
    // step is used again, within the first task or by the next.
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddPatternFile("/big", 4 << 20, 9);
    TempDir dir;
    Download download;
    int reusedInAll = 0;
    for (int round = 0; round < 2; ++round) {
        Task task;
        TaskParam param = task.Param(server, "/big", dir.file("big" + std::to_string(round)));
        param.connections = 4;
        ASSERT_TRUE(RunTask(download, task, param));
        EXPECT_TRUE(task.Whole()) << task.Dump();
        EXPECT_EQ(testsupport::CheckPatternFile(dir.file("big" + std::to_string(round)), 4 << 20, 9), "");
        const int reused = task.CountLogsStarting("使用已登录的连接");
        EXPECT_LE(reused, static_cast<int>(ConnectionCache::kPerKeyLimit));
        reusedInAll += reused;
    }
    EXPECT_GE(reusedInAll, 1);
    // Nothing was kept before the first task: it logged in.
    EXPECT_GE(server.CountCommands("USER"), 1);
}

}  // namespace
}  // namespace downlib
