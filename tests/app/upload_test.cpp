// Uploads from the window against the scriptable fake server: the rows an
// upload request appends, the names and links it refuses, GBK names, the
// answer to a remote file of the same name, failures that must read "失败"
// with the reason in the session log, and the guards against interleaving.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "app/quick_connect.h"
#include "app/transfer_driver.h"
#include "downlib/remote_file_time.h"
#include "support/fake_ftp_server.h"
#include "upload_fixture.h"

namespace {

using apptest::UploadTest;

TEST(RemoteNameFor, RefusesWhatWouldBreakACommandOrAPath) {
    const std::string longest(255, 'n');
    const struct {
        std::string local;
        bool toGbk;
        std::optional<std::string> remote;
        const char* why;
    } cases[] = {
        {"a.txt", false, "a.txt", ""},
        {"报告 2024.txt", false, "报告 2024.txt", ""},
        {"报告 2024.txt", true, "\xB1\xA8\xB8\xE6 2024.txt", ""},
        {"plain", true, "plain", ""},
        {".profile", false, ".profile", ""},
        {"100%+x.txt", false, "100%+x.txt", ""},
        // Bytes that are no UTF-8 go as they are, unless GBK is wanted.
        {"\xD6\xD0", false, "\xD6\xD0", ""},
        {"\xD6\xD0", true, std::nullopt, "名称不能转换为服务器使用的GBK编码"},
        {"smile\xF0\x9F\x98\x80.txt", true, std::nullopt, "名称不能转换为服务器使用的GBK编码"},
        {"cr\rSTOR x", false, std::nullopt, "名称含有回车或换行"},
        {"lf\nDELE x", true, std::nullopt, "名称含有回车或换行"},
        {"tab\tname", false, std::nullopt, "名称含有控制字符"},
        {"del\x7f", false, std::nullopt, "名称含有控制字符"},
        {"a/b", false, std::nullopt, "名称含有\"/\""},
        {"", false, std::nullopt, "名称不能用作远程文件名"},
        {".", false, std::nullopt, "名称不能用作远程文件名"},
        {"..", false, std::nullopt, "名称不能用作远程文件名"},
        {"..\\x", false, std::nullopt, "名称不能用作远程文件名"},
        {"x\\..", true, std::nullopt, "名称不能用作远程文件名"},
        {"a\\b", false, std::nullopt, "名称不能用作远程文件名"},
        {longest, false, longest, ""},
        {longest + "x", false, std::nullopt, "名称超过255字节"},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_EQ(app::RemoteNameFor(c.local, c.toGbk, why), c.remote) << c.local;
        EXPECT_EQ(why, c.why) << c.local;
    }
    // The limit counts the bytes sent: 86 Chinese characters are 258 bytes
    // in UTF-8 but 172 in GBK.
    std::string chinese;
    for (int i = 0; i < 86; ++i) chinese += "中";
    std::string why;
    EXPECT_TRUE(app::RemoteNameFor(chinese, true, why).has_value());
    EXPECT_FALSE(app::RemoteNameFor(chinese, false, why).has_value());
}

TEST(IsWithinFolder, ComparesWholeComponents) {
    const struct {
        const char* path;
        const char* folder;
        bool within;
    } cases[] = {
        {"/a/b", "/a", true}, {"/a", "/a", true},      {"/ab", "/a", false},  {"/a/b/c", "/a/b", true},
        {"/x", "/", true},    {"/", "/", true},        {"/a", "/a/b", false}, {"", "/a", false},
        {"/a/b", "", false},  {"/a-b/c", "/a", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(app::IsWithinFolder(c.path, c.folder), c.within) << c.path << " in " << c.folder;
}

class UploadFakeServer : public UploadTest {
protected:
    void SetUp() override {
        UploadTest::SetUp();
        ASSERT_TRUE(server.ok()) << server.error();
    }

    void ConnectToServer() { Connect("127.0.0.1", server.port(), "demo", "secret"); }

    std::string StatusOf(int row) { return app->ui.queueList.CellText(row, 4); }

    // Runs the held queue to its end with the rows kept on screen.
    void RunHeld() {
        KeepRequestOpen();
        ReleaseDriver();
        ASSERT_TRUE(DriverLeft());
    }

    testsupport::FakeFtpServer server;
};

TEST_F(UploadFakeServer, FilesAndFoldersBecomeUploadRowsDepthFirstAndArriveWhole) {
    testsupport::WriteFile(source + "/top.txt", "top");
    testsupport::WriteFile(source + "/目录 一/a.txt", "alpha");
    testsupport::WriteFile(source + "/目录 一/二 级/空.dat", "");
    testsupport::WritePatternFile(source + "/目录 一/二 级/b.bin", 70000, 3);
    testsupport::MakeDirs(source + "/目录 一/空 目录");
    server.AddFile("/old.txt", "o");
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"目录 一", "top.txt"}));
    HoldDriver();
    UploadThroughMenu();

    const std::string L = source;
    EXPECT_EQ(QueueRows(), (std::vector<std::string>{
                               L + "|//top.txt|3|上传txt|等待",
                               L + "|//目录 一||上传文件夹|等待",
                               L + "|//目录 一/a.txt|5|上传txt|等待",
                               L + "|//目录 一/二 级||上传文件夹|等待",
                               L + "|//目录 一/二 级/b.bin|70000|上传bin|等待",
                               L + "|//目录 一/二 级/空.dat|0|上传dat|等待",
                               L + "|//目录 一/空 目录||上传文件夹|等待",
                           }));
    RunHeld();
    EXPECT_EQ(Statuses(), std::vector<std::string>(7, "完成")) << server.Transcript();
    EXPECT_EQ(server.FileContents("/top.txt"), "top");
    EXPECT_EQ(server.FileContents("/目录 一/a.txt"), "alpha");
    EXPECT_EQ(server.FileContents("/目录 一/二 级/空.dat"), "");
    EXPECT_EQ(server.FileContents("/目录 一/二 级/b.bin"), testsupport::PatternBytes(0, 70000, 3));
    EXPECT_TRUE(server.DirectoryExists("/目录 一/空 目录"));
    // ftpClient's session was not used for any of it.
    EXPECT_EQ(server.CountCommands("MKD"), 3);
    for (const auto& line : server.CommandsOf(1)) EXPECT_NE(line.rfind("MKD", 0), 0u) << line;
    EXPECT_EQ(Pane(3), "任务进度:100%");

    // When the request has run through, the remote folder is listed again.
    ASSERT_EQ(RemoteRowOf("目录 一"), -1);
    CloseRequest();
    ASSERT_TRUE(QueueFinished());
    EXPECT_TRUE(PumpUntil([&] { return RemoteRowOf("目录 一") != -1 && RemoteRowOf("top.txt") != -1; }))
        << testing::PrintToString(LogMessages());
    EXPECT_EQ(Pane(0), "已就绪");
}

TEST_F(UploadFakeServer, TheLocalMenuUploadsAndRefreshesAndTheUploadListsTheRemoteFolderAgain) {
    testsupport::WriteFile(source + "/a.txt", "a");
    ConnectToServer();
    ShowLocal(source);
    EXPECT_EQ(app->ui.localMenu.Items(), (std::vector<std::string>{"上传文件", "", "刷新目录"}));
    // A file made after the listing shows after "刷新目录".
    testsupport::WriteFile(source + "/b.txt", "bb");
    EXPECT_EQ(LocalRowOf("b.txt"), -1);
    toolkit::testing::RightClickRow(app->ui.localList, 0);
    ASSERT_TRUE(toolkit::testing::PopupMenuVisible(app->ui.localMenu));
    ASSERT_TRUE(app->ui.localMenu.Choose("刷新目录"));
    ASSERT_NE(LocalRowOf("b.txt"), -1);

    ASSERT_TRUE(SelectLocal({"a.txt", "b.txt"}));
    UploadThroughMenu();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(app->ui.queueList.RowCount(), 0);
    EXPECT_EQ(server.FileContents("/b.txt"), "bb");
    EXPECT_TRUE(PumpUntil([&] { return RemoteRowOf("a.txt") != -1 && RemoteRowOf("b.txt") != -1; }));
    EXPECT_TRUE(LogHas("取/文件列表"));
}

TEST_F(UploadFakeServer, TheListingAfterUploadsKeepsThePickedRowsAndIsNotRepeatedAfterAnotherListing) {
    server.AddFile("/keep.txt", "k");
    server.AddFile("/other.txt", "o");
    ASSERT_TRUE(testsupport::WriteFile(source + "/up.txt", "u"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/up2.txt", "u2"));
    ConnectToServer();
    ShowLocal(source);
    // The listing runs when the test calls the timer's handler.
    app->ui.queueTimer.Stop();
    const auto listings = [&] {
        const auto lines = LogMessages();
        return std::count(lines.begin(), lines.end(), std::string("取/文件列表"));
    };
    ASSERT_TRUE(SelectLocal({"up.txt"}));
    UploadThroughMenu();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(RemoteRowOf("up.txt"), -1);
    toolkit::testing::ClickRow(app->ui.remoteList, RemoteRowOf("keep.txt"));
    const auto before = listings();
    app::ListRemoteAfterUploads(*app);
    EXPECT_EQ(listings(), before + 1);
    EXPECT_NE(RemoteRowOf("up.txt"), -1);
    EXPECT_EQ(app->ui.remoteList.SelectedRows(), std::vector<int>{RemoteRowOf("keep.txt")});
    EXPECT_EQ(app->ui.remoteList.CurrentRow(), RemoteRowOf("keep.txt"));
    // Due once per run-through.
    app::ListRemoteAfterUploads(*app);
    EXPECT_EQ(listings(), before + 1);

    // A listing of any action in between shows the new file already.
    ASSERT_TRUE(SelectLocal({"up2.txt"}));
    UploadThroughMenu();
    ASSERT_TRUE(QueueFinished());
    {
        auto& state = app::QueueState(*app);
        std::lock_guard guard(state.lock);
        EXPECT_TRUE(state.remoteListingDue);
    }
    ASSERT_TRUE(app->ui.remoteMenu.Choose("刷新目录"));
    EXPECT_NE(RemoteRowOf("up2.txt"), -1);
    app::ListRemoteAfterUploads(*app);
    EXPECT_EQ(listings(), before + 2);
}

TEST_F(UploadFakeServer, NamesThatWouldBreakACommandAreNotSent) {
    for (const char* name : {"ctl\x01.txt", "nl\nDELE x.txt", "cr\rRMD y.txt", "ok.txt"})
        ASSERT_TRUE(testsupport::WriteFile(source + "/names/" + name, "x"));
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"names"}));
    UploadThroughMenu();
    ASSERT_TRUE(QueueFinished()) << testing::PrintToString(QueueRows());
    EXPECT_EQ(server.FileContents("/names/ok.txt"), "x");
    // Each refusal is one line of the log, the line break shown as its code.
    EXPECT_TRUE(LogHas("/names/nl%0ADELE x.txt：名称含有回车或换行"));
    EXPECT_TRUE(LogHas("/names/cr%0DRMD y.txt：名称含有回车或换行"));
    EXPECT_TRUE(LogHas("/names/ctl%01.txt：名称含有控制字符"));
    EXPECT_EQ(server.CountCommands("STOR"), 1) << server.Transcript();
    EXPECT_EQ(server.CountCommands("DELE") + server.CountCommands("RMD"), 0);
}

TEST_F(UploadFakeServer, APathLongerThanTheServersLimitIsNotSent) {
    // Each level adds 201 bytes to the remote path "//d...": five levels fit
    // in 1023 bytes, the sixth does not.
    const std::string name(200, 'd');
    std::string deep = source;
    for (int i = 0; i < 6; ++i) deep += "/" + name;
    ASSERT_TRUE(testsupport::WriteFile(deep + "/f.txt", "f"));
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({name}));
    HoldDriver();
    UploadThroughMenu();
    EXPECT_EQ(QueueRows().size(), 5u);
    EXPECT_TRUE(LogHas("：远程路径超过1023字节")) << testing::PrintToString(LogMessages());
    ReleaseDriver();
    ASSERT_TRUE(QueueFinished());
}

TEST_F(UploadFakeServer, IntoAGbkFolderNamesGoAsGbkAndNamesWithoutAGbkCodeAreRefused) {
    const std::string folder = "\xD6\xD0\xCE\xC4";  // 中文
    server.AddFile("/" + folder + "/x.txt", "x");
    ASSERT_TRUE(testsupport::WriteFile(source + "/报告 2024.txt", "report"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/目录/内容.txt", "inner"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/笑\xF0\x9F\x98\x80.txt", "smile"));
    ConnectToServer();
    ASSERT_TRUE(app->ui.remoteList.ShowsForeignAsGbk());
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"报告 2024.txt", "目录", "笑\xF0\x9F\x98\x80.txt"}));
    HoldDriver();
    UploadThroughMenu();
    ASSERT_EQ(QueueRows(2), (std::vector<std::string>{source + "|//\xB1\xA8\xB8\xE6 2024.txt",
                                                      source + "|//\xC4\xBF\xC2\xBC",
                                                      source + "|//\xC4\xBF\xC2\xBC/\xC4\xDA\xC8\xDD.txt"}));
    // The queue shows the names the user knows, the local folder unharmed.
    EXPECT_EQ(app->ui.queueList.CellDisplayText(0, 1), "//报告 2024.txt");
    EXPECT_EQ(app->ui.queueList.CellDisplayText(0, 0), source);
    EXPECT_TRUE(LogHas("笑\xF0\x9F\x98\x80.txt：名称不能转换为服务器使用的GBK编码"))
        << testing::PrintToString(LogMessages());
    KeepRequestOpen();
    ReleaseDriver();
    ASSERT_TRUE(DriverLeft());
    EXPECT_EQ(Statuses(), std::vector<std::string>(3, "完成")) << server.Transcript();
    EXPECT_EQ(server.FileContents("/\xB1\xA8\xB8\xE6 2024.txt"), "report");
    EXPECT_EQ(server.FileContents("/\xC4\xBF\xC2\xBC/\xC4\xDA\xC8\xDD.txt"), "inner");
    CloseRequest();
    ASSERT_TRUE(QueueFinished());
}

TEST_F(UploadFakeServer, LinksAreFollowedOnlyInsideTheSelectionAndNeverRoundALoop) {
    testsupport::TempDir outside{"qftp-outside"};
    ASSERT_TRUE(testsupport::WriteFile(outside.file("secret.txt"), "secret"));
    const std::string sel = source + "/sel";
    ASSERT_TRUE(testsupport::WriteFile(sel + "/real.txt", "real"));
    ASSERT_TRUE(testsupport::WriteFile(sel + "/sub/f.txt", "f"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/beside.txt", "beside"));
    const std::pair<const char*, std::string> links[] = {
        {"sel/in-link", "real.txt"},
        {"sel/out-link", outside.file("secret.txt")},
        {"sel/up", ".."},
        {"sel/self", "."},
        {"sel/loop-a", "loop-b"},
        {"sel/loop-b", "loop-a"},
        {"sel/dangling", "nowhere"},
        {"sel/sub-link", "sub"},
        {"sel/sub/back", ".."},
        {"sel/beside-link", "../beside.txt"},
        {"top-out", outside.Path()},
        {"top-in", "beside.txt"},
    };
    for (const auto& [link, target] : links)
        ASSERT_EQ(::symlink(target.c_str(), (source + "/" + link).c_str()), 0) << link;
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"sel", "top-out", "top-in"}));
    HoldDriver();
    UploadThroughMenu();
    EXPECT_EQ(QueueRows(2), (std::vector<std::string>{
                                source + "|//sel",
                                source + "|//sel/in-link",
                                source + "|//sel/real.txt",
                                source + "|//sel/sub",
                                source + "|//sel/sub/f.txt",
                                source + "|//sel/sub-link",
                                source + "|//sel/sub-link/f.txt",
                                source + "|//top-in",
                            }));
    const auto lines = LogMessages();
    for (const std::string& skipped : {
             "跳过链接" + sel + "/out-link：它指向所选目录之外的",
             "跳过链接" + sel + "/beside-link：它指向所选目录之外的",
             "跳过链接" + sel + "/up：它指向所选目录之外的" + source,
             "跳过本地目录" + sel + "/self：它指向正在上传的上级目录" + sel + "，是链接循环",
             "跳过本地目录" + sel + "/sub/back：它指向正在上传的上级目录" + sel + "，是链接循环",
             "跳过链接" + sel + "/loop-a：链接循环",
             "跳过链接" + sel + "/loop-b：链接循环",
             "跳过链接" + sel + "/dangling：链接指向的文件不存在",
             "跳过链接" + source + "/top-out：它指向所选目录之外的",
         }) {
        EXPECT_TRUE(LogHas(skipped)) << skipped << "\n" << testing::PrintToString(lines);
    }
    KeepRequestOpen();
    ReleaseDriver();
    ASSERT_TRUE(DriverLeft());
    EXPECT_EQ(Statuses(), std::vector<std::string>(8, "完成"));
    EXPECT_EQ(server.FileContents("/sel/in-link"), "real");
    EXPECT_EQ(server.FileContents("/sel/sub-link/f.txt"), "f");
    EXPECT_EQ(server.FileContents("/top-in"), "beside");
    for (const char* never :
         {"STOR //sel/out-link", "STOR //sel/beside-link", "STOR //top-out", "MKD //sel/up"})
        EXPECT_EQ(server.CountCommands(never), 0) << never;
    CloseRequest();
    ASSERT_TRUE(QueueFinished());
}

TEST_F(UploadFakeServer, AFileOfTheSameNameIsSkippedOrResumedOnlyOnProof) {
    // Sizes alone would skip edited.txt (same size) and append to old.bin
    // (an older, shorter version): both must be sent whole.
    server.SetFileTimes(true);
    server.AddFile("/same.txt", "0123456789");
    server.AddFile("/edited.txt", "abcdefghij");
    server.AddFile("/part.bin", testsupport::PatternBytes(0, 4000, 9));
    server.AddFile("/old.bin", testsupport::PatternBytes(0, 3000, 8));
    server.AddFile("/long.txt", std::string(20000, 'x'));
    ASSERT_TRUE(testsupport::WriteFile(source + "/same.txt", "0123456789"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/edited.txt", "0123456789"));
    ASSERT_TRUE(testsupport::WritePatternFile(source + "/part.bin", 10000, 9));
    ASSERT_TRUE(testsupport::WritePatternFile(source + "/old.bin", 10000, 8));
    ASSERT_TRUE(testsupport::WriteFile(source + "/long.txt", std::string(100, 'l')));
    struct stat same {};
    ASSERT_EQ(::stat((source + "/same.txt").c_str(), &same), 0);
    server.SetModified("/same.txt", downlib::FileTimeDigits(same.st_mtim.tv_sec).value_or(""));
    server.SetModified("/edited.txt", "20991231235959");
    server.SetModified("/part.bin", "20991231235959");  // the part an interrupted upload left: newer
    // old.bin keeps the fake server's 2020 time: an older version.
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"same.txt", "edited.txt", "part.bin", "old.bin", "long.txt"}));
    HoldDriver();
    UploadThroughMenu();
    RunHeld();
    EXPECT_EQ(Statuses(), std::vector<std::string>(5, "完成")) << server.Transcript();
    EXPECT_EQ(server.CountCommands("STOR //same.txt"), 0) << server.Transcript();
    EXPECT_EQ(server.FileContents("/same.txt"), "0123456789");
    EXPECT_EQ(server.FileContents("/edited.txt"), "0123456789");
    EXPECT_EQ(server.CountCommands("REST 4000"), 1) << server.Transcript();
    EXPECT_EQ(server.FileContents("/part.bin"), testsupport::PatternBytes(0, 10000, 9));
    EXPECT_EQ(server.CountCommands("REST 3000"), 0) << server.Transcript();
    EXPECT_EQ(server.FileContents("/old.bin"), testsupport::PatternBytes(0, 10000, 8));
    EXPECT_EQ(server.FileContents("/long.txt"), std::string(100, 'l'));
    for (const char* line :
         {"同名文件内容相同，跳过: //same.txt", "覆盖：服务器上的同名文件与本地文件不同: //edited.txt",
          "续传：服务器上的部分与本地文件开头一致: //part.bin",
          "覆盖：服务器上的同名文件与本地文件不同: //old.bin"})
        EXPECT_TRUE(LogHas(line)) << line << testing::PrintToString(LogMessages());
    CloseRequest();
    ASSERT_TRUE(QueueFinished());
}

TEST_F(UploadFakeServer, RefusedBrokenAndUnconfirmedUploadsFailWithTheReasonAndTheNextRowsGoOn) {
    server.On("STOR //refused.txt", testsupport::Action::Reply("553 Could not create file.\r\n"));
    testsupport::TransferFaults full;
    full.storeReply = "552 Disk full.\r\n";
    server.SetFaults("/full.txt", full);
    testsupport::TransferFaults drop;
    drop.dropAfterBytes = 5000;
    drop.resetOnDrop = true;
    drop.dropTimes = 100;
    server.SetFaults("/drop.bin", drop);
    ASSERT_TRUE(testsupport::WriteFile(source + "/refused.txt", "r"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/full.txt", std::string(3000, 'f')));
    ASSERT_TRUE(testsupport::WritePatternFile(source + "/drop.bin", 4 << 20, 5));
    ASSERT_TRUE(testsupport::WriteFile(source + "/ok.txt", "ok"));
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"refused.txt", "full.txt", "drop.bin", "ok.txt"}));
    HoldDriver();
    UploadThroughMenu();
    RunHeld();
    // In name order: drop.bin, full.txt, ok.txt, refused.txt.
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"失败", "失败", "完成", "失败"})) << server.Transcript();
    EXPECT_EQ(server.FileContents("/ok.txt"), "ok");
    CloseRequest();
    ASSERT_TRUE(QueueFinished());
    // The failed rows stay in view, each with its line in the session log.
    EXPECT_EQ(QueueRows(2), (std::vector<std::string>{source + "|//drop.bin", source + "|//full.txt",
                                                      source + "|//refused.txt"}));
    EXPECT_TRUE(LogHas("上传失败:" + source +
                       "/refused.txt -> //refused.txt，不支持的响应：553 Could not create file."))
        << testing::PrintToString(LogMessages());
    EXPECT_TRUE(
        LogHas("上传失败:" + source + "/full.txt -> //full.txt，服务器没有确认上传成功: 552 Disk full."));
    EXPECT_TRUE(LogHas("上传失败:" + source + "/drop.bin -> //drop.bin，上传出现异常，"));
}

TEST_F(UploadFakeServer, AServerThatNeverConfirmsFailsTheRowWhileTheWindowStaysLive) {
    testsupport::TransferFaults silent;
    silent.storeReplySilent = true;
    server.SetFaults("/silent.txt", silent);
    ASSERT_TRUE(testsupport::WriteFile(source + "/silent.txt", "s"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/then.txt", "t"));
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"silent.txt", "then.txt"}));
    UploadThroughMenu();
    ASSERT_TRUE(
        PumpUntil([&] { return server.CountCommands("STOR //silent.txt") == 1 && StatusOf(0) == "进行中"; }));
    // While the task waits for the reply the window takes input.
    testsupport::WriteFile(source + "/new.txt", "n");
    toolkit::testing::RightClickRow(app->ui.localList, 0);
    ASSERT_TRUE(app->ui.localMenu.Choose("刷新目录"));
    EXPECT_NE(LocalRowOf("new.txt"), -1);
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(QueueRows(2), std::vector<std::string>{source + "|//silent.txt"});
    EXPECT_EQ(Statuses(), std::vector<std::string>{"失败"});
    EXPECT_TRUE(LogHas("上传失败:" + source + "/silent.txt -> //silent.txt，接收数据超时"))
        << testing::PrintToString(LogMessages());
    EXPECT_EQ(server.FileContents("/then.txt"), "t");
}

TEST_F(UploadFakeServer, LocalFilesAndFoldersThatVanishOrCannotBeReadFailInTheirRows) {
    ASSERT_TRUE(testsupport::WriteFile(source + "/gone/f.txt", "f"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/swapped.txt", "s"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/locked.txt", "l"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/stays.txt", "stays"));
    ASSERT_EQ(::chmod((source + "/locked.txt").c_str(), 0), 0);
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"gone", "swapped.txt", "locked.txt", "stays.txt"}));
    HoldDriver();
    UploadThroughMenu();
    ASSERT_EQ(QueueRows(2), (std::vector<std::string>{source + "|//gone", source + "|//gone/f.txt",
                                                      source + "|//locked.txt", source + "|//stays.txt",
                                                      source + "|//swapped.txt"}));
    // Between queueing and their turn: the folder goes, the file becomes a folder.
    ASSERT_TRUE(testsupport::RemoveTree(source + "/gone"));
    ASSERT_TRUE(testsupport::RemoveTree(source + "/swapped.txt"));
    ASSERT_TRUE(testsupport::MakeDirs(source + "/swapped.txt"));
    RunHeld();
    // Root reads any file: there the locked file arrives.
    const std::string locked = ::geteuid() == 0 ? "完成" : "失败";
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"失败", "失败", locked, "完成", "失败"}));
    EXPECT_EQ(server.FileContents("/stays.txt"), "stays");
    EXPECT_FALSE(server.DirectoryExists("/gone"));
    CloseRequest();
    ASSERT_TRUE(QueueFinished());
    EXPECT_TRUE(LogHas("创建远程目录失败:" + source + "/gone -> //gone，本地目录已不存在"))
        << testing::PrintToString(LogMessages());
    EXPECT_TRUE(LogHas("上传失败:" + source +
                       "/gone/f.txt -> //gone/f.txt，打开文件失败，请检查磁盘是否存在 " + source +
                       "/gone/f.txt 这个文件"));
    EXPECT_TRUE(LogHas("上传失败:" + source + "/swapped.txt -> //swapped.txt，打开文件失败"));
    if (::geteuid() != 0) {
        EXPECT_TRUE(LogHas("上传失败:" + source + "/locked.txt -> //locked.txt，打开文件失败"));
    }
}

TEST_F(UploadFakeServer, AnExistingRemoteFolderIsNoFailureButAFileOfItsNameIs) {
    server.AddFile("/exists/old.txt", "old");
    server.AddFile("/taken", "a file");
    ASSERT_TRUE(testsupport::WriteFile(source + "/exists/new.txt", "new"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/taken/in.txt", "in"));
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"exists", "taken"}));
    HoldDriver();
    UploadThroughMenu();
    RunHeld();
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"完成", "完成", "失败", "失败"})) << server.Transcript();
    EXPECT_EQ(server.FileContents("/exists/new.txt"), "new");
    EXPECT_EQ(server.FileContents("/exists/old.txt"), "old");
    EXPECT_EQ(server.FileContents("/taken"), "a file");
    CloseRequest();
    ASSERT_TRUE(QueueFinished());
    EXPECT_TRUE(LogHas("创建远程目录失败:" + source + "/taken -> //taken，无法创建远程目录：550 "))
        << testing::PrintToString(LogMessages());
}

TEST_F(UploadFakeServer, WithoutAServerNothingIsQueued) {
    ASSERT_TRUE(testsupport::WriteFile(source + "/a.txt", "a"));
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"a.txt"}));
    UploadThroughMenu();
    EXPECT_EQ(app->ui.queueList.RowCount(), 0);
    EXPECT_TRUE(LogHas("尚未连接服务器，上传请求未执行"));
}

TEST_F(UploadFakeServer, OneRequestAppendsABoundedNumberOfRows) {
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(testsupport::WriteFile(source + "/many/f" + std::to_string(i), "x"));
    {
        auto& state = app::QueueState(*app);
        std::lock_guard guard(state.lock);
        state.maxRowsPerRequest = 4;
    }
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"many"}));
    HoldDriver();
    UploadThroughMenu();
    EXPECT_EQ(QueueRows().size(), 4u);
    EXPECT_TRUE(LogHas("本次上传请求已排入4行，达到上限，其余条目未加入队列"));
    ReleaseDriver();
    ASSERT_TRUE(QueueFinished());
}

TEST_F(UploadFakeServer, StopTaskEndsAStalledUploadAsFailedAndTheQueueGoesOn) {
    testsupport::TransferFaults stall;
    stall.stallAfterBytes = 100000;
    server.SetFaults("/a-stalled.bin", stall);
    ASSERT_TRUE(testsupport::WritePatternFile(source + "/a-stalled.bin", 8 << 20, 1));
    ASSERT_TRUE(testsupport::WriteFile(source + "/b.txt", "next"));
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"a-stalled.bin", "b.txt"}));
    UploadThroughMenu();
    ASSERT_TRUE(
        PumpUntil([&] { return StatusOf(0) == "进行中" && app->downloadClient.GetBytesDone() >= 100000; }));
    toolkit::testing::RightClickRow(app->ui.queueList, 0);
    ASSERT_TRUE(app->ui.queueMenu.Choose("停止任务"));
    ASSERT_TRUE(QueueFinished()) << testing::PrintToString(QueueRows());
    EXPECT_EQ(QueueRows(2), std::vector<std::string>{source + "|//a-stalled.bin"});
    EXPECT_TRUE(LogHas("上传失败:" + source + "/a-stalled.bin -> //a-stalled.bin，已停止"))
        << testing::PrintToString(LogMessages());
    EXPECT_EQ(server.FileContents("/b.txt"), "next");
}

// The upload request walks the local tree with the window live; an action
// that would use the session meanwhile is refused, and so is an upload
// request while a download request walks the server.
TEST_F(UploadFakeServer, ActionsThatWouldInterleaveWithAnUploadRequestAreRefused) {
    for (int i = 0; i < 120; ++i)
        ASSERT_TRUE(testsupport::WriteFile(
            source + "/big/s" + std::to_string(i % 12) + "/f" + std::to_string(i), "x"));
    server.AddFile("/remote/r.txt", "r");
    testsupport::FakeFtpServer other;
    ASSERT_TRUE(other.ok());
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"big"}));
    HoldDriver();
    toolkit::Timer meddler;
    std::string runningThen;
    meddler.Start(1, [&] {
        if (!runningThen.empty()) return;
        runningThen = app->runningAction != nullptr ? app->runningAction : "(none)";
        TypeQuickConnect("127.0.0.1", "demo", "secret", std::to_string(other.port()));
        ClickQuickConnect();
        app::QueueUploadRequest(*app);
        ASSERT_TRUE(app->ui.remoteMenu.Choose("下载文件"));
        ASSERT_TRUE(app->ui.remoteMenu.Choose("刷新目录"));
    });
    UploadThroughMenu();
    meddler.Stop();
    EXPECT_EQ(runningThen, "上传请求");
    for (const char* refused : {"快速连接", "上传请求", "下载请求", "刷新目录"}) {
        EXPECT_TRUE(LogHas(std::string("上一个操作(上传请求)还在进行，") + refused + "未执行"))
            << refused << "\n"
            << testing::PrintToString(LogMessages());
    }
    EXPECT_EQ(other.ConnectionCount(), 0);
    EXPECT_EQ(QueueRows().size(), 133u);  // big, 12 folders, 120 files

    // The other way round: an upload request while a download request walks.
    ReleaseDriver();
    ASSERT_TRUE(QueueFinished());
    for (int i = 0; i < 30; ++i) server.AddFile("/remote/d" + std::to_string(i) + "/f.txt", "x");
    ASSERT_TRUE(Select({"remote"}));
    toolkit::Timer uploader;
    int fired = 0;
    uploader.Start(1, [&] {
        if (fired++ == 0) app::QueueUploadRequest(*app);
    });
    Download();
    uploader.Stop();
    EXPECT_TRUE(LogHas("上一个操作(下载请求)还在进行，上传请求未执行"));
    ASSERT_TRUE(QueueFinished());
}

}  // namespace
