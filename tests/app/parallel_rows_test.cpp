// Several queue rows at once: each lane on its own connection, the rows'
// own states and percentages, the request's progress in the status bar, a
// stop of every running row, and servers that refuse one more connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

#include "queue_fixture.h"
#include "support/fake_ftp_server.h"

namespace {

using testsupport::Action;

class ParallelRows : public apptest::QueueTest {
public:
    // For the helpers below, which drive a fixture the way a test body does.
    void SetParallelRowsForTest(const std::string& count) { SetParallelRows(count); }
    using QueueTest::app;
    using QueueTest::Download;
    using QueueTest::HoldDriver;
    using QueueTest::local;
    using QueueTest::LogHas;
    using QueueTest::LogMessages;
    using QueueTest::QueueFinished;
    using QueueTest::ReleaseDriver;
    using QueueTest::Select;
    using QueueTest::Statuses;

    void SetUp() override {
        QueueTest::SetUp();
        ASSERT_TRUE(server.ok()) << server.error();
    }

    void ConnectToServer() { Connect("127.0.0.1", server.port(), "demo", "secret"); }

    // Files of `size` bytes served slowly enough that the lanes overlap.
    void AddSlowFiles(int count, std::size_t size) {
        testsupport::TransferFaults slow;
        slow.chunkBytes = size / 10;
        slow.chunkDelayMs = 40;
        for (int i = 0; i < count; ++i)
            server.AddFile("/f" + std::to_string(i) + ".bin", Content(i, size), slow);
    }

    static std::string Content(int i, std::size_t size) {
        return std::string(size, static_cast<char>('a' + i));
    }

    int RunningRows() {
        const auto statuses = Statuses();
        return static_cast<int>(std::count_if(statuses.begin(), statuses.end(), [](const std::string& s) {
            return s.rfind("进行中", 0) == 0;
        }));
    }

    std::vector<std::string> FileRows(int count) {
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) names.push_back("f" + std::to_string(i) + ".bin");
        return names;
    }

    testsupport::FakeFtpServer server;
};

TEST_F(ParallelRows, TheDefaultRunsThreeRowsAtOnceEachEndingInItsOwnState) {
    SetParallelRows("");  // no count stored: the default
    AddSlowFiles(6, 20000);
    // Listed but missing: its row fails while the others go on.
    server.SetListing(
        "/",
        "-rw-r--r-- 1 u g 20000 Jan 01 2024 f0.bin\r\n-rw-r--r-- 1 u g 20000 Jan 01 2024 f1.bin\r\n"
        "-rw-r--r-- 1 u g 9 Jan 01 2024 gone.bin\r\n-rw-r--r-- 1 u g 20000 Jan 01 2024 f2.bin\r\n"
        "-rw-r--r-- 1 u g 20000 Jan 01 2024 f3.bin\r\n-rw-r--r-- 1 u g 20000 Jan 01 2024 f4.bin\r\n"
        "-rw-r--r-- 1 u g 20000 Jan 01 2024 f5.bin\r\n");
    ConnectToServer();
    std::vector<std::string> names = FileRows(6);
    names.push_back("gone.bin");
    ASSERT_TRUE(Select(names));
    HoldDriver();
    Download();
    ReleaseDriver();

    int mostRunning = 0;
    std::set<std::string> actions;
    std::set<std::string> progress;
    std::set<std::string> rowTexts;
    ASSERT_TRUE(PumpUntil([&] {
        mostRunning = std::max(mostRunning, RunningRows());
        actions.insert(Pane(2));
        progress.insert(Pane(3));
        for (const auto& s : Statuses()) rowTexts.insert(s);
        return !app::TransferDriverRunning(*app);
    }));
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(mostRunning, 3);
    EXPECT_TRUE(actions.count("动作:正在下载3个文件")) << testing::PrintToString(actions);
    // Each running row shows its own share; the status bar the request's,
    // with speed and time left once bytes have moved.
    const std::regex rowShare("进行中 [0-9]{1,3}%");
    EXPECT_TRUE(std::any_of(rowTexts.begin(), rowTexts.end(), [&](const std::string& s) {
        return std::regex_match(s, rowShare);
    })) << testing::PrintToString(rowTexts);
    const std::regex requestShare("任务进度:([0-9]{1,3})%  [0-9.]+[KMG]?B/s  剩余[0-9]+:[0-9]{2}");
    std::set<int> shares;
    for (const auto& text : progress) {
        std::smatch m;
        if (std::regex_match(text, m, requestShare)) shares.insert(std::stoi(m[1]));
    }
    EXPECT_TRUE(std::any_of(shares.begin(), shares.end(), [](int p) { return p > 0 && p < 100; }))
        << testing::PrintToString(progress);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(testsupport::ReadFile(local + "/f" + std::to_string(i) + ".bin"), Content(i, 20000)) << i;
    EXPECT_EQ(QueueRows(2), std::vector<std::string>{local + "|//gone.bin"});
    EXPECT_EQ(Statuses(), std::vector<std::string>{"失败"});
    EXPECT_TRUE(LogHas("下载失败://gone.bin，")) << testing::PrintToString(LogMessages());
    // The browsing log-in and one per lane, each kept for its lane's next
    // rows, and one more after the failed row: a task that failed never
    // gives its connection back.
    EXPECT_EQ(server.CountCommands("USER"), 5) << server.Transcript();
}

TEST_F(ParallelRows, StopEndsEveryRunningRowAndLeavesEachACutPartFile) {
    SetParallelRows("3");
    testsupport::TransferFaults stall;
    stall.stallAfterBytes = 3000;
    for (int i = 0; i < 3; ++i)
        server.AddFile("/s" + std::to_string(i) + ".bin", std::string(100000, 's'), stall);
    ConnectToServer();
    ASSERT_TRUE(Select({"s0.bin", "s1.bin", "s2.bin"}));
    Download();
    // Each row shows its own share: 3000 of 100000 bytes before the stall.
    ASSERT_TRUE(PumpUntil([&] { return Statuses() == std::vector<std::string>(3, "进行中 3%"); }))
        << testing::PrintToString(Statuses());
    toolkit::testing::RightClickRow(app->ui.queueList, 1);
    ASSERT_TRUE(app->ui.queueMenu.Choose("停止任务"));
    ASSERT_TRUE(QueueFinished()) << testing::PrintToString(Statuses());
    EXPECT_EQ(Statuses(), std::vector<std::string>(3, "失败"));
    EXPECT_FALSE(app::TransferDriverRunning(*app));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(testsupport::FileSize(local + "/s" + std::to_string(i) + ".bin"), -1) << i;
        const std::int64_t cut =
            testsupport::FileSize(local + "/s" + std::to_string(i) + ".bin.quorvel-part");
        EXPECT_GE(cut, 0) << i;
        EXPECT_LT(cut, 100000) << i;
        EXPECT_TRUE(LogHas("下载失败://s" + std::to_string(i) + ".bin，已停止")) << i;
    }
}

// After the browsing connection the server takes `greetings` in turn
// (then anything; the lanes it takes are greeted late, so the refusals come
// first): three lanes start, the refused ones give their rows back,
// the count is lowered once to what the server took, and every file arrives.
void ExpectOneLoweringTo(ParallelRows& t, const std::vector<Action>& greetings, const std::string& line) {
    t.SetParallelRowsForTest("3");
    t.AddSlowFiles(6, 20000);
    t.ConnectToServer();
    t.server.GreetNext(greetings);
    ASSERT_TRUE(t.Select(t.FileRows(6)));
    t.HoldDriver();
    t.Download();
    t.ReleaseDriver();
    ASSERT_TRUE(t.QueueFinished()) << testing::PrintToString(t.Statuses())
                                   << testing::PrintToString(t.LogMessages());
    EXPECT_EQ(t.app->ui.queueList.RowCount(), 0);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(testsupport::ReadFile(t.local + "/f" + std::to_string(i) + ".bin"),
                  ParallelRows::Content(i, 20000))
            << i;
    const auto lines = t.LogMessages();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("服务器拒绝了更多的连接", 0) == 0; }),
              1)
        << testing::PrintToString(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << testing::PrintToString(lines);
    EXPECT_FALSE(t.LogHas("下载失败"));
}

TEST_F(ParallelRows, AServerThatTakesOneMoreConnectionGoesOnWithOneLane) {
    ExpectOneLoweringTo(*this,
                        {Action::Reply("220 ok\r\n").After(400), Action::ReplyAndClose("421 Too many connections\r\n"),
                         Action::ReplyAndClose("421 Too many connections\r\n")},
                        "服务器拒绝了更多的连接，同时传输数降为1");
}

TEST_F(ParallelRows, AServerThatTakesTwoMoreConnectionsGoesOnWithTwoLanes) {
    ExpectOneLoweringTo(
        *this,
        {Action::Reply("220 ok\r\n").After(400), Action::Reply("220 ok\r\n").After(400),
         Action::ReplyAndClose("530 Sorry, the maximum number of clients (3) from your host are "
                               "already connected.\r\n")},
        "服务器拒绝了更多的连接，同时传输数降为2");
}

TEST_F(ParallelRows, WithNoSecondConnectionEachRowFailsSayingSo) {
    server.AddFile("/a.bin", "a");
    server.AddFile("/b.bin", "b");
    ConnectToServer();
    server.GreetWith(
        Action::ReplyAndClose("421 There are too many connections from your internet address.\r\n"));
    const auto count = [&](const std::string& line) {
        const auto lines = LogMessages();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.find(line) != std::string::npos; });
    };
    int run = 0;
    for (const char* rows : {"1", "3"}) {
        SCOPED_TRACE(rows);
        ++run;
        SetParallelRows(rows);
        ASSERT_TRUE(Select({"a.bin", "b.bin"}));
        Download();
        ASSERT_TRUE(QueueFinished()) << testing::PrintToString(Statuses());
        EXPECT_EQ(Statuses(), std::vector<std::string>(2, "失败"));
        EXPECT_EQ(count("下载失败://a.bin，服务器不允许第二个连接"), run);
        EXPECT_EQ(count("下载失败://b.bin，服务器不允许第二个连接"), run);
        EXPECT_EQ(count("服务器不允许第二个连接（"), run) << testing::PrintToString(LogMessages());
        for (int r = 0; r < app->ui.queueList.RowCount(); ++r) app->ui.queueList.SelectRow(r, true);
        ASSERT_TRUE(app->ui.queueMenu.Choose("移除任务"));
        ASSERT_EQ(app->ui.queueList.RowCount(), 0);
    }
}

}  // namespace
