// Download tasks against the scriptable fake server: the wire order of a
// task, resume with REST, the same-name rule, the local file's failures, the
// rate limit, stops, several connections, and servers that misreport sizes
// or break transfers. Files are compared byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "downlib/error_codes.h"
#include "downlib/ftp_download.h"
#include "downlib/ftp_engine.h"
#include "support/callback_recorder.h"
#include "support/engine_test_timings.h"
#include "support/fake_ftp_server.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"

namespace downlib {
namespace {

using std::chrono::milliseconds;
using testsupport::Action;
using testsupport::FakeFtpServer;
using testsupport::TempDir;
using testsupport::TransferFaults;

// Shortens the 5-second retry pause for one test.
class ShortRetryPause {
public:
    explicit ShortRetryPause(int ms = 50) { SetRetryPauseForTesting(ms); }
    ~ShortRetryPause() { SetRetryPauseForTesting(kRetryPauseMs); }
};

// What one task reported through its two callbacks.
using TaskLog = testsupport::CallbackRecorder;

// Runs one task to its end with a fresh Download object.
void RunTask(TaskLog& log, const TaskParam& param) {
    Download download;
    ASSERT_TRUE(download.StartTask(param));
    ASSERT_TRUE(log.WaitEnded()) << log.Dump();
}

std::vector<std::string> WithoutPass(std::vector<std::string> commands) {
    for (auto& command : commands)
        if (command.rfind("PASS ", 0) == 0) command = "PASS";
    return commands;
}

TEST(DownloadFake, ATaskLogsInSwitchesToBinaryProbesSizesAndRetrieves) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    server.SetBinaryOnlyRestAndSize(true);  // as pyftpdlib and proftpd do
    std::string content = testsupport::PatternBytes(0, 100000, 7);
    server.AddFile("/pub/a.bin", content);
    TempDir dir;
    TaskLog log;
    RunTask(log, log.Param(server.Url("/pub/a.bin"), dir.file("a.bin")));

    // The QUIT is the Download object's, ending the connection the task
    // left logged in for a next one. FEAT asks once per connection whether
    // the server offers a hash to check the file with.
    EXPECT_EQ(WithoutPass(server.CommandsOf(1)),
              (std::vector<std::string>{"USER user", "PASS", "TYPE I", "REST 100", "REST 0", "SIZE pub/a.bin",
                                        "MDTM pub/a.bin", "PASV", "RETR pub/a.bin", "FEAT", "QUIT"}));
    EXPECT_EQ(testsupport::ReadFile(dir.file("a.bin")).value_or(""), content);
    EXPECT_TRUE(log.HasLog("站点支持断点续传", LogError)) << log.Dump();
    EXPECT_TRUE(log.HasLog("REST 0", LogCommand));
    EXPECT_TRUE(log.HasLog("TYPE I", LogReply));
    EXPECT_EQ(log.Count(TaskEnded), 1);
    EXPECT_EQ(log.Codes().back(), TaskEnded);
    EXPECT_EQ(log.EndCount(), 100000);
    EXPECT_EQ(log.Last(TaskTransferStarted), 100000);
    EXPECT_EQ(log.Sum(TaskBytes), 100000);
    EXPECT_EQ(log.Count(TaskWorkerStarted), 1);
    EXPECT_EQ(log.Count(TaskFirstSegment), 1);
    EXPECT_TRUE(log.Whole());
    // The worker's own events come before the end of the task.
    const std::vector<int> codes = log.Codes();
    EXPECT_LT(std::find(codes.begin(), codes.end(), TaskWorkerDone) - codes.begin(),
              static_cast<long>(codes.size()) - 1);
}

TEST(DownloadFake, AnyRestartProbeAnswered350IsFollowedByRest0) {
    struct Case {
        testsupport::RestMode mode;
        bool supported;
        bool rest0;
    } cases[] = {
        {testsupport::RestMode::Supported, true, true},
        {testsupport::RestMode::NoRestartWord, false, true},  // marker set although the text lacks the word
        {testsupport::RestMode::Refused, false, false},
    };
    for (const Case& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.SetRestMode(c.mode);
        std::string content = testsupport::PatternBytes(0, 5000, 3);
        server.AddFile("/f.bin", content);
        TempDir dir;
        TaskLog log;
        RunTask(log, log.Param(server.Url("/f.bin"), dir.file("f.bin")));
        std::vector<std::string> commands = server.CommandsOf(1);
        auto rest0 = std::find(commands.begin(), commands.end(), "REST 0");
        auto retr = std::find(commands.begin(), commands.end(), "RETR f.bin");
        EXPECT_EQ(rest0 != commands.end(), c.rest0) << server.Transcript();
        if (c.rest0) {
            EXPECT_LT(rest0, retr);
        }
        EXPECT_TRUE(log.HasLog(c.supported ? "站点支持断点续传" : "站点不支持断点续传", LogError));
        EXPECT_EQ(testsupport::ReadFile(dir.file("f.bin")).value_or(""), content) << server.Transcript();
        EXPECT_TRUE(log.Whole());
    }
}

TEST(DownloadFake, ABrokenTransferResumesWithRestAtTheFirstByteNotWritten) {
    // The real five-second pause: the log names it.
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = testsupport::PatternBytes(0, 1500000, 11);
    TransferFaults faults;
    faults.dropAfterBytes = 1000000;
    server.AddFile("/big.bin", content, faults);
    TempDir dir;
    TaskLog log;
    RunTask(log, log.Param(server.Url("/big.bin"), dir.file("big.bin")));

    EXPECT_EQ(testsupport::FileSha256Hex(dir.file("big.bin")), testsupport::Sha256Hex(content));
    EXPECT_TRUE(log.HasLog("等待5秒后重试", LogInfo)) << log.Dump();
    EXPECT_TRUE(log.HasLog(SocketErrorReportText(ErrorCode::PeerClosed), LogError)) << log.Dump();
    ASSERT_EQ(server.ConnectionCount(), 2);
    std::vector<std::string> second = server.CommandsOf(2);
    auto rest = std::find(second.begin(), second.end(), "REST 1000000");
    ASSERT_NE(rest, second.end()) << server.Transcript();
    EXPECT_EQ(*(rest + 1), "RETR big.bin");
    EXPECT_EQ(std::count(second.begin(), second.end(), "USER user"), 1);
    EXPECT_TRUE(log.Whole());
    EXPECT_EQ(log.Sum(TaskBytes), 1500000);  // nothing fetched twice
    EXPECT_EQ(log.EndCount(), 1500000);
}

TEST(DownloadFake, BreaksAtAnyPointResumeToAnIdenticalFile) {
    ShortRetryPause pause;
    const struct {
        std::int64_t dropAfter;
        bool reset;
        int times;
    } cases[] = {{1, false, 1}, {20480, false, 1}, {20481, true, 1}, {777777, true, 1}, {300000, false, 3}};
    for (const auto& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        std::string content = testsupport::PatternBytes(0, 1000000, 5);
        TransferFaults faults;
        faults.dropAfterBytes = c.dropAfter;
        faults.resetOnDrop = c.reset;
        faults.dropTimes = c.times;
        server.AddFile("/x.bin", content, faults);
        TempDir dir;
        TaskLog log;
        RunTask(log, log.Param(server.Url("/x.bin"), dir.file("x.bin")));
        EXPECT_EQ(testsupport::FileSha256Hex(dir.file("x.bin")), testsupport::Sha256Hex(content))
            << "drop after " << c.dropAfter << "\n"
            << server.Transcript();
        EXPECT_EQ(server.ConnectionCount(), 1 + c.times);
        EXPECT_TRUE(log.Whole()) << log.Dump();
    }
}

TEST(DownloadFake, WithoutRestSupportABrokenTransferFailsAndTheFileIsCut) {
    ShortRetryPause pause;
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.SetRestMode(testsupport::RestMode::Refused);
    std::string content = testsupport::PatternBytes(0, 200000, 9);
    TransferFaults faults;
    faults.dropAfterBytes = 50000;
    server.AddFile("/n.bin", content, faults);
    TempDir dir;
    TaskLog log;
    RunTask(log, log.Param(server.Url("/n.bin"), dir.file("n.bin")));
    EXPECT_TRUE(log.HasLog("该站点不支持断点续传", LogError)) << log.Dump();
    EXPECT_EQ(log.Count(TaskWorkerFailed), 1);
    EXPECT_EQ(log.Count(TaskWorkerDone), 0);
    // What arrived stays under the temporary name only.
    EXPECT_EQ(testsupport::ReadFile(dir.file("n.bin.quorvel-part")).value_or("<none>"),
              content.substr(0, 50000));
    EXPECT_EQ(testsupport::FileSize(dir.file("n.bin")), -1);
    EXPECT_EQ(log.EndCount(), 50000);
    EXPECT_EQ(server.CountCommands("RETR"), 1);  // no second RETR without REST
}

// A restart the server refused never leads to bytes written where the server
// did not confirm it starts: RETR would send the file from 0 (or from the
// probe's 100) and every byte would land at the wrong place.
TEST(DownloadFake, ARefusedRestNeverWritesAtAnUnconfirmedOffset) {
    ShortRetryPause pause;
    const struct {
        const char* refused;
        std::int64_t dropAfter;  // -1: no break, so only the first REST 0 matters
        std::int64_t kept;
        int retrs;
    } cases[] = {
        {"REST 50000", 50000, 50000, 1},  // the resume after a break
        {"REST 0", -1, 0, 0},             // putting the probe's marker back
    };
    for (const auto& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        std::string content = testsupport::PatternBytes(0, 200000, 12);
        TransferFaults faults;
        faults.dropAfterBytes = c.dropAfter;
        server.AddFile("/r.bin", content, faults);
        server.Reply(c.refused, "502 Not now.\r\n");
        TempDir dir;
        TaskLog log;
        RunTask(log, log.Param(server.Url("/r.bin"), dir.file("r.bin")));
        const std::string position = std::string(c.refused).substr(5);
        EXPECT_TRUE(log.HasLog("续传位置" + position + "被拒绝 (回应502), 停止下载", LogError))
            << c.refused << "\n"
            << log.Dump();
        EXPECT_FALSE(log.Whole()) << c.refused;
        EXPECT_EQ(server.CountCommands("RETR"), c.retrs) << c.refused << "\n" << server.Transcript();
        EXPECT_EQ(testsupport::FileSize(dir.file("r.bin")), -1) << c.refused;  // never under its final name
        if (c.kept == 0) {
            EXPECT_LE(testsupport::FileSize(dir.file("r.bin.quorvel-part")), 0) << c.refused;
        } else {
            EXPECT_EQ(testsupport::FileSha256Hex(dir.file("r.bin.quorvel-part")),
                      testsupport::Sha256Hex(content.substr(0, c.kept)))
                << c.refused;
        }
    }
}

// Every byte counted is not enough: the data connection must end normally
// and the server must call the transfer done.
TEST(DownloadFake, AFinalReplyOtherThan2xxFailsTheTask) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = testsupport::PatternBytes(0, 70000, 13);
    TransferFaults faults;
    faults.dropAfterBytes = 70000;  // all of it, then "426 Failure writing network stream."
    faults.dropTimes = 1000;
    server.AddFile("/f.bin", content, faults);
    TempDir dir;
    TaskLog log;
    RunTask(log, log.Param(server.Url("/f.bin"), dir.file("f.bin")));
    EXPECT_FALSE(log.Whole()) << log.Dump();
    EXPECT_TRUE(log.HasLog("服务器没有确认传送完成 (回应426)", LogError)) << log.Dump();
    EXPECT_EQ(server.CountCommands("RETR"), 1);
    // The bytes are kept, under the temporary name only.
    EXPECT_EQ(testsupport::FileSha256Hex(dir.file("f.bin.quorvel-part")), testsupport::Sha256Hex(content));
    EXPECT_EQ(testsupport::FileSize(dir.file("f.bin")), -1);
}

// A data connection that stalls is a broken one: it is closed after the reply
// time-out and the transfer resumes with REST, as after a drop.
TEST(DownloadFake, AStalledDataConnectionIsRetriedWithRest) {
    ShortRetryPause pause;
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = testsupport::PatternBytes(0, 300000, 14);
    TransferFaults faults;
    faults.stallAfterBytes = 100000;
    faults.stallTimes = 1;
    server.AddFile("/s.bin", content, faults);
    TempDir dir;
    TaskLog log;
    TaskParam param = log.Param(server.Url("/s.bin"), dir.file("s.bin"));
    param.replyTimeout = 500;
    RunTask(log, param);
    EXPECT_TRUE(log.Whole()) << log.Dump();
    EXPECT_EQ(testsupport::FileSha256Hex(dir.file("s.bin")), testsupport::Sha256Hex(content));
    EXPECT_TRUE(log.HasLog(SocketErrorReportText(ErrorCode::ReceiveTimeout), LogError)) << log.Dump();
    EXPECT_EQ(server.CountCommands("REST 100000"), 1) << server.Transcript();
    EXPECT_EQ(log.Sum(TaskBytes), 300000);
}

// A reply that never came leaves that control connection out of step; the
// retry logs in on a new one, where commands flow again.
TEST(DownloadFake, AfterAMissingReplyTheRetryStartsInStep) {
    ShortRetryPause pause;
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = testsupport::PatternBytes(0, 50000, 16);
    server.AddFile("/q.bin", content);
    server.OnNext("RETR", {Action::Silence()});
    TempDir dir;
    TaskLog log;
    TaskParam param = log.Param(server.Url("/q.bin"), dir.file("q.bin"));
    param.replyTimeout = 500;
    RunTask(log, param);
    EXPECT_TRUE(log.Whole()) << log.Dump().substr(0, 3000);
    EXPECT_EQ(testsupport::FileSha256Hex(dir.file("q.bin")), testsupport::Sha256Hex(content));
    EXPECT_EQ(server.ConnectionCount(), 2);
    EXPECT_FALSE(log.HasLog("控制连接已失去同步, 命令未发送")) << log.Dump();
}

// A data connection that stalls after the last byte has not ended normally:
// the transfer is asked again from the file's end, where a sound server ends
// the data at once and confirms it, instead of being taken as done.
TEST(DownloadFake, AStallAfterTheLastByteIsRetriedFromTheEnd) {
    ShortRetryPause pause;
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = testsupport::PatternBytes(0, 120000, 17);
    TransferFaults faults;
    faults.stallAfterBytes = 120000;
    faults.stallTimes = 1;
    server.AddFile("/e.bin", content, faults);
    TempDir dir;
    TaskLog log;
    TaskParam param = log.Param(server.Url("/e.bin"), dir.file("e.bin"));
    param.replyTimeout = 500;
    RunTask(log, param);
    EXPECT_TRUE(log.Whole()) << log.Dump();
    EXPECT_EQ(server.ConnectionCount(), 2) << server.Transcript();
    EXPECT_EQ(server.CountCommands("REST 120000"), 1) << server.Transcript();
    EXPECT_TRUE(log.HasLog("数据连接没有正常结束, 文件的120000字节尚未确认", LogError)) << log.Dump();
    EXPECT_EQ(testsupport::FileSha256Hex(dir.file("e.bin")), testsupport::Sha256Hex(content));
}

// A data connection that breaks off while the control connection says
// nothing is retried at once, not after a reply time-out (ten minutes here:
// only an immediate retry ends the task within the wait).
TEST(DownloadFake, ABreakWithASilentControlConnectionIsRetriedAtOnce) {
    ShortRetryPause pause;
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = testsupport::PatternBytes(0, 300000, 18);
    TransferFaults faults;
    faults.dropAfterBytes = 100000;
    faults.silentOnDrop = true;
    server.AddFile("/h.bin", content, faults);
    TempDir dir;
    TaskLog log;
    TaskParam param = log.Param(server.Url("/h.bin"), dir.file("h.bin"));
    param.replyTimeout = 600000;
    Download download;
    ASSERT_TRUE(download.StartTask(param));
    ASSERT_TRUE(log.WaitEnded(std::chrono::seconds(60))) << log.Dump();
    EXPECT_TRUE(log.Whole()) << log.Dump();
    EXPECT_EQ(server.CountCommands("REST 100000"), 1) << server.Transcript();
    EXPECT_EQ(testsupport::FileSha256Hex(dir.file("h.bin")), testsupport::Sha256Hex(content));
}

// A stop ends the task in every state it can be waiting in. Every time-out
// is ten minutes: only the stop can end the task within the wait below.
TEST(DownloadFake, AStopEndsTheTaskInEveryState) {
    const struct {
        const char* state;
        const char* waitFor;  // the command the server has seen when the task waits
        std::function<void(FakeFtpServer&)> arrange;
    } cases[] = {
        {"welcome", "", [](FakeFtpServer& s) { s.GreetWith(Action::Silence()); }},
        {"login", "USER", [](FakeFtpServer& s) { s.SilentOn("USER"); }},
        {"password", "PASS", [](FakeFtpServer& s) { s.SilentOn("PASS"); }},
        {"restart probe", "REST 100", [](FakeFtpServer& s) { s.SilentOn("REST"); }},
        {"SIZE", "SIZE", [](FakeFtpServer& s) { s.SilentOn("SIZE"); }},
        {"PASV", "PASV", [](FakeFtpServer& s) { s.SilentOn("PASV"); }},
        {"RETR", "RETR", [](FakeFtpServer& s) { s.SilentOn("RETR"); }},
        {"active accept", "RETR",
         [](FakeFtpServer& s) {
             s.Reply("PASV", "502 no passive\r\n");
             s.Reply("RETR", "150 coming, but never connecting\r\n");
         }},
        {"stalled receive", "RETR",
         [](FakeFtpServer& s) {
             TransferFaults stall;
             stall.stallAfterBytes = 1000;
             s.SetFaults("/f.bin", stall);
         }},
    };
    for (const auto& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/f.bin", testsupport::PatternBytes(0, 100000, 15));
        c.arrange(server);
        TempDir dir;
        TaskLog log;
        TaskParam param = log.Param(server.Url("/f.bin"), dir.file("f.bin"));
        param.connectTimeout = param.sendTimeout = param.replyTimeout = 600000;
        Download download;
        ASSERT_TRUE(download.StartTask(param)) << c.state;
        if (*c.waitFor) {
            ASSERT_TRUE(server.WaitForCommand(c.waitFor, std::chrono::seconds(30))) << c.state;
        } else {
            ASSERT_TRUE(server.WaitForConnections(1, std::chrono::seconds(30))) << c.state;
        }
        download.StopTask();
        EXPECT_TRUE(log.WaitEnded(std::chrono::seconds(30))) << c.state << "\n" << log.Dump();
        EXPECT_EQ(log.Count(TaskEnded), 1) << c.state;
        EXPECT_FALSE(log.Whole()) << c.state;
        EXPECT_EQ(server.ConnectionCount(), 1) << c.state;  // no new log-in after the stop
        EXPECT_LE(testsupport::FileSize(dir.file("f.bin")), 1000) << c.state;
    }
}

TEST(DownloadFake, SizeAnswered550FailsWithoutRetrAndWithoutAFile) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    TempDir dir;
    TaskLog log;
    RunTask(log, log.Param(server.Url("/missing.bin"), dir.file("missing.bin")));
    EXPECT_TRUE(log.HasLog("文件不存在", LogError)) << log.Dump();
    EXPECT_EQ(server.CountCommands("RETR"), 0);
    EXPECT_EQ(server.ConnectionCount(), 1);  // no retry either
    EXPECT_EQ(log.Count(TaskWorkerFailed), 1);
    EXPECT_EQ(testsupport::FileSize(dir.file("missing.bin")), -1);
}

TEST(DownloadFake, SizesThatDisagreeWithTheDataNeverLookWhole) {
    ShortRetryPause pause;
    std::string content = testsupport::PatternBytes(0, 60000, 4);
    const struct {
        std::int64_t reported;
        bool whole;
        std::int64_t kept;
    } cases[] = {
        {61000, false, 60000},  // RETR ends early: the task fails, the file holds what came
        {59000, false, 59000},  // more data than SIZE said: a failure; nothing past the stated end
        {0, false, 0},          // "213 0" for a file with data
        {60000, true, 60000},
    };
    for (const auto& c : cases) {
        for (auto mode : {testsupport::RestMode::Supported, testsupport::RestMode::Refused}) {
            FakeFtpServer server;
            ASSERT_TRUE(server.ok());
            server.SetRestMode(mode);
            TransferFaults faults;
            faults.reportedSize = c.reported;
            server.AddFile("/s.bin", content, faults);
            TempDir dir;
            TaskLog log;
            RunTask(log, log.Param(server.Url("/s.bin"), dir.file("s.bin")));
            EXPECT_EQ(log.Whole(), c.whole) << c.reported << "\n" << log.Dump();
            // Only a whole file carries its final name; the rest stays in the part file.
            const std::string name = c.whole ? "s.bin" : "s.bin.quorvel-part";
            EXPECT_EQ(testsupport::ReadFile(dir.file(name)).value_or("<none>"), content.substr(0, c.kept))
                << c.reported;
            EXPECT_EQ(testsupport::FileSize(dir.file(c.whole ? "s.bin.quorvel-part" : "s.bin")), -1)
                << c.reported;
            EXPECT_EQ(log.EndCount(), c.kept) << c.reported;
            EXPECT_LE(server.ConnectionCount(), 2) << c.reported;  // never a loop of retries
            if (c.reported < 60000) {
                // The log names both numbers.
                EXPECT_TRUE(log.HasLog(
                    "收到的数据多于文件大小: 文件大小" + std::to_string(c.reported) + "字节, 收到60000字节",
                    LogError))
                    << log.Dump();
            }
        }
    }
}

TEST(DownloadFake, ALocalFileThatCannotBeCreatedFailsTheTask) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddFile("/a.bin", "abc");
    TempDir dir;
    ASSERT_TRUE(testsupport::WriteFile(dir.file("plain"), "x"));
    for (const std::string& path : {dir.file("no/such/folder/a.bin"), dir.file("plain/a.bin")}) {
        TaskLog log;
        RunTask(log, log.Param(server.Url("/a.bin"), path));
        EXPECT_TRUE(log.HasLog("创建文件错误，超出最大支持下载长度或磁盘不可写或磁盘没有空间或同名文件已存在",
                               LogError))
            << path << "\n"
            << log.Dump();
        EXPECT_EQ(log.Count(TaskWorkerFailed), 1);
        EXPECT_EQ(log.Count(TaskEnded), 1);
        EXPECT_EQ(testsupport::FileSize(path), -1);
    }
}

TEST(DownloadFake, AnExistingLocalFileFollowsTheCallbacksAnswer) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddFile("/d/a.txt", "remote");
    TempDir dir;
    ASSERT_TRUE(testsupport::WriteFile(dir.file("a.txt"), "old!"));
    ASSERT_TRUE(testsupport::WriteFile(dir.file("a(1).txt"), "older"));

    {  // 0: renamed automatically past the names that exist
        TaskLog log;
        RunTask(log, log.Param(server.Url("/d/a.txt"), dir.file("a.txt")));
        EXPECT_EQ(testsupport::ReadFile(dir.file("a(2).txt")).value_or(""), "remote");
        EXPECT_TRUE(log.HasLog("发现同名文件, 系统自动更名为" + dir.file("a(2).txt"), LogInfo)) << log.Dump();
        ASSERT_EQ(log.Questions().size(), 1u);
        EXPECT_EQ(log.Questions()[0], std::make_pair(std::int64_t{4}, std::int64_t{6}));
        EXPECT_TRUE(log.Whole());
    }
    {  // 1: the user gives up
        TaskLog log;
        log.SetAnswer(1);
        RunTask(log, log.Param(server.Url("/d/a.txt"), dir.file("a.txt")));
        EXPECT_TRUE(log.HasLog("发现同名文件, 用户选择放弃下载", LogInfo));
        EXPECT_EQ(log.Count(TaskWorkerFailed), 1);
        EXPECT_EQ(testsupport::FileSize(dir.file("a(3).txt")), -1);
    }
    // The folder form: the remote name is appended.
    {
        TaskLog log;
        std::string sub = dir.Subdir("into");
        RunTask(log, log.Param(server.Url("/d/a.txt"), sub + "/"));
        EXPECT_EQ(testsupport::ReadFile(sub + "/a.txt").value_or(""), "remote");
    }
    EXPECT_EQ(testsupport::ReadFile(dir.file("a.txt")).value_or(""), "old!");
    EXPECT_EQ(testsupport::ReadFile(dir.file("a(1).txt")).value_or(""), "older");
}

// The folders between the chosen local folder and the file are entered
// without following links: a link planted inside the download folder cannot
// send the file elsewhere.
TEST(DownloadFake, ALinkPlantedBelowTheChosenFolderIsNotFollowed) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddFile("/a.bin", "payload");
    TempDir chosen;
    TempDir outside;
    ASSERT_EQ(::symlink(outside.Path().c_str(), chosen.file("sub").c_str()), 0);
    ASSERT_EQ(::mkdir(chosen.file("real").c_str(), 0755), 0);
    {
        TaskLog log;
        TaskParam param = log.Param(server.Url("/a.bin"), chosen.file("sub") + "/a.bin");
        param.localBase = chosen.Path();
        RunTask(log, param);
        EXPECT_FALSE(log.Whole());
        EXPECT_TRUE(log.HasLog("创建文件错误，超出最大支持下载长度或磁盘不可写或磁盘没有空间或同名文件已存在",
                               LogError))
            << log.Dump();
        EXPECT_EQ(testsupport::FileSize(outside.file("a.bin")), -1);
    }
    {  // a real folder below the chosen one works; the chosen folder may itself be a link
        TaskLog log;
        std::string viaLink = outside.file("chosen-link");
        ASSERT_EQ(::symlink(chosen.Path().c_str(), viaLink.c_str()), 0);
        TaskParam param = log.Param(server.Url("/a.bin"), viaLink + "/real/a.bin");
        param.localBase = viaLink;
        RunTask(log, param);
        EXPECT_TRUE(log.Whole()) << log.Dump();
        EXPECT_EQ(testsupport::ReadFile(chosen.file("real/a.bin")).value_or(""), "payload");
    }
    {  // a local path that is not below the chosen folder is refused
        TaskLog log;
        TaskParam param = log.Param(server.Url("/a.bin"), outside.file("b.bin"));
        param.localBase = chosen.Path();
        RunTask(log, param);
        EXPECT_FALSE(log.Whole());
        EXPECT_EQ(testsupport::FileSize(outside.file("b.bin")), -1);
    }
}

TEST(DownloadFake, AutomaticNamesCountUpTo99) {
    const std::pair<const char*, const char*> cases[] = {
        {"a.txt", "a(1).txt"},           {"a(1).txt", "a(2).txt"},    {"a(9).txt", "a(10).txt"},
        {"a(98).txt", "a(99).txt"},      {"a(99).txt", nullptr},      {"a(0).txt", "a(0)(1).txt"},
        {"a(100).txt", "a(100)(1).txt"}, {"noext", "noext(1)"},       {"a.tar.gz", "a(1).tar.gz"},
        {"(5).txt", "(6).txt"},          {"a(x).txt", "a(x)(1).txt"}, {".hidden", "(1).hidden"},
    };
    for (const auto& [name, next] : cases) {
        std::optional<std::string> result = NextAutomaticName(name);
        if (next)
            EXPECT_EQ(result.value_or("<none>"), next) << name;
        else
            EXPECT_FALSE(result.has_value()) << name;
    }
}

TEST(DownloadFake, RemoteNamesThatCannotBeLocalNamesAreRefused) {
    EXPECT_EQ(LocalTargetPath("/tmp/x/", "/pub/a.bin").value_or(""), "/tmp/x/a.bin");
    EXPECT_EQ(LocalTargetPath("/tmp/x/b.bin", "/pub/a.bin").value_or(""), "/tmp/x/b.bin");
    for (const std::string remote : {"/pub/", "/pub/..", "/pub/.", "/pub/a\\..\\b", "/a\nb"})
        EXPECT_FALSE(LocalTargetPath("/tmp/x/", remote).has_value()) << remote;
}

TEST(DownloadFake, TheBlockSizeOverrideLimitsTheRate) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = testsupport::PatternBytes(0, 3072, 1);
    server.AddFile("/slow.bin", content);
    TempDir dir;
    TaskLog log;
    TaskParam param = log.Param(server.Url("/slow.bin"), dir.file("slow.bin"));
    param.blockSizeOverride = 1024;
    auto began = std::chrono::steady_clock::now();
    RunTask(log, param);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_EQ(testsupport::ReadFile(dir.file("slow.bin")).value_or(""), content);
    // At most one block a second; generous bounds, a ratio rather than a deadline.
    EXPECT_LT(3072.0 / seconds, 1024.0 * 1.5) << seconds << " s";
    EXPECT_EQ(log.Count(TaskBytes), 3);
}

TEST(DownloadFake, AStopDuringTheRetryPauseEndsTheTaskWithoutAnotherLogin) {
    // A pause far longer than the wait below: only the stop can end it in time.
    ShortRetryPause pause(600000);
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = testsupport::PatternBytes(0, 100000, 2);
    TransferFaults faults;
    faults.dropAfterBytes = 30000;
    server.AddFile("/p.bin", content, faults);
    TempDir dir;
    TaskLog log;
    Download download;
    ASSERT_TRUE(download.StartTask(log.Param(server.Url("/p.bin"), dir.file("p.bin"))));
    ASSERT_TRUE(log.WaitForLog("等待600秒后重试")) << log.Dump();
    download.StopTask();
    EXPECT_TRUE(download.IsIdle());
    ASSERT_TRUE(log.WaitEnded(std::chrono::seconds(30)));
    EXPECT_EQ(server.ConnectionCount(), 1);
    EXPECT_EQ(log.Count(TaskWorkerFailed), 1);
    EXPECT_EQ(log.EndCount(), 30000);
    EXPECT_EQ(testsupport::ReadFile(dir.file("p.bin.quorvel-part")).value_or(""), content.substr(0, 30000));
    EXPECT_EQ(testsupport::FileSize(dir.file("p.bin")), -1);
}

TEST(DownloadFake, AStopInTheMiddleCutsTheFileToWhatArrived) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = testsupport::PatternBytes(0, 4000000, 8);
    TransferFaults faults;
    faults.chunkBytes = 8192;
    faults.chunkDelayMs = 5;
    server.AddFile("/t.bin", content, faults);
    TempDir dir;
    TaskLog log;
    Download download;
    ASSERT_TRUE(download.StartTask(log.Param(server.Url("/t.bin"), dir.file("t.bin"))));
    std::int64_t seen = 0;
    for (int i = 0; i < 3000 && seen < 100000; ++i) {
        seen = download.GetBytesDone();
        std::this_thread::sleep_for(milliseconds(5));
    }
    ASSERT_GE(seen, 100000);
    download.StopTask();
    EXPECT_EQ(download.GetBytesDone(), 0);  // no task is held any more
    ASSERT_TRUE(log.WaitEnded());
    EXPECT_EQ(testsupport::FileSize(dir.file("t.bin")), -1);  // a stopped file never carries its final name
    std::optional<std::string> kept = testsupport::ReadFile(dir.file("t.bin.quorvel-part"));
    ASSERT_TRUE(kept.has_value());
    EXPECT_LT(kept->size(), content.size());
    EXPECT_GE(static_cast<std::int64_t>(kept->size()), seen - 20480);
    EXPECT_EQ(*kept, content.substr(0, kept->size()));
    EXPECT_GE(log.EndCount(), static_cast<std::int64_t>(kept->size()));  // the byte total of a stopped task
    EXPECT_EQ(log.Count(TaskEnded), 1);
    EXPECT_EQ(log.Count(TaskWorkerDone), 0);
}

TEST(DownloadFake, AZeroByteFileBecomesAnEmptyFile) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddFile("/empty", "");
    TempDir dir;
    TaskLog log;
    RunTask(log, log.Param(server.Url("/empty"), dir.file("empty")));
    EXPECT_EQ(testsupport::FileSize(dir.file("empty")), 0);
    EXPECT_TRUE(log.Whole()) << log.Dump();
    EXPECT_EQ(log.EndCount(), 0);
}

TEST(DownloadFake, SeveralConnectionsShareTheFile) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = testsupport::PatternBytes(0, 1000003, 6);
    TransferFaults paced;  // slow enough for the connections to overlap
    paced.chunkBytes = 32768;
    paced.chunkDelayMs = 2;
    server.AddFile("/m.bin", content, paced);
    TempDir dir;
    TaskLog log;
    TaskParam param = log.Param(server.Url("/m.bin"), dir.file("m.bin"));
    param.connections = 3;
    RunTask(log, param);
    EXPECT_EQ(testsupport::FileSha256Hex(dir.file("m.bin")), testsupport::Sha256Hex(content));
    // Each part is fetched once, from its own start. A fast first connection
    // may take a free part itself before the next worker starts.
    EXPECT_EQ(server.CountCommands("RETR"), 3);
    EXPECT_EQ(server.CountCommands("REST 333334"), 1) << server.Transcript();
    EXPECT_EQ(server.CountCommands("REST 666668"), 1) << server.Transcript();
    EXPECT_GE(log.Count(TaskWorkerStarted), 2);
    EXPECT_LE(log.Count(TaskWorkerStarted), 3);
    EXPECT_EQ(log.Count(TaskWorkerDone), log.Count(TaskWorkerStarted));
    EXPECT_EQ(log.Count(TaskWorkerFailed), 0);
    EXPECT_EQ(log.Count(TaskLaterSegment), 2);
    EXPECT_EQ(log.Sum(TaskBytes), 1000003);
    EXPECT_EQ(log.EndCount(), 1000003);
}

TEST(DownloadFake, ActiveModeAndAsciiTasksKeepTheirPlaces) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.SetBinaryOnlyRestAndSize(true);
    server.Reply("PASV", "502 PASV not allowed.\r\n");
    server.AddFile("/r.txt", "line one\r\nline two\r\n");
    TempDir dir;
    TaskLog log;
    TaskParam param = log.Param(server.Url("/r.txt"), dir.file("r.txt"));
    param.transferTypeMode = 2;
    RunTask(log, param);
    std::vector<std::string> commands = server.CommandsOf(1);
    ASSERT_GE(commands.size(), 10u) << server.Transcript();
    EXPECT_EQ(commands[2], "TYPE I");
    auto typeA = std::find(commands.begin(), commands.end(), "TYPE A");
    auto size = std::find(commands.begin(), commands.end(), "SIZE r.txt");
    auto port = std::find_if(commands.begin(), commands.end(),
                             [](const auto& c) { return c.rfind("PORT ", 0) == 0; });
    ASSERT_NE(typeA, commands.end());
    ASSERT_NE(port, commands.end()) << server.Transcript();
    EXPECT_LT(size, typeA);
    EXPECT_LT(typeA, port);
    EXPECT_EQ(testsupport::ReadFile(dir.file("r.txt")).value_or(""), "line one\r\nline two\r\n");
    EXPECT_TRUE(log.Whole());
}

TEST(DownloadObject, IdleCommandsDoNothingAndASecondTaskIsRefusedWhileOneRuns) {
    Download idle;
    EXPECT_EQ(idle.GetBytesDone(), 0);
    idle.StopTask();
    EXPECT_TRUE(idle.IsIdle());
    TaskParam bad;
    bad.url = "ftp:///no-host";
    EXPECT_FALSE(idle.StartTask(bad));
    bad.url = "gopher://host/x";
    EXPECT_FALSE(idle.StartTask(bad));

    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.SilentOn("SIZE");  // holds the task until it is stopped
    server.AddFile("/a", "a");
    TempDir dir;
    TaskLog first;
    Download download;
    ASSERT_TRUE(download.StartTask(first.Param(server.Url("/a"), dir.file("a"))));
    TaskLog second;
    EXPECT_FALSE(download.StartTask(second.Param(server.Url("/a"), dir.file("b"))));
    EXPECT_FALSE(download.IsIdle());
    download.StopTask();
    ASSERT_TRUE(first.WaitEnded());
    EXPECT_EQ(first.Count(TaskEnded), 1);
}

TEST(DownloadObject, TasksFollowEachOtherOnOneObject) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    TempDir dir;
    Download download;
    for (int i = 0; i < 20; ++i) {
        std::string name = "/f" + std::to_string(i);
        server.AddFile(name, std::string(static_cast<std::size_t>(i * 100), 'a' + i % 26));
        TaskLog log;
        // Started as soon as the previous task reported its end.
        ASSERT_TRUE(download.StartTask(log.Param(server.Url(name), dir.file(name.substr(1))))) << i;
        ASSERT_TRUE(log.WaitEnded());
        EXPECT_TRUE(log.Whole()) << i;
        EXPECT_EQ(testsupport::FileSize(dir.file(name.substr(1))), i * 100);
    }
}

TEST(DownloadObject, DestroyingTheObjectStopsARunningTask) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    TransferFaults faults;
    faults.stallAfterBytes = 1000;
    server.AddFile("/stall", std::string(5000, 's'), faults);
    TempDir dir;
    TaskLog log;
    {
        Download download;
        ASSERT_TRUE(download.StartTask(log.Param(server.Url("/stall"), dir.file("stall"))));
        ASSERT_TRUE(server.WaitForCommand("RETR", std::chrono::seconds(10)));
    }
    EXPECT_EQ(log.Count(TaskEnded), 1);
    EXPECT_LE(testsupport::FileSize(dir.file("stall")), 1000);
}

// A sparse file of 5 GiB with marks around the 2 GiB and 4 GiB borders, from
// a real server: SIZE, progress, the byte total and every position must not
// wrap at 31 or 32 bits.
TEST(DownloadRealServer, AFileBeyondFourGibibytesArrivesWhole) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "5 GiB under ThreadSanitizer takes too long; the plain build runs it";
#endif
    TempDir root;
    TempDir local;
    const std::int64_t size = 5LL << 30;
    std::string path = root.file("huge.bin");
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, size), 0);
        for (std::int64_t at :
             std::initializer_list<std::int64_t>{0, (1LL << 31) - 7, (1LL << 32) - 7, size - 100}) {
            std::string mark = testsupport::PatternBytes(at, 100, 99);
            ASSERT_EQ(::pwrite(fd, mark.data(), mark.size(), at), 100);
        }
        ::close(fd);
    }
    testsupport::RealServer server = testsupport::RealServer::StartPyftpd(root.Path(), "big", "pw");
    ASSERT_TRUE(server.ok()) << server.error();
    TaskLog log;
    TaskParam param = log.Param(server.Url("/huge.bin"), local.file("huge.bin"));
    param.user = "big";
    param.password = "pw";
    Download download;
    ASSERT_TRUE(download.StartTask(param));
    std::int64_t highest = 0;
    while (!log.WaitEnded(std::chrono::seconds(0))) {
        highest = std::max(highest, download.GetBytesDone());
        std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_GT(highest, 1LL << 32);  // progress passed 4 GiB without wrapping
    EXPECT_LE(highest, size);
    EXPECT_TRUE(log.HasLog("213 " + std::to_string(size), LogReply)) << log.Dump();
    EXPECT_EQ(log.Last(TaskTransferStarted), size);
    EXPECT_EQ(log.Sum(TaskBytes), size);
    EXPECT_EQ(log.EndCount(), size);
    EXPECT_TRUE(log.Whole());
    EXPECT_EQ(testsupport::FileSize(local.file("huge.bin")), size);
    EXPECT_EQ(testsupport::CompareFiles(path, local.file("huge.bin")), "");
}

}  // namespace
namespace {

constexpr const char* kStamp = "213 20261209101500\r\n";
const std::string kNote = "quorvel-part 1\nsize 600000\nmdtm 20261209101500\n";

// A part file left beside the target by an earlier download is taken up only
// when its note matches the server's size and time and its last bytes match
// the server's; everything else starts from 0 into a fresh part. The result
// is whole and under its final name in every case.
TEST(DownloadFake, APartFileIsTakenUpOnlyWithProofThatItBelongsToTheRemoteFile) {
    const std::string content = testsupport::PatternBytes(0, 600000, 13);
    const std::string kept = content.substr(0, 250000);
    std::string badTail = kept;
    badTail[badTail.size() - 10] ^= 0x55;
    struct Case {
        const char* what;
        std::string part;
        std::string note;
        const char* mdtm;   // the server's MDTM reply
        std::int64_t from;  // the REST of the transfer, 0 for none
    } cases[] = {
        {"matching part", kept, kNote, kStamp, 250000},
        {"other time", kept, kNote, "213 20261209101501\r\n", 0},
        {"other size", kept, "quorvel-part 1\nsize 600001\nmdtm 20261209101500\n", kStamp, 0},
        {"changed tail", badTail, kNote, kStamp, 0},
        {"garbled note", kept, "quorvel-part 1\nsize 6e5\nmdtm 20261209101500\n", kStamp, 0},
        {"note with more", kept, kNote + "x", kStamp, 0},
        {"no note", kept, "", kStamp, 0},
        {"no MDTM", kept, kNote, "502 no\r\n", 0},
        {"part longer than the file", content + "zz", kNote, kStamp, 0},
    };
    for (const Case& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/r.bin", content);
        server.Reply("MDTM", c.mdtm);
        TempDir dir;
        ASSERT_TRUE(testsupport::WriteFile(dir.file("r.bin.quorvel-part"), c.part));
        if (!c.note.empty()) {
            ASSERT_TRUE(testsupport::WriteFile(dir.file("r.bin.quorvel-part.info"), c.note));
        }
        TaskLog log;
        RunTask(log, log.Param(server.Url("/r.bin"), dir.file("r.bin")));
        EXPECT_TRUE(log.Whole()) << c.what << "\n" << log.Dump();
        EXPECT_EQ(testsupport::FileSha256Hex(dir.file("r.bin")), testsupport::Sha256Hex(content)) << c.what;
        EXPECT_EQ(testsupport::FileSize(dir.file("r.bin.quorvel-part")), -1) << c.what;
        EXPECT_EQ(testsupport::FileSize(dir.file("r.bin.quorvel-part.info")), -1) << c.what;
        // The transfer starts at the part's end only after the proof.
        EXPECT_EQ(server.CountCommands("REST 250000"), c.from > 0 ? 1 : 0) << c.what << "\n"
                                                                           << server.Transcript();
        EXPECT_EQ(log.Sum(TaskBytes), 600000 - c.from) << c.what;  // only the rest was sent
    }
}

// Until the last check has passed the file has only its temporary name: a
// download that fails (here: the server ends early without resume support,
// or calls a short file done) leaves the part and its note, never the final name.
TEST(DownloadFake, AFileThatIsNotWholeNeverCarriesItsFinalName) {
    ShortRetryPause pause;
    const std::string content = testsupport::PatternBytes(0, 300000, 3);
    for (const bool sizeLies : {false, true}) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.SetRestMode(testsupport::RestMode::Refused);
        TransferFaults faults;
        if (!sizeLies) faults.dropAfterBytes = 100000;
        server.AddFile("/p.bin", content, faults);
        if (sizeLies) server.Reply("SIZE", "213 300001\r\n");
        server.Reply("MDTM", kStamp);
        TempDir dir;
        TaskLog log;
        RunTask(log, log.Param(server.Url("/p.bin"), dir.file("p.bin")));
        EXPECT_FALSE(log.Whole()) << log.Dump();
        EXPECT_EQ(testsupport::FileSize(dir.file("p.bin")), -1) << sizeLies;
        EXPECT_GT(testsupport::FileSize(dir.file("p.bin.quorvel-part")), 0) << sizeLies;
        EXPECT_EQ(testsupport::ReadFile(dir.file("p.bin.quorvel-part.info")).value_or(""),
                  "quorvel-part 1\nsize " + std::string(sizeLies ? "300001" : "300000") +
                      "\nmdtm 20261209101500\n");
    }
}

// A SIZE of 5 GB for a small file reserves at most one step ahead of the
// bytes written, and what lies past them is given back at the end.
TEST(DownloadFake, ASizeThatLiesReservesNoMoreThanAStep) {
    ShortRetryPause pause;
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.SetRestMode(testsupport::RestMode::Refused);
    const std::string content = testsupport::PatternBytes(0, 1 << 20, 4);
    server.AddFile("/big.bin", content);
    server.Reply("SIZE", "213 5000000000\r\n");
    TempDir dir;
    TaskLog log;
    RunTask(log, log.Param(server.Url("/big.bin"), dir.file("big.bin")));
    EXPECT_FALSE(log.Whole());
    struct stat info {};
    ASSERT_EQ(::stat(dir.file("big.bin.quorvel-part").c_str(), &info), 0) << log.Dump();
    EXPECT_EQ(info.st_size, 1 << 20);
    // Blocks past the kept bytes were given back (a little slack for the file system's own blocks).
    EXPECT_LE(static_cast<std::int64_t>(info.st_blocks) * 512, (1 << 20) + (1 << 16));
}

}  // namespace

}  // namespace downlib
