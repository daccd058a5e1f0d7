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
        for (const char* line : {"TYPE I", "REST 100", "站点支持断点续传", "REST 0"})
            EXPECT_TRUE(task.HasLog(line)) << i << " " << line << "\n" << task.Dump();
        EXPECT_TRUE(task.HasLog("RETR /many/" + name)) << task.Dump();
    }
    EXPECT_EQ(server.CountCommands("USER"), 1);
    EXPECT_EQ(server.ConnectionCount(), 1);
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
    // object does not meet them. Both must fetch the file the same way.
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
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddFile("/ok", "ok");
    TempDir dir;
    Download download;
    Task missing;
    ASSERT_TRUE(RunTask(download, missing, missing.Param(server, "/missing", dir.file("m"))));
    EXPECT_FALSE(missing.Whole());
    Task next;
    ASSERT_TRUE(RunTask(download, next, next.Param(server, "/ok", dir.file("ok"))));
    EXPECT_TRUE(next.Whole());
    EXPECT_FALSE(next.HasLog(Reused(server)));
    EXPECT_EQ(server.CountCommands("USER"), 2);
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
    // depends on how its parts split; the next task starts on kept ones.
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddPatternFile("/big", 4 << 20, 9);
    TempDir dir;
    Download download;
    for (int round = 0; round < 2; ++round) {
        Task task;
        TaskParam param = task.Param(server, "/big", dir.file("big" + std::to_string(round)));
        param.connections = 4;
        ASSERT_TRUE(RunTask(download, task, param));
        EXPECT_TRUE(task.Whole()) << task.Dump();
        EXPECT_EQ(testsupport::CheckPatternFile(dir.file("big" + std::to_string(round)), 4 << 20, 9), "");
        const int reused = task.CountLogsStarting("使用已登录的连接");
        if (round == 0) {
            EXPECT_EQ(reused, 0);
        } else {
            EXPECT_GE(reused, 1) << task.Dump();
        }
        EXPECT_LE(reused, static_cast<int>(ConnectionCache::kPerKeyLimit));
    }
}

}  // namespace
}  // namespace downlib
