// The download request against the scriptable fake server: which rows it
// appends and in what order, what each column holds, the names and folders it
// refuses to follow, when it starts the driver, and the queue-length pane.
#include "app/download_request.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/session_log.h"
#include "queue_fixture.h"
#include "support/fake_ftp_server.h"

namespace {

using apptest::QueueTest;

TEST(LocalName, IsConvertedFromGbkOnlyWhenTheListingWasReadAsGbk) {
    const struct {
        const char* remote;
        bool gbk;
        const char* local;
    } cases[] = {
        {"a.zip", false, "a.zip"},       {"a.zip", true, "a.zip"},
        {"报告.txt", false, "报告.txt"}, {"\xB1\xA8\xB8\xE6.txt", true, "报告.txt"},
        {"\xD6\xD0\xCE", true, "中%CE"},
    };
    for (const auto& c : cases) EXPECT_EQ(app::LocalNameFor(c.remote, c.gbk), c.local) << c.remote;
}

class DownloadRequestTest : public QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        ASSERT_TRUE(server.ok()) << server.error();
    }

    void ConnectToServer() { Connect("127.0.0.1", server.port(), "demo", "secret"); }

    testsupport::FakeFtpServer server;
};

TEST_F(DownloadRequestTest, FilesAndFoldersBecomeRowsDepthFirstWithTheirColumns) {
    server.AddFile("/pub/readme", std::string(5, 'r'));
    server.AddFile("/pub/A.ZIP", std::string(1234567, 'z'));
    server.AddFile("/pub/tools/x.exe", "MZ");
    server.AddFile("/pub/tools/deep/y.txt", "y");
    server.AddDirectory("/pub/tools/empty");
    server.AddDirectory("/pub/other");
    ConnectToServer();
    app::ListRemoteFolder(*app, "/pub");
    ASSERT_TRUE(Select({"tools", "other", "readme", "A.ZIP"}));

    HoldDriver();
    Download();

    const std::string L = local;
    // Folders above files within each folder, in the remote view's order (this
    // server lists by name; folders show in reverse).
    const std::vector<std::string> expected = {
        L + "|/pub/tools||文件夹|等待",      L + "|/pub/tools/empty||文件夹|等待",
        L + "|/pub/tools/deep||文件夹|等待", L + "|/pub/tools/deep/y.txt|1|txt|等待",
        L + "|/pub/tools/x.exe|2|exe|等待",  L + "|/pub/other||文件夹|等待",
        L + "|/pub/A.ZIP|1234567|ZIP|等待",  L + "|/pub/readme|5|文件|等待",
    };
    const auto rows = QueueRows();
    // The order of folders inside tools follows the listing; check as a set
    // where the server's order is free, and exactly everywhere else.
    ASSERT_EQ(rows.size(), expected.size());
    EXPECT_EQ(rows[0], expected[0]);
    EXPECT_EQ(rows.back(), expected.back());
    EXPECT_EQ(rows[rows.size() - 2], expected[expected.size() - 2]);
    EXPECT_EQ(rows[rows.size() - 3], expected[expected.size() - 3]);
    for (const auto& e : expected) EXPECT_NE(std::find(rows.begin(), rows.end(), e), rows.end()) << e;
    // A folder's row comes before everything inside it.
    const auto at = [&](const std::string& e) {
        return std::find(rows.begin(), rows.end(), e) - rows.begin();
    };
    EXPECT_LT(at(expected[2]), at(expected[3]));
    EXPECT_LT(at(expected[0]), at(expected[4]));

    // The view is back in the folder of the request.
    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "/pub");
    EXPECT_NE(RemoteRowOf("A.ZIP"), -1);

    // The pane follows the list on the timer.
    EXPECT_TRUE(PumpUntil([&] { return Pane(1) == "任务队列:8"; })) << Pane(1);

    ReleaseDriver();
    ASSERT_TRUE(QueueFinished()) << testing::PrintToString(QueueRows());
    EXPECT_EQ(testsupport::ReadFile(local + "/tools/deep/y.txt"), "y");
    EXPECT_EQ(testsupport::ReadFile(local + "/A.ZIP")->size(), 1234567u);
    EXPECT_EQ(testsupport::ListTree(local + "/tools/empty"), std::vector<std::string>{});
    EXPECT_TRUE(PumpUntil([&] { return Pane(1) == "任务队列:0"; })) << Pane(1);
}

TEST_F(DownloadRequestTest, AnEmptyFolderGivesJustItsOwnRowAndTheParentRowIsNoEntry) {
    server.AddDirectory("/empty");
    server.AddFile("/f.txt", "f");
    ConnectToServer();
    ASSERT_TRUE(Select({"empty", app::kParentRowText}));
    HoldDriver();
    Download();
    EXPECT_EQ(QueueRows(), (std::vector<std::string>{local + "|//empty||文件夹|等待"}));
}

TEST_F(DownloadRequestTest, SelectingNothingStillStartsAndFinishesADriver) {
    server.AddFile("/f.txt", "f");
    ConnectToServer();
    ASSERT_TRUE(Select({}));
    Download();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(Pane(0), "已就绪");
    EXPECT_EQ(Pane(2), "动作:无");
    EXPECT_EQ(Pane(3), "任务进度:0%");
}

TEST_F(DownloadRequestTest, OnlyFoldersSelectedCreatesTheLocalFoldersInRowOrder) {
    server.AddDirectory("/a/b/c");
    server.AddDirectory("/d");
    ConnectToServer();
    ASSERT_TRUE(Select({"a", "d"}));
    Download();
    ASSERT_TRUE(QueueFinished()) << testing::PrintToString(QueueRows());
    EXPECT_EQ(testsupport::ListTree(local), (std::vector<std::string>{"a/", "a/b/", "a/b/c/", "d/"}));
}

TEST_F(DownloadRequestTest, TheFirstFileOfAFolderExpansionStartsTheDriver) {
    // a holds a file; b holds many folders, so its expansion takes a while and
    // pumps the event loop at every one of them.
    server.AddFile("/a/x.txt", "x");
    for (int i = 0; i < 40; ++i) server.AddDirectory("/b/s" + std::to_string(i));
    ConnectToServer();
    ASSERT_TRUE(Select({"a", "b"}));
    Download();
    // The request has returned; its last step would have started the driver
    // only now. The driver has already created a, so it ran before that.
    EXPECT_EQ(toolkit::FileAttributes(local + "/a") & toolkit::kAttrDirectory, toolkit::kAttrDirectory);
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(testsupport::ReadFile(local + "/a/x.txt"), "x");
    EXPECT_EQ(testsupport::ListTree(local + "/b").size(), 40u);
}

TEST_F(DownloadRequestTest, NamesThatWouldLeaveTheLocalFolderAreSkippedWithALogLine) {
    server.AddFile("/good.txt", "g");
    server.AddFile("/evil", "e");
    server.SetListing("/",
                      "-rw-r--r-- 1 u g 1 Jan 01 2024 good.txt\r\n"
                      "-rw-r--r-- 1 u g 1 Jan 01 2024 ../evil\r\n"
                      "drwxr-xr-x 2 u g 0 Jan 01 2024 ..\r\n"
                      "drwxr-xr-x 2 u g 0 Jan 01 2024 .\r\n"
                      "drwxr-xr-x 2 u g 0 Jan 01 2024 sub\r\n");
    server.SetListing("/sub",
                      "-rw-r--r-- 1 u g 1 Jan 01 2024 ../../escape\r\n"
                      "-rw-r--r-- 1 u g 1 Jan 01 2024 in.txt\r\n");
    server.AddFile("/sub/in.txt", "i");
    ConnectToServer();
    // "." and ".." are no rows of the view at all.
    EXPECT_EQ(RemoteRowOf("."), -1);
    EXPECT_EQ(RemoteRowOf(".."), -1);
    ASSERT_TRUE(Select({"good.txt", "../evil", "sub"}));
    HoldDriver();
    Download();
    EXPECT_EQ(QueueRows(2),
              (std::vector<std::string>{local + "|//sub", local + "|//sub/in.txt", local + "|//good.txt"}));
    EXPECT_TRUE(LogHas("跳过远程名称\"../evil\"")) << testing::PrintToString(LogMessages());
    EXPECT_TRUE(LogHas("跳过远程名称\"../../escape\""));
    ReleaseDriver();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(testsupport::ListTree(local), (std::vector<std::string>{"good.txt", "sub/", "sub/in.txt"}));
    for (const auto& entry : testsupport::ListTree(home_.Path())) {
        EXPECT_EQ(entry.find("evil"), std::string::npos) << entry;
        EXPECT_EQ(entry.find("escape"), std::string::npos) << entry;
    }
}

TEST_F(DownloadRequestTest, ALinkBackToAnAncestorIsNotFollowed) {
    // /d/loop is a link to /d: the server enters it and reports /d again.
    server.AddFile("/d/f.txt", "f");
    server.SetListing("/d",
                      "lrwxrwxrwx 1 u g 2 Jan 01 2024 loop -> .\r\n"
                      "lrwxrwxrwx 1 u g 9 Jan 01 2024 file -> f.txt\r\n"
                      "-rw-r--r-- 1 u g 1 Jan 01 2024 f.txt\r\n");
    server.Reply("CWD //d/loop", "250 Directory changed.\r\n");
    ConnectToServer();
    ASSERT_TRUE(Select({"d"}));
    HoldDriver();
    Download();
    const auto rows = QueueRows(4);
    // The link to a file is fetched as a file; the loop is skipped.
    EXPECT_EQ(rows, (std::vector<std::string>{local + "|//d||文件夹", local + "|//d/file||文件",
                                              local + "|//d/f.txt|1|txt"}))
        << server.Transcript();
    EXPECT_TRUE(LogHas("跳过//d/loop")) << testing::PrintToString(LogMessages());
}

TEST_F(DownloadRequestTest, ALoopTheServerDoesNotRevealEndsAtTheDepthLimit) {
    // Every level holds a folder "x" whose path grows: nothing repeats, so
    // only the depth limit ends the walk.
    server.AddFile("/r/f", "f");
    std::string folder = "/r";
    for (int i = 0; i <= app::kMaxExpansionDepth + 2; ++i) {
        folder += "/x";
        server.AddDirectory(folder);
    }
    ConnectToServer();
    ASSERT_TRUE(Select({"r"}));
    HoldDriver();
    Download();
    const auto rows = QueueRows(2);
    ASSERT_FALSE(rows.empty());
    EXPECT_LE(rows.size(), static_cast<std::size_t>(app::kMaxExpansionDepth) + 3);
    EXPECT_TRUE(LogHas("目录层次过深，不再展开"));
}

TEST_F(DownloadRequestTest, MoreSiblingFoldersThanTheDepthLimitAreAllQueued) {
    // The limit counts the levels below the request's folder, not the
    // folders entered: a wide tree three levels deep is queued whole.
    const int siblings = app::kMaxExpansionDepth + 4;
    std::vector<std::string> expected = {local + "|//wide||文件夹"};
    for (int i = 0; i < siblings; ++i) {
        const std::string name = "s" + std::to_string(100 + i);
        server.AddFile("/wide/" + name + "/inner/f.txt", "f");
        server.AddFile("/wide/" + name + "/g.txt", "gg");
        const std::string path = local + "|//wide/" + name;
        expected.push_back(path + "||文件夹");
        expected.push_back(path + "/inner||文件夹");
        expected.push_back(path + "/inner/f.txt|1|txt");
        expected.push_back(path + "/g.txt|2|txt");
    }
    ConnectToServer();
    ASSERT_TRUE(Select({"wide"}));
    HoldDriver();
    Download();
    auto rows = QueueRows(4);
    // The order of sibling folders follows the listing; the set is what counts.
    std::sort(rows.begin(), rows.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rows.size(), static_cast<std::size_t>(1 + 4 * siblings));
    EXPECT_EQ(rows, expected);
    EXPECT_FALSE(LogHas("目录层次过深")) << testing::PrintToString(LogMessages());
}

TEST_F(DownloadRequestTest, LinksBackToAnAncestorAreSkippedWhenPwdShowsThePathThroughThem) {
    // As pyftpdlib does: PWD in /d/here answers "/d/here", yet the folder is
    // /d itself, so it lists what /d lists. Two such links double the tree at
    // every level.
    const std::string listing =
        "lrwxrwxrwx 1 u g 1 Jan 01 2024 here -> .\r\n"
        "lrwxrwxrwx 1 u g 1 Jan 01 2024 again -> .\r\n"
        "lrwxrwxrwx 1 u g 2 Jan 01 2024 up -> ..\r\n"
        "-rw-r--r-- 1 u g 1 Jan 01 2024 f.txt\r\n";
    server.AddFile("/d/f.txt", "f");
    server.AddFile("/top.txt", "t");
    for (const char* folder : {"/d", "/d/here", "/d/again"}) server.SetListing(folder, listing);
    // "up" leads to the root, whose listing the request was made from.
    server.AddDirectory("/d/up");
    server.SetListing("/d/up",
                      "drwxr-xr-x 2 u g 4096 Jan 01 2024 d\r\n-rw-r--r-- 1 u g 1 Jan 01 2024 top.txt\r\n");
    ConnectToServer();
    ASSERT_TRUE(Select({"d"}));
    HoldDriver();
    Download();
    EXPECT_EQ(QueueRows(2), (std::vector<std::string>{local + "|//d", local + "|//d/f.txt"}))
        << testing::PrintToString(LogMessages());
    for (const char* skipped : {"跳过//d/here", "跳过//d/again", "跳过//d/up"})
        EXPECT_TRUE(LogHas(skipped)) << skipped << testing::PrintToString(LogMessages());
}

TEST_F(DownloadRequestTest, OneRequestAppendsABoundedNumberOfRows) {
    for (int i = 0; i < 30; ++i) server.AddFile("/many/f" + std::to_string(i), "x");
    ConnectToServer();
    {
        auto& state = app::QueueState(*app);
        std::lock_guard guard(state.lock);
        state.maxRowsPerRequest = 12;
    }
    ASSERT_TRUE(Select({"many"}));
    HoldDriver();
    Download();
    EXPECT_EQ(QueueRows().size(), 12u);
    EXPECT_TRUE(LogHas("本次下载请求已排入12行，达到上限，其余条目未加入队列"))
        << testing::PrintToString(LogMessages());
    // The remote view is back in the folder of the request.
    EXPECT_NE(RemoteRowOf("many"), -1);
}

TEST_F(DownloadRequestTest, AFolderThatCannotBeEnteredKeepsItsRowButIsNotListedAsItsParent) {
    server.AddDirectory("/locked");
    server.AddFile("/top.txt", "t");
    server.Reply("CWD //locked", "550 Permission denied.\r\n");
    ConnectToServer();
    ASSERT_TRUE(Select({"locked"}));
    HoldDriver();
    Download();
    // Without the check the parent's content would be queued below it.
    EXPECT_EQ(QueueRows(2), (std::vector<std::string>{local + "|//locked"}));
    EXPECT_TRUE(LogHas("无法进入远程目录//locked"));
}

TEST_F(DownloadRequestTest, ASecondRequestWhileTheFirstIsQueueingIsRefused) {
    for (int i = 0; i < 30; ++i) server.AddFile("/big/f" + std::to_string(i), "x");
    ConnectToServer();
    ASSERT_TRUE(Select({"big"}));
    HoldDriver();
    // A second "下载文件" arrives while the first request walks the folder
    // (the request pumps the event loop after every file row).
    toolkit::Timer again;
    int fired = 0;
    again.Start(1, [&] {
        if (fired++ == 0) app::QueueDownloadRequest(*app);
    });
    Download();
    again.Stop();
    EXPECT_GE(fired, 1);
    EXPECT_EQ(QueueRows().size(), 31u);
    EXPECT_TRUE(LogHas("上一个操作(下载请求)还在进行，下载请求未执行"));
}

// A folder expansion processes events between its steps; a quick connect to
// another server or a delete then would queue rows with one server's paths
// and another's credentials, or delete from under the walk.
TEST_F(DownloadRequestTest, AQuickConnectOrADeleteDuringAFolderExpansionIsRefused) {
    for (int i = 0; i < 30; ++i) server.AddFile("/big/s" + std::to_string(i) + "/f.txt", "x");
    server.AddFile("/keep.txt", "k");
    ConnectToServer();
    testsupport::FakeFtpServer other;
    ASSERT_TRUE(other.ok());
    other.AddFile("/big/s0/f.txt", "wrong server");
    ASSERT_TRUE(Select({"big"}));
    HoldDriver();
    toolkit::Timer meddler;
    std::string runningThen;
    meddler.Start(1, [&] {
        if (!runningThen.empty()) return;
        runningThen = app->runningAction != nullptr ? app->runningAction : "(none)";
        TypeQuickConnect("127.0.0.1", "demo", "secret", std::to_string(other.port()));
        ClickQuickConnect();
        toolkit::testing::ScriptMessageAnswer(toolkit::kResultOk);
        app::QueueDownloadRequest(*app);
        ASSERT_TRUE(app->ui.remoteMenu.Choose("删除"));
        ASSERT_TRUE(app->ui.remoteMenu.Choose("创建目录"));
    });
    Download();
    meddler.Stop();
    EXPECT_EQ(runningThen, "下载请求");
    for (const char* refused : {"快速连接", "下载请求", "删除", "创建目录"}) {
        EXPECT_TRUE(LogHas(std::string("上一个操作(下载请求)还在进行，") + refused + "未执行"))
            << refused << "\n"
            << testing::PrintToString(LogMessages());
    }
    EXPECT_EQ(other.ConnectionCount(), 0);
    EXPECT_EQ(server.CountCommands("DELE") + server.CountCommands("RMD") + server.CountCommands("MKD"), 0);
    // Every row is the first server's: 1 + 30 folders and 30 files.
    EXPECT_EQ(QueueRows().size(), 61u);
    ReleaseDriver();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(testsupport::ReadFile(local + "/big/s0/f.txt"), "x");
    EXPECT_EQ(other.CountCommands("RETR"), 0);
}

// The walk queues what the server listed, not what the list's cells say.
TEST_F(DownloadRequestTest, TheQueuedSizeIsTheListedOneWhateverTheCellShows) {
    server.AddFile("/n.bin", std::string(20, 'n'));
    ConnectToServer();
    const int r = RemoteRowOf("n.bin");
    ASSERT_NE(r, -1);
    app->ui.remoteList.SetCellText(r, 1, "1,2x,3");
    ASSERT_TRUE(Select({"n.bin"}));
    HoldDriver();
    Download();
    EXPECT_EQ(QueueRows(3), (std::vector<std::string>{local + "|//n.bin|20"}));
    ReleaseDriver();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(testsupport::ReadFile(local + "/n.bin"), std::string(20, 'n'));
}

}  // namespace
