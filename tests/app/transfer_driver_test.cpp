// The transfer driver: downloads through the real window against pyftpdlib
// and the scriptable fake server, the row states and status-bar texts of a
// run, failures that must read "失败" while the next rows go on, two requests
// from different folders and servers, and closing the window mid-transfer.
#include "app/transfer_driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "app/startup.h"
#include "downlib/ftp_download.h"
#include "queue_fixture.h"
#include "support/engine_test_timings.h"
#include "support/fake_ftp_server.h"
#include "support/real_servers.h"

namespace {

using apptest::QueueTest;

// ---- against pyftpdlib ------------------------------------------------------

class DriverRealServer : public QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        root = serverRoot_.Path();
        testsupport::WriteFile(root + "/报告 2024.txt", std::string(70000, 'r'));
        testsupport::WriteFile(root + "/空 文件.dat", "");
        testsupport::WritePatternFile(root + "/目录 一/大 文件.bin", 3 * 1024 * 1024 + 17, 7);
        testsupport::WriteFile(root + "/目录 一/a+b.zip", "plus");
        testsupport::WriteFile(root + "/目录 一/100%.txt", "percent");
        testsupport::WriteFile(root + "/目录 一/二 级/零.txt", "");
        testsupport::WriteFile(root + "/目录 一/二 级/三 级/深 层.txt", "deep");
        testsupport::MakeDirs(root + "/目录 一/二 级/空");
        server_ = std::make_unique<testsupport::RealServer>(
            testsupport::RealServer::StartPyftpd(root, "demo", "demo"));
        ASSERT_TRUE(server_->ok()) << server_->error();
        Connect("127.0.0.1", server_->port(), "demo", "demo");
        ASSERT_NE(RemoteRowOf("目录 一"), -1) << testing::PrintToString(LogMessages());
    }

    void TearDown() override {
        QueueTest::TearDown();
        if (server_) server_->Stop();
    }

    testsupport::TempDir serverRoot_{"qftp-root"};
    std::string root;
    std::unique_ptr<testsupport::RealServer> server_;
};

TEST_F(DriverRealServer, TwoFilesAndAFolderTreeArriveByteForByte) {
    ASSERT_TRUE(Select({"报告 2024.txt", "空 文件.dat", "目录 一"}));
    HoldDriver();
    Download();
    const int rows = app->ui.queueList.RowCount();
    ASSERT_EQ(rows, 11) << testing::PrintToString(QueueRows());
    // Keep the rows on screen after the last one, as while a request still runs.
    KeepRequestOpen();
    ReleaseDriver();
    ASSERT_TRUE(DriverLeft());
    EXPECT_EQ(Statuses(), std::vector<std::string>(rows, "完成")) << testing::PrintToString(QueueRows());
    EXPECT_EQ(Pane(0), "进行中");
    EXPECT_EQ(Pane(3), "任务进度:100%");
    EXPECT_EQ(app->ui.taskProgress.Position(), 100);
    const auto diff = testsupport::CompareTrees(root, local);
    EXPECT_TRUE(diff.Same()) << diff.Describe();

    CloseRequest();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(Pane(0), "已就绪");
    EXPECT_EQ(Pane(2), "动作:无");
    EXPECT_EQ(Pane(3), "任务进度:0%");
    EXPECT_EQ(app->ui.taskProgress.Position(), 0);
    EXPECT_TRUE(PumpUntil([&] { return Pane(1) == "任务队列:0"; }));
}

TEST_F(DriverRealServer, AFileDeletedAfterTheListingFailsAndTheNextRowFollows) {
    ASSERT_TRUE(Select({"报告 2024.txt", "空 文件.dat"}));
    HoldDriver();
    Download();
    ASSERT_EQ(app->ui.queueList.RowCount(), 2);
    ASSERT_TRUE(testsupport::RemoveTree(root + "/报告 2024.txt"));
    KeepRequestOpen();
    ReleaseDriver();
    ASSERT_TRUE(DriverLeft());
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"失败", "完成"}));
    EXPECT_EQ(testsupport::FileSize(local + "/空 文件.dat"), 0);
    CloseRequest();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(QueueRows(2), std::vector<std::string>{local + "|//报告 2024.txt"});
    EXPECT_TRUE(LogHas("下载失败://报告 2024.txt，")) << testing::PrintToString(LogMessages());
}

TEST_F(DriverRealServer, LinkLoopsOnTheServerEndAndTheRealTreeArrives) {
    // Two links to "." double the tree at every level on a server that, like
    // this one, reports the path through the link; a link to ".." climbs.
    for (const char* link : {"/目录 一/二 级/回环", "/目录 一/二 级/又一个", "/目录 一/二 级/三 级/上"})
        ASSERT_EQ(::symlink(std::string(link).ends_with("上") ? ".." : ".", (root + link).c_str()), 0);
    app::ListRemoteFolder(*app, "/目录 一");
    ASSERT_TRUE(Select({"二 级"}));
    Download();
    ASSERT_TRUE(QueueFinished());
    for (const char* skipped :
         {"跳过/目录 一/二 级/回环", "跳过/目录 一/二 级/又一个", "跳过/目录 一/二 级/三 级/上"})
        EXPECT_TRUE(LogHas(skipped)) << skipped << testing::PrintToString(LogMessages());
    EXPECT_EQ(testsupport::ListTree(local),
              (std::vector<std::string>{"二 级/", "二 级/三 级/", "二 级/三 级/深 层.txt", "二 级/空/",
                                        "二 级/零.txt"}));
}

// ---- against the fake server -------------------------------------------

class DriverFakeServer : public QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        ASSERT_TRUE(server.ok()) << server.error();
    }

    void ConnectToServer() { Connect("127.0.0.1", server.port(), "demo", "secret"); }

    std::string StatusOf(int row) { return app->ui.queueList.CellText(row, 4); }

    testsupport::FakeFtpServer server;
};

// The tasks of a request share one log-in: the first task's connection is
// kept for the next, and closing the window ends it with QUIT.
TEST_F(DriverFakeServer, AFolderOfFilesTakesOneTaskLogInAndClosingEndsIt) {
    server.SetCredentials("demo", "secret");
    for (int i = 0; i < 12; ++i)
        server.AddFile("/pack/f" + std::to_string(i) + ".bin", std::string(100 + i, 'p'));
    ConnectToServer();
    ASSERT_TRUE(Select({"pack"}));
    Download();
    ASSERT_TRUE(QueueFinished()) << testing::PrintToString(QueueRows());
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(testsupport::FileSize(local + "/pack/f" + std::to_string(i) + ".bin"), 100 + i);
    // One log-in for the browsing session, one for all twelve tasks.
    EXPECT_EQ(server.CountCommands("USER"), 2) << server.Transcript();
    EXPECT_EQ(server.ConnectionCount(), 2);
    EXPECT_EQ(server.CountCommands("QUIT"), 0);
    app::ShutDown(*app);
    EXPECT_EQ(server.CountCommands("QUIT"), 2) << server.Transcript();
    EXPECT_TRUE(server.WaitForAllClosed(std::chrono::seconds(5)));
    toolkit::testing::ResetShutdown();
}

// A folder from a server that sends GBK names arrives with UTF-8 local
// names; the server is asked for the exact bytes it listed.
TEST_F(DriverFakeServer, NamesFromAGbkListingArriveAsUtf8LocalNames) {
    const std::string folder = "\xD6\xD0\xCE\xC4";      // 中文
    const std::string report = "\xB1\xA8\xB8\xE6.txt";  // 报告.txt
    const std::string broken = "bad\xFF\xFE.txt";       // no GBK character
    server.AddFile("/" + folder + "/" + report, "report");
    server.AddFile("/" + folder + "/" + broken, "broken");
    server.AddFile("/" + folder + "/sub/plain.txt", "plain");
    ConnectToServer();
    ASSERT_TRUE(Select({folder}));
    Download();
    ASSERT_TRUE(QueueFinished()) << testing::PrintToString(QueueRows());
    EXPECT_EQ(app->ui.queueList.RowCount(), 0);
    EXPECT_EQ(testsupport::ListTree(local),
              (std::vector<std::string>{"中文/", "中文/bad%FF%FE.txt", "中文/sub/", "中文/sub/plain.txt",
                                        "中文/报告.txt"}));
    EXPECT_EQ(testsupport::ReadFile(local + "/中文/报告.txt"), "report");
    EXPECT_EQ(testsupport::ReadFile(local + "/中文/bad%FF%FE.txt"), "broken");
    EXPECT_EQ(testsupport::ReadFile(local + "/中文/sub/plain.txt"), "plain");
    EXPECT_EQ(server.CountCommands("RETR /" + folder + "/" + report), 1) << server.Transcript();
    EXPECT_EQ(server.CountCommands("RETR /" + folder + "/" + broken), 1) << server.Transcript();
}

TEST_F(DriverFakeServer, CredentialsInTheHostTextKeepTheTypedPortForDownloads) {
    server.SetCredentials("alice", "wonder");
    server.AddFile("/a.txt", "from the server on its own port");
    Connect("alice:wonder@127.0.0.1", server.port(), "", "");
    ASSERT_TRUE(Select({"a.txt"}));
    HoldDriver();
    Download();
    KeepRequestOpen();
    ReleaseDriver();
    ASSERT_TRUE(DriverLeft());
    EXPECT_EQ(Statuses(), std::vector<std::string>{"完成"}) << server.Transcript();
    EXPECT_EQ(testsupport::ReadFile(local + "/a.txt"), "from the server on its own port");
    EXPECT_EQ(server.CountCommands("RETR"), 1);
}

TEST_F(DriverFakeServer, ASmallFileShowsZeroPercentWhileItRunsAndAHundredAtTheEnd) {
    testsupport::TransferFaults slow;
    slow.chunkBytes = 10;
    slow.chunkDelayMs = 120;
    server.AddFile("/small.bin", std::string(50, 's'), slow);
    ConnectToServer();
    ASSERT_TRUE(Select({"small.bin"}));
    HoldDriver();
    Download();
    KeepRequestOpen();
    ReleaseDriver();
    std::set<std::string> seen;
    std::set<int> bar;
    ASSERT_TRUE(PumpUntil([&] {
        if (StatusOf(0) == "进行中") {
            seen.insert(Pane(3));
            bar.insert(app->ui.taskProgress.Position());
        }
        return !app::TransferDriverRunning(*app);
    }));
    EXPECT_TRUE(seen.count("任务进度:0%")) << testing::PrintToString(seen);
    for (const auto& text : seen) EXPECT_TRUE(text == "任务进度:0%" || text == "任务进度:100%") << text;
    EXPECT_TRUE(bar.count(0));
    EXPECT_EQ(StatusOf(0), "完成");
    EXPECT_EQ(Pane(3), "任务进度:100%");
    EXPECT_EQ(app->ui.taskProgress.Position(), 100);
    EXPECT_EQ(testsupport::ReadFile(local + "/small.bin"), std::string(50, 's'));
}

TEST_F(DriverFakeServer, ALargerFileShowsItsProgressOnTheWay) {
    testsupport::TransferFaults slow;
    slow.chunkBytes = 2000;
    slow.chunkDelayMs = 60;
    server.AddFile("/ten.bin", std::string(20000, 't'), slow);
    ConnectToServer();
    ASSERT_TRUE(Select({"ten.bin"}));
    Download();
    std::set<std::string> seen;
    ASSERT_TRUE(PumpUntil([&] {
        seen.insert(Pane(3));
        return !app::TransferDriverRunning(*app);
    }));
    const bool between = std::any_of(seen.begin(), seen.end(), [](const std::string& t) {
        const int p = std::atoi(t.c_str() + std::string("任务进度:").size());
        return p > 0 && p < 100;
    });
    EXPECT_TRUE(between) << testing::PrintToString(seen);
    EXPECT_EQ(testsupport::FileSize(local + "/ten.bin"), 20000);
}

TEST_F(DriverFakeServer, FailedRowsReadFailedAndTheRowsBelowAreStillHandled) {
    // "exists" is a folder already present locally; "blocked" cannot be made
    // because a plain file has its name; "gone.txt" is listed but missing.
    server.AddFile("/exists/in.txt", "in");
    server.AddFile("/blocked/sub/f.txt", "f");
    server.AddFile("/ok.txt", "ok");
    server.SetListing("/",
                      "drwxr-xr-x 2 u g 0 Jan 01 2024 blocked\r\n"
                      "drwxr-xr-x 2 u g 0 Jan 01 2024 exists\r\n"
                      "-rw-r--r-- 1 u g 9 Jan 01 2024 gone.txt\r\n"
                      "-rw-r--r-- 1 u g 2 Jan 01 2024 ok.txt\r\n");
    ASSERT_TRUE(testsupport::MakeDirs(local + "/exists"));
    ASSERT_TRUE(testsupport::WriteFile(local + "/blocked", "a file"));
    ConnectToServer();
    ASSERT_TRUE(Select({"exists", "blocked", "gone.txt", "ok.txt"}));
    HoldDriver();
    Download();
    ASSERT_EQ(QueueRows(2),
              (std::vector<std::string>{local + "|//exists", local + "|//exists/in.txt", local + "|//blocked",
                                        local + "|//blocked/sub", local + "|//blocked/sub/f.txt",
                                        local + "|//gone.txt", local + "|//ok.txt"}));
    KeepRequestOpen();
    ReleaseDriver();
    ASSERT_TRUE(DriverLeft());
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"失败", "完成", "失败", "失败", "失败", "失败", "完成"}));
    EXPECT_EQ(testsupport::ReadFile(local + "/exists/in.txt"), "in");
    EXPECT_EQ(testsupport::ReadFile(local + "/blocked"), "a file");
    EXPECT_EQ(testsupport::ReadFile(local + "/ok.txt"), "ok");
    EXPECT_EQ(testsupport::FileSize(local + "/gone.txt"), -1);
    CloseRequest();
    ASSERT_TRUE(QueueFinished());
    // The failed rows stay in view after the run, the others are cleared, and
    // each failure has its line in the log.
    EXPECT_EQ(QueueRows(2),
              (std::vector<std::string>{local + "|//exists", local + "|//blocked", local + "|//blocked/sub",
                                        local + "|//blocked/sub/f.txt", local + "|//gone.txt"}));
    EXPECT_EQ(Statuses(), std::vector<std::string>(5, "失败"));
    EXPECT_TRUE(LogHas("创建本地目录失败://exists，本地已有同名的文件或目录"))
        << testing::PrintToString(LogMessages());
    EXPECT_TRUE(LogHas("创建本地目录失败://blocked，本地已有同名的文件或目录"));
    EXPECT_TRUE(LogHas("创建本地目录失败://blocked/sub，"));
    EXPECT_TRUE(LogHas("下载失败://blocked/sub/f.txt，"));
    EXPECT_TRUE(LogHas("下载失败://gone.txt，"));
    EXPECT_EQ(Pane(0), "已就绪");

    // A later request goes on below them; its rows are cleared when done.
    ASSERT_TRUE(testsupport::RemoveTree(local + "/ok.txt"));
    ASSERT_TRUE(Select({"ok.txt"}));
    Download();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(testsupport::ReadFile(local + "/ok.txt"), "ok");
    EXPECT_EQ(app->ui.queueList.RowCount(), 5);
    EXPECT_EQ(Statuses(), std::vector<std::string>(5, "失败"));
}

// The engine refuses to start a row's task (its server address cannot make a
// session): the row reads "失败" with its log line, and the queue goes on.
TEST_F(DriverFakeServer, ARowWhoseTaskTheEngineRefusesFailsAndTheNextRowsFollow) {
    server.AddFile("/first.txt", "first");
    server.AddFile("/refused.txt", "refused");
    server.AddFile("/last.txt", "last");
    ConnectToServer();
    ASSERT_TRUE(Select({"first.txt", "refused.txt", "last.txt"}));
    HoldDriver();
    Download();
    ASSERT_EQ(QueueRows(2), (std::vector<std::string>{local + "|//first.txt", local + "|//last.txt",
                                                      local + "|//refused.txt"}));
    {
        // A host the engine cannot make a session of: StartTask says no.
        auto& state = app::QueueState(*app);
        std::lock_guard guard(state.lock);
        for (app::QueueRow& row : state.rows)
            if (row.remotePath == "//refused.txt") row.host = "";
    }
    ReleaseDriver();
    ASSERT_TRUE(QueueFinished()) << testing::PrintToString(QueueRows());
    EXPECT_EQ(QueueRows(2), (std::vector<std::string>{local + "|//refused.txt"}));
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"失败"}));
    EXPECT_TRUE(LogHas("下载失败://refused.txt，下载任务未能启动")) << testing::PrintToString(LogMessages());
    EXPECT_EQ(testsupport::ReadFile(local + "/first.txt"), "first");
    EXPECT_EQ(testsupport::ReadFile(local + "/last.txt"), "last");
    EXPECT_EQ(testsupport::FileSize(local + "/refused.txt"), -1);
    EXPECT_EQ(server.CountCommands("RETR /refused.txt"), 0);
    EXPECT_EQ(Pane(0), "已就绪");
}

TEST_F(DriverFakeServer, ALinkPlantedInTheDownloadFolderRedirectsNothing) {
    // Someone with write access to the download folder put a link where the
    // remote folder "sub" will go. Neither the folder row nor the file below
    // it may follow it.
    server.AddFile("/sub/f.txt", "f");
    server.AddFile("/sub/inner/g.txt", "g");
    testsupport::TempDir outside{"qftp-outside"};
    ASSERT_EQ(::symlink(outside.Path().c_str(), (local + "/sub").c_str()), 0);
    ConnectToServer();
    ASSERT_TRUE(Select({"sub"}));
    HoldDriver();
    Download();
    ASSERT_EQ(QueueRows(2), (std::vector<std::string>{local + "|//sub", local + "|//sub/inner",
                                                      local + "|//sub/inner/g.txt", local + "|//sub/f.txt"}));
    KeepRequestOpen();
    ReleaseDriver();
    ASSERT_TRUE(DriverLeft());
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"失败", "失败", "失败", "失败"}));
    EXPECT_TRUE(testsupport::ListTree(outside.Path()).empty())
        << testing::PrintToString(testsupport::ListTree(outside.Path()));
    CloseRequest();
    ASSERT_TRUE(QueueFinished());
}

TEST_F(DriverFakeServer, ATransferThatBreaksOffIsNeverShownAsDone) {
    // The server ends the transfer early and claims success every time; the
    // engine retries, then gives up.
    testsupport::TransferFaults broken;
    broken.reportedSize = 5000;
    server.AddFile("/short.bin", std::string(1000, 'b'), broken);
    server.AddFile("/next.txt", "n");
    downlib::SetRetryPauseForTesting(1);
    ConnectToServer();
    ASSERT_TRUE(Select({"short.bin", "next.txt"}));
    HoldDriver();
    Download();
    KeepRequestOpen();
    ReleaseDriver();
    ASSERT_TRUE(DriverLeft());
    downlib::SetRetryPauseForTesting(downlib::kRetryPauseMs);
    // The server lists by name: next.txt comes first.
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"完成", "失败"}));
    // What is left on disk is not a full-size file.
    EXPECT_LT(testsupport::FileSize(local + "/short.bin"), 5000);
}

TEST_F(DriverFakeServer, EveryRowFailsInTurnWhenTheServerRefusesLogIns) {
    server.AddFile("/a.txt", "a");
    server.AddFile("/b.txt", "b");
    ConnectToServer();
    // From now on no log-in works.
    server.SetCredentials("demo", "another");
    downlib::SetRetryPauseForTesting(1);
    ASSERT_TRUE(Select({"a.txt", "b.txt"}));
    HoldDriver();
    Download();
    KeepRequestOpen();
    ReleaseDriver();
    ASSERT_TRUE(DriverLeft());
    downlib::SetRetryPauseForTesting(downlib::kRetryPauseMs);
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"失败", "失败"}));
    CloseRequest();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(QueueRows(2), (std::vector<std::string>{local + "|//a.txt", local + "|//b.txt"}));
}

TEST_F(DriverFakeServer, StopTaskEndsAStalledTransferAsFailedAndTheQueueGoesOn) {
    testsupport::TransferFaults stall;
    stall.stallAfterBytes = 3000;
    server.AddFile("/stalled.bin", std::string(100000, 's'), stall);
    server.AddFile("/t.txt", "next");
    ConnectToServer();
    ASSERT_TRUE(Select({"stalled.bin", "t.txt"}));
    Download();
    // The server lists by name: stalled.bin comes first.
    ASSERT_TRUE(PumpUntil([&] {
        return testsupport::FileSize(local + "/stalled.bin.quorvel-part") >= 0 && StatusOf(0) == "进行中" &&
               app->downloadClient.GetBytesDone() >= 3000;
    }));
    toolkit::testing::RightClickRow(app->ui.queueList, 0);
    EXPECT_TRUE(toolkit::testing::PopupMenuVisible(app->ui.queueMenu));
    EXPECT_EQ(app->ui.queueMenu.Items(), (std::vector<std::string>{"停止任务", "移除任务"}));
    ASSERT_TRUE(app->ui.queueMenu.Choose("停止任务"));
    ASSERT_TRUE(QueueFinished()) << testing::PrintToString(QueueRows());
    EXPECT_EQ(QueueRows(2), std::vector<std::string>{local + "|//stalled.bin"});
    EXPECT_EQ(Statuses(), std::vector<std::string>{"失败"});
    EXPECT_TRUE(LogHas("下载失败://stalled.bin，已停止")) << testing::PrintToString(LogMessages());
    // The file is not left looking whole: only its part file stays.
    EXPECT_EQ(testsupport::FileSize(local + "/stalled.bin"), -1);
    EXPECT_LT(testsupport::FileSize(local + "/stalled.bin.quorvel-part"), 100000);
    EXPECT_EQ(testsupport::ReadFile(local + "/t.txt"), "next");
}

TEST_F(DriverFakeServer, RemoveTaskTakesWaitingRowsOutButNeverTheRunningOne) {
    testsupport::TransferFaults slow;
    slow.chunkBytes = 1000;
    slow.chunkDelayMs = 40;
    server.AddFile("/a.bin", std::string(8000, 'a'), slow);
    server.AddFile("/b.txt", "b");
    server.AddFile("/c.txt", "c");
    server.AddFile("/d.txt", "d");
    ConnectToServer();
    ASSERT_TRUE(Select({"a.bin", "b.txt", "c.txt", "d.txt"}));
    Download();
    ASSERT_TRUE(PumpUntil([&] { return StatusOf(0) == "进行中"; }));
    // The running row and two waiting rows are selected.
    toolkit::ListView& queue = app->ui.queueList;
    queue.SelectRow(0, true);
    queue.SelectRow(1, true);
    queue.SelectRow(3, true);
    ASSERT_TRUE(app->ui.queueMenu.Choose("移除任务"));
    EXPECT_EQ(QueueRows(2), (std::vector<std::string>{local + "|//a.bin", local + "|//c.txt"}));
    EXPECT_EQ(app::QueuedRowCount(*app), 2u);
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(testsupport::FileSize(local + "/a.bin"), 8000);
    EXPECT_EQ(testsupport::ReadFile(local + "/c.txt"), "c");
    EXPECT_EQ(testsupport::FileSize(local + "/b.txt"), -1);
    EXPECT_EQ(testsupport::FileSize(local + "/d.txt"), -1);
    EXPECT_EQ(app->ui.queueList.RowCount(), 0);
}

TEST_F(DriverFakeServer, ClosingTheWindowDuringARetryPauseStopsTheDriver) {
    server.AddFile("/a.txt", "a");
    ConnectToServer();
    server.SetCredentials("demo", "another");
    ASSERT_TRUE(Select({"a.txt"}));
    Download();
    // The task has failed its first log-in and sits in the engine's pause.
    ASSERT_TRUE(PumpUntil([&] { return server.CountCommands("PASS") >= 2; }));
    toolkit::BeginShutdown();
    app::StopTransferDriver(*app);
    EXPECT_FALSE(app::TransferDriverRunning(*app));
    toolkit::testing::ResetShutdown();
    EXPECT_NE(StatusOf(0), "完成");
    EXPECT_EQ(testsupport::FileSize(local + "/a.txt"), -1);
}

// A row that waits for a retry says so, and why, in its state and the log;
// once bytes flow again it reads "进行中" until it ends.
TEST_F(DriverFakeServer, ARetryShowsInTheRowAndTheLogUntilTheTransferGoesOn) {
    testsupport::TransferFaults slow;
    slow.chunkBytes = 1000;
    slow.chunkDelayMs = 50;
    server.AddFile("/a.bin", std::string(20000, 'a'), slow);
    ConnectToServer();
    server.SetCredentials("demo", "another");
    downlib::SetRetryPauseForTesting(200);
    ASSERT_TRUE(Select({"a.bin"}));
    HoldDriver();
    Download();
    KeepRequestOpen();
    ReleaseDriver();
    std::string retry;
    ASSERT_TRUE(PumpUntil([&] {
        retry = StatusOf(0);
        return retry.rfind("重试 1/999: ", 0) == 0;
    })) << StatusOf(0);
    EXPECT_TRUE(LogHas(retry)) << testing::PrintToString(LogMessages());
    server.SetCredentials("demo", "secret");
    EXPECT_TRUE(PumpUntil([&] { return StatusOf(0) == "进行中"; })) << StatusOf(0);
    ASSERT_TRUE(DriverLeft());
    downlib::SetRetryPauseForTesting(downlib::kRetryPauseMs);
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"完成"}));
    CloseRequest();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(testsupport::FileSize(local + "/a.bin"), 20000);
}

TEST_F(DriverFakeServer, ClosingTheWindowMidTransferLeavesNoFileThatLooksDone) {
    testsupport::TransferFaults slow;
    slow.chunkBytes = 4096;
    slow.chunkDelayMs = 50;
    server.AddFile("/slow.bin", std::string(1 << 20, 'w'), slow);
    server.AddFile("/z.txt", "after");
    ConnectToServer();
    ASSERT_TRUE(Select({"slow.bin", "z.txt"}));
    Download();
    ASSERT_TRUE(PumpUntil([&] {
        return testsupport::FileSize(local + "/slow.bin.quorvel-part") > 0 && StatusOf(0) == "进行中";
    }));
    // As the program's shut-down does: window calls stop, then the driver.
    toolkit::BeginShutdown();
    app::StopTransferDriver(*app);
    EXPECT_FALSE(app::TransferDriverRunning(*app));
    toolkit::testing::ResetShutdown();
    EXPECT_EQ(testsupport::FileSize(local + "/slow.bin"), -1);
    EXPECT_LT(testsupport::FileSize(local + "/slow.bin.quorvel-part"), 1 << 20);
    EXPECT_EQ(testsupport::FileSize(local + "/z.txt"), -1);
    // No driver starts after the stop.
    ASSERT_TRUE(Select({"z.txt"}));
    Download();
    EXPECT_FALSE(app::TransferDriverRunning(*app));
}

TEST_F(DriverFakeServer, DestroyingTheApplicationMidTransferStopsAndJoinsTheDriver) {
    testsupport::TransferFaults slow;
    slow.chunkBytes = 4096;
    slow.chunkDelayMs = 50;
    server.AddFile("/slow.bin", std::string(1 << 20, 'w'), slow);
    ConnectToServer();
    ASSERT_TRUE(Select({"slow.bin"}));
    Download();
    ASSERT_TRUE(PumpUntil([&] { return testsupport::FileSize(local + "/slow.bin.quorvel-part") > 0; }));
    app.reset();
    EXPECT_EQ(testsupport::FileSize(local + "/slow.bin"), -1);
    EXPECT_LT(testsupport::FileSize(local + "/slow.bin.quorvel-part"), 1 << 20);
}

TEST_F(DriverFakeServer, EachRowKeepsItsFolderAndServerWhenANewRequestAndConnectFollow) {
    testsupport::TransferFaults slow;
    slow.chunkBytes = 1000;
    slow.chunkDelayMs = 30;
    server.AddFile("/one/slow.bin", std::string(10000, '1'), slow);
    server.AddFile("/two/deep/b.txt", "from the first server");
    testsupport::FakeFtpServer other;
    ASSERT_TRUE(other.ok());
    other.AddFile("/two/deep/b.txt", "from the second server");
    other.AddFile("/one/slow.bin", "wrong");

    ConnectToServer();
    app::ListRemoteFolder(*app, "/one");
    ASSERT_TRUE(Select({"slow.bin"}));
    Download();
    // While the first file is still running: a request from another folder
    // into another local folder, then a quick connect to another server.
    app::ListRemoteFolder(*app, "/two");
    const std::string second = home_.Subdir("second");
    toolkit::testing::TypeOver(app->ui.localPathCombo, second);
    ASSERT_TRUE(Select({"deep"}));
    Download();
    EXPECT_TRUE(app::TransferDriverRunning(*app));
    Connect("127.0.0.1", other.port(), "demo", "secret");
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(testsupport::ReadFile(local + "/slow.bin"), std::string(10000, '1'));
    EXPECT_EQ(testsupport::ReadFile(second + "/deep/b.txt"), "from the first server");
    EXPECT_EQ(other.CountCommands("RETR"), 0);
    // The tasks reached the server on its own port, not on 21.
    EXPECT_EQ(server.CountCommands("RETR"), 2);
}

}  // namespace
