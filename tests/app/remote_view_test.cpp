// Quick connect, the session log and the remote view against the scriptable
// fake server: what the user sees in the log and the list, and what reaches
// the server.
#include "app/remote_view.h"

#include <algorithm>

#include "app/quick_connect.h"
#include "app/session_log.h"
#include "app_fixture.h"
#include "support/fake_ftp_server.h"

namespace {

using apptest::AppTest;

class RemoteViewTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        ASSERT_TRUE(server.ok()) << server.error();
        Show();
    }

    void TypeConnection(const std::string& host, const std::string& user, const std::string& password,
                        const std::string& port) {
        TypeQuickConnect(host, user, password, port);
    }

    void ConnectToServer() {
        TypeConnection("127.0.0.1", "demo", "secret", std::to_string(server.port()));
        ClickQuickConnect();
    }

    int RowOf(const std::string& name) {
        for (int r = 0; r < app->ui.remoteList.RowCount(); ++r) {
            if (app->ui.remoteList.CellText(r, 0) == name) return r;
        }
        return -1;
    }

    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (int r = 0; r < app->ui.remoteList.RowCount(); ++r)
            names.push_back(app->ui.remoteList.CellText(r, 0));
        return names;
    }

    static bool Contains(const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    static std::ptrdiff_t IndexOf(const std::vector<std::string>& lines, const std::string& line,
                                  std::size_t from = 0) {
        return std::find(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end(), line) -
               lines.begin();
    }

    testsupport::FakeFtpServer server;
};

TEST_F(RemoteViewTest, QuickConnectLogsInListsTheCurrentFolderAndKeepsTheCredentials) {
    server.AddDirectory("/pub");
    server.AddFile("/readme.txt", std::string(1500, 'r'));
    ConnectToServer();

    const auto messages = LogMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], "启动连接");
    EXPECT_TRUE(Contains(messages, "PASS ******")) << server.Transcript();
    EXPECT_TRUE(Contains(messages, "取/文件列表"));
    for (const auto& line : LogLines()) {
        EXPECT_EQ(line.find("secret"), std::string::npos) << line;
        // Every line starts with its clock text: H:M:S and one space.
        EXPECT_TRUE(std::count(line.begin(), line.begin() + line.find(' '), ':') == 2) << line;
    }
    EXPECT_EQ(Rows(app->ui.remoteList, 3),
              (std::vector<std::string>{"返回上级目录||", "pub||文件夹", "readme.txt|1,500|txt"}));
    EXPECT_EQ(app->ui.remoteList.CellText(1, 3), "2024年1月1日");
    EXPECT_EQ(app->ui.remoteList.CellIcon(0, 0), 9);
    EXPECT_EQ(app->ui.remoteList.CellIcon(1, 0), 1);
    EXPECT_EQ(app->ui.remoteList.CellIcon(2, 0), 7);
    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "/");
    EXPECT_EQ(app->savedHost, "127.0.0.1");
    EXPECT_EQ(app->savedUser, "demo");
    EXPECT_EQ(app->savedPassword, "secret");
    EXPECT_EQ(app->savedPort, server.port());
    EXPECT_TRUE(toolkit::testing::TakeShownDialogs().empty());
}

TEST_F(RemoteViewTest, FoldersComeInReverseListingOrderAboveFilesAndDotsAreNoRows) {
    server.SetListing("/",
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 01  2024 .\r\n"
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 01  2024 ..\r\n"
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 01  2024 one\r\n"
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 01  2024 two\r\n"
                      "-rw-r--r-- 1 ftp ftp 2147483648 Mar 05  2024 four.ZIP\r\n"
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 01  2024 three\r\n"
                      "lrwxrwxrwx 1 ftp ftp 4 Jan 01  2024 link -> /pub\r\n"
                      "-rw-r--r-- 1 ftp ftp 7 Jan 01  2024 five\r\n");
    ConnectToServer();
    EXPECT_EQ(Names(),
              (std::vector<std::string>{"返回上级目录", "link", "three", "two", "one", "four.ZIP", "five"}))
        << server.Transcript();
    EXPECT_EQ(Rows(app->ui.remoteList, 3)[5], "four.ZIP|2,147,483,648|ZIP");
    EXPECT_EQ(app->ui.remoteList.CellIcon(5, 0), 5);
    EXPECT_EQ(Rows(app->ui.remoteList, 3)[6], "five|7|文件");
    // The link shows as a folder and remembers that it is a link.
    EXPECT_EQ(app->ui.remoteList.CellText(1, 2), "文件夹");
    EXPECT_TRUE(app::RemoteRowIsLink(*app, 1));
    EXPECT_FALSE(app::RemoteRowIsLink(*app, 2));
}

TEST_F(RemoteViewTest, ActivatingAFolderAtTheRootListsDoubleSlashPathOnceInTheDropDown) {
    server.AddFile("/pub/a.zip", "zip");
    server.AddDirectory("/pub/sub");
    ConnectToServer();
    toolkit::testing::DoubleClickRow(app->ui.remoteList, RowOf("pub"));
    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "//pub");
    EXPECT_TRUE(Contains(LogMessages(), "取//pub文件列表"));
    EXPECT_EQ(Names(), (std::vector<std::string>{"返回上级目录", "sub", "a.zip"}));

    // Up through the parent row: the parent of the server's folder is the root.
    toolkit::testing::DoubleClickRow(app->ui.remoteList, 0);
    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "/");
    EXPECT_EQ(Names(), (std::vector<std::string>{"返回上级目录", "pub"}));
    EXPECT_EQ(app->ui.remoteList.CurrentRow(), -1);

    toolkit::testing::DoubleClickRow(app->ui.remoteList, RowOf("pub"));
    EXPECT_EQ(app->ui.remotePathCombo.EntryCount(), 1);
    EXPECT_EQ(app->ui.remotePathCombo.EntryText(0), "//pub");

    // Into the subfolder; the drop-down now holds both paths, each once.
    toolkit::testing::DoubleClickRow(app->ui.remoteList, RowOf("sub"));
    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "/pub/sub");
    EXPECT_EQ(app->ui.remotePathCombo.EntryCount(), 2);

    // A file row does nothing.
    server.AddFile("/pub/sub/f.txt", "1");
    app::RefreshRemote(*app);
    const auto before = LogLines().size();
    toolkit::testing::DoubleClickRow(app->ui.remoteList, RowOf("f.txt"));
    EXPECT_EQ(LogLines().size(), before);
}

TEST_F(RemoteViewTest, ThePathComboListsOnEnterAndOnAChosenEntry) {
    server.AddDirectory("/pub/x");
    ConnectToServer();
    toolkit::testing::TypeOver(app->ui.remotePathCombo, "/pub");
    toolkit::testing::PressKey(app->ui.remotePathCombo, 27);
    EXPECT_EQ(Names(), (std::vector<std::string>{"返回上级目录", "pub"}));
    toolkit::testing::PressKey(app->ui.remotePathCombo, 13);
    EXPECT_EQ(Names(), (std::vector<std::string>{"返回上级目录", "x"}));

    toolkit::testing::DoubleClickRow(app->ui.remoteList, RowOf("x"));
    toolkit::testing::TypeOver(app->ui.remotePathCombo, "/");
    toolkit::testing::PressKey(app->ui.remotePathCombo, 13);
    toolkit::testing::ChooseEntry(app->ui.remotePathCombo, 0);
    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "/pub/x");
    EXPECT_EQ(server.CountCommands("CWD /pub/x"), 2) << server.Transcript();
}

TEST_F(RemoteViewTest, TypingAPathAndLeavingTheComboSendsNothing) {
    server.AddDirectory("/pub/x");
    ConnectToServer();
    toolkit::testing::DoubleClickRow(app->ui.remoteList, RowOf("pub"));
    ASSERT_EQ(app->ui.remotePathCombo.EntryCount(), 1);
    const auto names = Names();
    const int cwds = server.CountCommands("CWD");
    // "//" completes to the drop-down's "//pub" in Qt's default combo, and
    // leaving would pick it.
    for (const char* typed : {"//", "/", "//pub"}) {
        toolkit::testing::TypeOver(app->ui.remotePathCombo, typed);
        toolkit::testing::ClickControl(app->ui.userEdit);
        toolkit::testing::TypeOver(app->ui.remotePathCombo, typed);
        toolkit::testing::PressKeyOnFocus(9);
        EXPECT_EQ(app->ui.remotePathCombo.EditText(), typed);
    }
    EXPECT_EQ(server.CountCommands("CWD"), cwds) << server.Transcript();
    EXPECT_EQ(Names(), names);
}

TEST_F(RemoteViewTest, RenameSendsTheOldAndNewPathsAndRelists) {
    server.AddFile("/pub/old.txt", "o");
    ConnectToServer();
    toolkit::testing::DoubleClickRow(app->ui.remoteList, RowOf("pub"));
    toolkit::testing::ClickRow(app->ui.remoteList, RowOf("old.txt"));
    toolkit::testing::ScriptInputAnswer(true, "新 名.txt");
    EXPECT_TRUE(app->ui.remoteMenu.Choose("重命名"));
    EXPECT_TRUE(Contains(server.Commands(), "RNFR /pub/old.txt")) << server.Transcript();
    EXPECT_TRUE(Contains(server.Commands(), "RNTO /pub/新 名.txt"));
    EXPECT_TRUE(server.FileContents("/pub/新 名.txt").has_value());
    EXPECT_EQ(Names(), (std::vector<std::string>{"返回上级目录", "新 名.txt"}));
    const auto shown = toolkit::testing::TakeShownDialogs();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "请输入新名称");
    EXPECT_EQ(shown[0].caption, "输入名称");
    EXPECT_EQ(shown[0].initial, "");
}

TEST_F(RemoteViewTest, ARefusedRenameShowsTheRenameFailureAndACancelSendsNothing) {
    server.AddFile("/a.txt", "a");
    ConnectToServer();
    // The parent row's text goes to the server as a name, which it refuses.
    toolkit::testing::ClickRow(app->ui.remoteList, 0);
    toolkit::testing::ScriptInputAnswer(true, "b.txt");
    toolkit::testing::ScriptMessageAnswer(toolkit::kResultOk);
    app::RenameRemoteEntry(*app);
    EXPECT_TRUE(Contains(server.Commands(), "RNFR //返回上级目录")) << server.Transcript();
    auto shown = toolkit::testing::TakeShownDialogs();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].kind, "message");
    EXPECT_EQ(shown[1].text, "重命名失败！原因可能是：\r\n1、名称已存在\r\n2、此文件不可更名\r\n3、网络异常");
    EXPECT_EQ(shown[1].caption, "提示");
    EXPECT_EQ(shown[1].style, 0x10);

    const int renames = server.CountCommands("RNFR");
    toolkit::testing::ScriptInputAnswer(false, "");
    app::RenameRemoteEntry(*app);
    EXPECT_EQ(server.CountCommands("RNFR"), renames);
}

TEST_F(RemoteViewTest, GbkNamesShowAsChineseAndGoBackToTheServerByteForByte) {
    const std::string gbkFolder = "\xD6\xD0\xCE\xC4";    // 中文
    const std::string gbkFile = "\xB1\xA8\xB8\xE6.txt";  // 报告.txt
    server.AddDirectory("/" + gbkFolder);
    server.AddFile("/" + gbkFile, "x");
    ConnectToServer();
    const int folder = RowOf(gbkFolder);
    ASSERT_GT(folder, 0) << server.Transcript();
    EXPECT_EQ(app->ui.remoteList.CellDisplayText(folder, 0), "中文");
    EXPECT_EQ(app->ui.remoteList.CellDisplayText(RowOf(gbkFile), 0), "报告.txt");
    EXPECT_EQ(app->ui.remoteList.CellDisplayText(0, 0), "返回上级目录");
    toolkit::testing::DoubleClickRow(app->ui.remoteList, folder);
    EXPECT_TRUE(Contains(server.Commands(), "CWD //" + gbkFolder)) << server.Transcript();
    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "//" + gbkFolder);
}

TEST_F(RemoteViewTest, TwoQuickConnectsInARowQuitTheFirstSessionBeforeTheSecondStarts) {
    ConnectToServer();
    ConnectToServer();
    const auto messages = LogMessages();
    std::vector<std::ptrdiff_t> starts;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i] == "启动连接") starts.push_back(static_cast<std::ptrdiff_t>(i));
    }
    ASSERT_EQ(starts.size(), 2u);
    const auto quit = IndexOf(messages, "QUIT");
    EXPECT_GT(quit, starts[0]);
    EXPECT_LT(quit, starts[1]);
    EXPECT_EQ(server.CommandsOf(1).back(), "QUIT");
    EXPECT_EQ(server.ConnectionCount(), 2);
}

TEST_F(RemoteViewTest, BadConnectionInputFailsInTheLogWithoutADialog) {
    server.AddDirectory("/pub");
    ConnectToServer();
    const auto rowsBefore = Rows(app->ui.remoteList, 3);

    // Port text without digits: port 0, which the engine cannot reach.
    TypeConnection("127.0.0.1", "other", "pw", "abc");
    std::size_t before = LogLines().size();
    ClickQuickConnect();
    auto messages = LogMessages();
    // The first session's QUIT, the start line, then the engine's failure.
    const auto start = IndexOf(messages, "启动连接", before);
    ASSERT_LT(start + 1, static_cast<std::ptrdiff_t>(messages.size()));
    std::string tail;
    for (std::size_t i = static_cast<std::size_t>(start); i < messages.size(); ++i)
        tail += messages[i] + "\n";
    EXPECT_TRUE(tail.find("失败") != std::string::npos || tail.find("无法连接") != std::string::npos) << tail;
    EXPECT_EQ(app->savedUser, "demo");
    EXPECT_EQ(app->savedPort, server.port());
    EXPECT_EQ(Rows(app->ui.remoteList, 3), rowsBefore);
    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "/");

    // An empty host: the start line and nothing from the engine.
    TypeConnection("", "demo", "secret", std::to_string(server.port()));
    before = LogLines().size();
    ClickQuickConnect();
    messages = LogMessages();
    ASSERT_EQ(messages.size(), before + 1);
    EXPECT_EQ(messages.back(), "启动连接");
    EXPECT_TRUE(toolkit::testing::TakeShownDialogs().empty());
}

TEST_F(RemoteViewTest, APortOutside1To65535IsRefusedWithoutConnecting) {
    server.AddDirectory("/pub");
    ConnectToServer();
    const auto rows = Rows(app->ui.remoteList, 3);
    // 99999 and 65557 would reach ports 34463 and 21 once cut to 16 bits.
    for (const char* port : {"99999", "65557", "65536", "0", "-21"}) {
        TypeConnection("127.0.0.1", "demo", "secret", port);
        const std::size_t before = LogLines().size();
        ClickQuickConnect();
        const auto messages = LogMessages();
        ASSERT_EQ(messages.size(), before + 1) << port;
        EXPECT_EQ(messages.back().rfind("端口", 0), 0u) << messages.back();
        EXPECT_NE(messages.back().find("无效"), std::string::npos) << messages.back();
        EXPECT_TRUE(app->ftpClient.IsConnected()) << port;
    }
    EXPECT_EQ(server.ConnectionCount(), 1);
    EXPECT_EQ(server.CountCommands("QUIT"), 0);
    EXPECT_EQ(Rows(app->ui.remoteList, 3), rows);
    EXPECT_EQ(app->savedPort, server.port());
    EXPECT_TRUE(toolkit::testing::TakeShownDialogs().empty());
}

// The engine's waits keep the window live: timers fire, the driver's window
// calls are served, the window repaints.
TEST_F(RemoteViewTest, TheWindowHandlesEventsWhileTheGreetingIsAwaited) {
    server.GreetWith(testsupport::Action::Silence());
    bool connecting = false;
    int ticksWhileConnecting = 0;
    toolkit::Timer ticker;
    ticker.Start(10, [&] { ticksWhileConnecting += connecting ? 1 : 0; });
    TypeConnection("127.0.0.1", "demo", "secret", std::to_string(server.port()));
    connecting = true;
    ClickQuickConnect();
    connecting = false;
    ticker.Stop();
    EXPECT_GT(ticksWhileConnecting, 0);
    EXPECT_FALSE(app->ftpClient.IsConnected());
    EXPECT_NE(std::find(LogMessages().begin(), LogMessages().end(), "接收数据超时"), LogMessages().end())
        << testing::PrintToString(LogMessages());
}

TEST_F(RemoteViewTest, ClosingTheWindowWhileTheServerIsSilentEndsTheWaitAtOnce) {
    server.GreetWith(testsupport::Action::Silence());
    toolkit::Timer closer;
    bool closed = false;
    closer.Start(30, [&] {
        if (closed) return;
        closed = true;
        app->ui.mainWindow.Close();
    });
    TypeConnection("127.0.0.1", "demo", "secret", std::to_string(server.port()));
    ClickQuickConnect();
    closer.Stop();
    ASSERT_TRUE(closed);
    EXPECT_TRUE(app->windowClosed);
    const auto messages = LogMessages();
    // The wait was given up when the window closed, not at its time-out.
    EXPECT_TRUE(Contains(messages, "等待接收或发送数据错误")) << testing::PrintToString(messages);
    EXPECT_FALSE(Contains(messages, "接收数据超时")) << testing::PrintToString(messages);
    EXPECT_FALSE(app->ftpClient.IsConnected());
    // No dialog opens once the window is gone.
    toolkit::testing::SetScriptedDialogsOnly(false);
    EXPECT_EQ(toolkit::MessageBox("x", toolkit::kMbOkCancel, "提示"), toolkit::kResultCancel);
    toolkit::testing::SetScriptedDialogsOnly(true);
    EXPECT_EQ(toolkit::testing::TakeShownDialogs().size(), 1u);
}

// While a command waits for the server, the window is live but the actions
// that would use the session or the remote view are refused: each gets a
// log line and sends nothing.
TEST_F(RemoteViewTest, ActionsDuringAWaitForTheServerAreRefused) {
    server.AddFile("/pub/a.txt", "a");
    server.AddFile("/b.txt", "b");
    ConnectToServer();
    testsupport::FakeFtpServer other;
    ASSERT_TRUE(other.ok());
    // The listing of /pub comes slowly.
    testsupport::TransferFaults slow;
    slow.chunkBytes = 8;
    slow.chunkDelayMs = 40;
    server.SetFaults("/pub", slow);
    toolkit::Timer meddler;
    std::string runningThen;
    meddler.Start(20, [&] {
        if (!runningThen.empty()) return;
        runningThen = app->runningAction != nullptr ? app->runningAction : "(none)";
        TypeConnection("127.0.0.1", "demo", "secret", std::to_string(other.port()));
        ClickQuickConnect();
        toolkit::testing::TypeOver(app->ui.remotePathCombo, "/pub");
        toolkit::testing::PressKey(app->ui.remotePathCombo, 13);
        toolkit::testing::ScriptMessageAnswer(toolkit::kResultOk);
        ASSERT_TRUE(app->ui.remoteMenu.Choose("删除"));
        ASSERT_TRUE(app->ui.remoteMenu.Choose("刷新目录"));
    });
    toolkit::testing::DoubleClickRow(app->ui.remoteList, RowOf("pub"));
    meddler.Stop();
    EXPECT_EQ(runningThen, "打开目录");
    const auto messages = LogMessages();
    for (const char* refused : {"快速连接", "取文件列表", "删除", "刷新目录"}) {
        const std::string line = std::string("上一个操作(打开目录)还在进行，") + refused + "未执行";
        EXPECT_TRUE(Contains(messages, line)) << line << "\n" << testing::PrintToString(messages);
    }
    EXPECT_EQ(other.ConnectionCount(), 0);
    EXPECT_EQ(server.CountCommands("DELE"), 0) << server.Transcript();
    EXPECT_EQ(server.CountCommands("QUIT"), 0);
    EXPECT_EQ(Names(), (std::vector<std::string>{"返回上级目录", "a.txt"}));
    EXPECT_EQ(app->savedPort, server.port());
    EXPECT_EQ(server.CountCommands("CWD //pub"), 1) << server.Transcript();
    // Once it has ended, the next action runs.
    EXPECT_EQ(app->runningAction, nullptr);
    ASSERT_TRUE(app->ui.remoteMenu.Choose("刷新目录"));
    EXPECT_EQ(server.CountCommands("CWD /pub"), 1) << server.Transcript();
}

TEST_F(RemoteViewTest, CredentialsInTheHostTextAreUsed) {
    server.SetCredentials("alice", "wonder");
    TypeConnection("alice:wonder@127.0.0.1", "", "", std::to_string(server.port()));
    ClickQuickConnect();
    EXPECT_TRUE(Contains(server.Commands(), "USER alice")) << server.Transcript();
    EXPECT_EQ(app->savedHost, "alice:wonder@127.0.0.1");
    EXPECT_EQ(Names().size(), 1u);
    EXPECT_TRUE(Contains(LogMessages(), "取/文件列表"));
}

TEST_F(RemoteViewTest, WithoutASessionTheListShowsOnlyTheParentRow) {
    app::ListRemoteFolder(*app, "/pub");
    EXPECT_EQ(Names(), (std::vector<std::string>{"返回上级目录"}));
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"取/pub文件列表"}));
    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "/pub");
}

TEST_F(RemoteViewTest, AnUnreadableFolderListsOnlyTheParentRow) {
    server.AddDirectory("/pub");
    server.Reply("LIST", "550 Permission denied.\r\n");
    ConnectToServer();
    EXPECT_EQ(Names(), (std::vector<std::string>{"返回上级目录"}));
}

TEST_F(RemoteViewTest, TheLogShowsTheNewestLineAfterEachLine) {
    for (int i = 0; i < 40; ++i) {
        app::AppendLog(*app, "0:0:0 line " + std::to_string(i));
        const int top = app->ui.logList.TopLine();
        EXPECT_GE(top, 0);
        EXPECT_LE(top, i);
    }
    EXPECT_EQ(app->ui.logList.LineCount(), 40);
    EXPECT_GT(app->ui.logList.TopLine(), 20);
}

}  // namespace
