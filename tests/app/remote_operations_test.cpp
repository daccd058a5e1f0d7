// Remote create-folder and delete on the real window (off screen), against
// pyftpdlib for what a real server does and the fake server for the wire
// order, refusals, a lost connection and hostile listings.
#include "app/remote_operations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/app_fixture.h"
#include "app/remote_view.h"
#include "support/fake_ftp_server.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"
#include "support/toolkit/testing.h"

namespace {

namespace fs = std::filesystem;
using testsupport::FakeFtpServer;
using testsupport::RealServer;
using testsupport::TempDir;
using toolkit::testing::ScriptInputAnswer;
using toolkit::testing::ScriptMessageAnswer;
using toolkit::testing::TakeShownDialogs;

const std::string kCreateFailed =
    "目录创建失败！原因可能是：\r\n1、目录已存在\r\n2、此处不可创建目录\r\n3、网络异常";

const std::string kParent = "返回上级目录";

std::string Confirmation(int n) {
    return "你确认删除这" + std::to_string(n) + "个文件及其包含的其他文件吗？";
}

class RemoteOperationsTest : public apptest::AppTest {
protected:
    // Shows the window and logs in with the quick-connect fields, which lists
    // the server's current folder.
    void Connect(const std::string& host, int port, const std::string& user, const std::string& password) {
        Show();
        TypeQuickConnect(host, user, password, std::to_string(port));
        ClickQuickConnect();
        toolkit::ProcessPendingEvents();
        ASSERT_TRUE(app->ftpClient.IsConnected());
    }

    void Connect(FakeFtpServer& server) {
        ASSERT_TRUE(server.ok()) << server.error();
        Connect(server.Host(), server.port(), "u", "p");
    }

    void Connect(RealServer& server) {
        ASSERT_TRUE(server.ok()) << server.error();
        Connect(server.Host(), server.port(), server.User(), server.Password());
    }

    void ChooseItem(const std::string& item) {
        ASSERT_TRUE(app->ui.remoteMenu.Choose(item));
        toolkit::ProcessPendingEvents();
    }

    std::vector<std::string> RowNames() {
        std::vector<std::string> names;
        for (int r = 0; r < app->ui.remoteList.RowCount(); ++r)
            names.push_back(app->ui.remoteList.CellText(r, 0));
        return names;
    }

    int RowOf(const std::string& name) {
        const auto names = RowNames();
        const auto it = std::find(names.begin(), names.end(), name);
        return it == names.end() ? -1 : static_cast<int>(it - names.begin());
    }

    void Select(const std::vector<std::string>& names) {
        for (const auto& name : names) {
            const int row = RowOf(name);
            ASSERT_GE(row, 0) << name << " is not a row";
            app->ui.remoteList.SelectRow(row, true);
        }
    }

    std::string Pane(int index) { return app->ui.statusBar.PaneText(index); }

    // The wire lines whose verb is one of `verbs`, in order.
    static std::vector<std::string> Lines(const FakeFtpServer& server,
                                          const std::vector<std::string>& verbs) {
        std::vector<std::string> out;
        for (const auto& line : server.Commands()) {
            const std::string verb = line.substr(0, line.find(' '));
            if (std::find(verbs.begin(), verbs.end(), verb) != verbs.end()) out.push_back(line);
        }
        return out;
    }

    // The log message right after the first message equal to `message`.
    std::string LogAfter(const std::string& message) {
        const auto messages = LogMessages();
        const auto it = std::find(messages.begin(), messages.end(), message);
        if (it == messages.end() || it + 1 == messages.end()) return "(no line after " + message + ")";
        return *(it + 1);
    }

    void DeleteBelowHostileListing(const std::string& hostile);

    int LogCount(const std::string& part) {
        int n = 0;
        for (const auto& line : LogLines()) n += line.find(part) != std::string::npos;
        return n;
    }
};

// ---- real server -----------------------------------------------------------

TEST_F(RemoteOperationsTest, CreatingTheSameNewFolderTwiceShowsTheFailureTheSecondTime) {
    TempDir root("qftp-ops");
    auto server = RealServer::StartPyftpd(root.Path(), "u", "p");
    ASSERT_NO_FATAL_FAILURE(Connect(server));
    TakeShownDialogs();

    ScriptInputAnswer(true, "新建文件夹");
    ChooseItem("创建目录");
    EXPECT_TRUE(fs::is_directory(root.file("新建文件夹")));
    EXPECT_GE(RowOf("新建文件夹"), 1) << "the view is listed again";
    auto shown = TakeShownDialogs();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].kind, "input");
    EXPECT_EQ(shown[0].text, "请输入要创建目录的名称");
    EXPECT_EQ(shown[0].caption, "输入名称");
    EXPECT_EQ(shown[0].initial, "新建文件夹");

    ScriptInputAnswer(true, "新建文件夹");
    ScriptMessageAnswer(toolkit::kResultOk);
    ChooseItem("创建目录");
    shown = TakeShownDialogs();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].kind, "message");
    EXPECT_EQ(shown[1].text, kCreateFailed);
    EXPECT_EQ(shown[1].caption, "提示");
    EXPECT_EQ(shown[1].style, 0x10);
}

TEST_F(RemoteOperationsTest, DeletingASelectionRemovesItAllButNeverWhatALinkPointsTo) {
    TempDir root("qftp-ops");
    ASSERT_TRUE(testsupport::WriteFile(root.file("outside/keep.txt"), "keep"));
    ASSERT_TRUE(testsupport::WriteFile(root.file("outside/deeper/keep2.txt"), "keep2"));
    for (const char* file :
         {"work/a.txt", "work/b.bin", "work/other.txt", "work/tree/f1.txt", "work/tree/f2.txt",
          "work/tree/s1/x.txt", "work/tree/s1/deep/y.txt", "work/tree/s2/z.txt"}) {
        ASSERT_TRUE(testsupport::WriteFile(root.file(file), file));
    }
    fs::create_directory_symlink(root.file("outside"), root.file("work/tree/link"));
    auto server = RealServer::StartPyftpd(root.Path(), "u", "p");
    ASSERT_NO_FATAL_FAILURE(Connect(server));

    toolkit::testing::DoubleClickRow(app->ui.remoteList, RowOf("work"));
    toolkit::ProcessPendingEvents();
    ASSERT_EQ(app->ui.remotePathCombo.EditText(), "//work");
    ASSERT_NO_FATAL_FAILURE(Select({"a.txt", "tree", "b.bin"}));
    TakeShownDialogs();
    ScriptMessageAnswer(toolkit::kResultOk);
    ChooseItem("删除");

    const auto shown = TakeShownDialogs();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, Confirmation(3));
    EXPECT_EQ(shown[0].caption, "提示");
    EXPECT_EQ(shown[0].style, 0x31);

    EXPECT_FALSE(fs::exists(root.file("work/a.txt")));
    EXPECT_FALSE(fs::exists(root.file("work/b.bin")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root.file("work/tree"))));
    EXPECT_TRUE(fs::exists(root.file("work/other.txt")));
    EXPECT_EQ(testsupport::ReadFile(root.file("outside/keep.txt")), "keep");
    EXPECT_EQ(testsupport::ReadFile(root.file("outside/deeper/keep2.txt")), "keep2");

    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "/work") << "the server's own name of the folder";
    EXPECT_EQ(RowNames(), (std::vector<std::string>{kParent, "other.txt"}));
    EXPECT_EQ(Pane(0), "已就绪");
    EXPECT_EQ(Pane(2), "动作:无");
    EXPECT_EQ(LogCount("DEL /work/tree/link"), 1) << "the link is removed as an entry";
    EXPECT_EQ(LogCount("CWD /work/tree/link"), 0) << "the link is never entered";
}

TEST_F(RemoteOperationsTest, AFolderAtTheRootIsDeletedThroughDoubleSlashAndItsParentIsTheRoot) {
    TempDir root("qftp-ops");
    ASSERT_TRUE(testsupport::WriteFile(root.file("top/f.txt"), "f"));
    ASSERT_TRUE(testsupport::WriteFile(root.file("top/sub/g.txt"), "g"));
    ASSERT_TRUE(testsupport::WriteFile(root.file("stay.txt"), "s"));
    auto server = RealServer::StartPyftpd(root.Path(), "u", "p");
    ASSERT_NO_FATAL_FAILURE(Connect(server));

    ASSERT_NO_FATAL_FAILURE(Select({"top"}));
    ScriptMessageAnswer(toolkit::kResultOk);
    ChooseItem("删除");

    EXPECT_FALSE(fs::exists(root.file("top")));
    EXPECT_TRUE(fs::exists(root.file("stay.txt")));
    EXPECT_EQ(LogCount("RMD //top/sub"), 1);
    EXPECT_EQ(LogCount("RMD //top"), 2) << "//top/sub and //top";
    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "/");
    EXPECT_EQ(RowNames(), (std::vector<std::string>{kParent, "stay.txt"}));
}

TEST_F(RemoteOperationsTest, FoldersOfMoreThan256EntriesAreEmptiedCompletely) {
    TempDir root("qftp-ops");
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(testsupport::WriteFile(root.file("big/f" + std::to_string(i)), "x"));
    }
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(testsupport::MakeDirs(root.file("big/inner/d" + std::to_string(i))));
    auto server = RealServer::StartPyftpd(root.Path(), "u", "p");
    ASSERT_NO_FATAL_FAILURE(Connect(server));

    ASSERT_NO_FATAL_FAILURE(Select({"big"}));
    ScriptMessageAnswer(toolkit::kResultOk);
    ChooseItem("删除");

    EXPECT_FALSE(fs::exists(root.file("big")));
    EXPECT_EQ(LogCount("DEL //big/f"), 300);
    EXPECT_EQ(LogCount("RMD //big/inner/d"), 5);
    EXPECT_EQ(RowNames(), (std::vector<std::string>{kParent}));
}

// ---- fake server -------------------------------------------------------------

TEST_F(RemoteOperationsTest, FolderNamesGoToTheServerAsTyped) {
    struct Case {
        std::string name;
        std::string wire;  // the MKD line, empty when nothing may be sent
        bool created;
    };
    const std::vector<Case> cases = {
        {"新建文件夹", "MKD //新建文件夹", true},
        {"带 空格 的 名字", "MKD //带 空格 的 名字", true},
        {"a/b", "MKD //a/b", true},  // /a exists
        {"missing/b", "MKD //missing/b", false},
        {"", "MKD //", false},
        {"x\r\nDELE /a/keep", "", false},
    };
    FakeFtpServer server;
    server.AddDirectory("/a");
    server.AddFile("/a/keep", "k");
    ASSERT_NO_FATAL_FAILURE(Connect(server));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TakeShownDialogs();
        const int mkdBefore = server.CountCommands("MKD");
        ScriptInputAnswer(true, c.name);
        ScriptMessageAnswer(toolkit::kResultOk);
        ChooseItem("创建目录");
        const auto shown = TakeShownDialogs();
        ASSERT_FALSE(shown.empty());
        if (c.wire.empty()) {
            EXPECT_EQ(server.CountCommands("MKD"), mkdBefore);
        } else {
            const auto lines = Lines(server, {"MKD"});
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.back(), c.wire);
        }
        if (c.created) {
            EXPECT_TRUE(server.DirectoryExists("/" + c.name));
            EXPECT_EQ(shown.size(), 1u) << "no failure message";
        } else {
            ASSERT_EQ(shown.size(), 2u);
            EXPECT_EQ(shown[1].text, kCreateFailed);
        }
    }
    EXPECT_TRUE(server.FileContents("/a/keep").has_value());
    ScriptMessageAnswer(toolkit::kResultCancel);  // left over when a case failed
}

TEST_F(RemoteOperationsTest, CancellingSendsNothing) {
    FakeFtpServer server;
    server.AddFile("/a", "1");
    server.AddFile("/b", "2");
    server.AddDirectory("/c");
    server.AddFile("/c/d", "3");
    ASSERT_NO_FATAL_FAILURE(Connect(server));
    const auto before = server.Commands().size();

    ScriptInputAnswer(false, "新建文件夹");
    ChooseItem("创建目录");
    ChooseItem("创建目录");  // no answer scripted: the box is cancelled

    ASSERT_NO_FATAL_FAILURE(Select({"a", "b", "c"}));
    ScriptMessageAnswer(toolkit::kResultCancel);
    ChooseItem("删除");
    ChooseItem("删除");  // no answer scripted: cancelled

    EXPECT_EQ(server.Commands().size(), before) << server.Transcript();
    EXPECT_EQ(TakeShownDialogs().size(), 4u);
    EXPECT_TRUE(server.FileContents("/a") && server.FileContents("/b") && server.FileContents("/c/d"));
}

TEST_F(RemoteOperationsTest, TheConfirmationCountsSelectedRowsButNotTheParentRow) {
    struct Case {
        std::vector<int> rows;
        int expected;  // -1: no confirmation at all
    };
    const std::vector<Case> cases = {
        {{1, 2, 3}, 3}, {{0, 1, 2}, 2}, {{2, 3}, 2}, {{3}, 1}, {{0}, -1}, {{}, -1},
    };
    FakeFtpServer server;
    server.AddFile("/one", "1");
    server.AddFile("/two", "2");
    server.AddDirectory("/dir");
    ASSERT_NO_FATAL_FAILURE(Connect(server));
    ASSERT_EQ(app->ui.remoteList.RowCount(), 4);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.rows));
        for (int r = 0; r < app->ui.remoteList.RowCount(); ++r) app->ui.remoteList.SelectRow(r, false);
        for (int r : c.rows) app->ui.remoteList.SelectRow(r, true);
        TakeShownDialogs();
        ScriptMessageAnswer(toolkit::kResultCancel);
        ChooseItem("删除");
        const auto shown = TakeShownDialogs();
        if (c.expected < 0) {
            EXPECT_TRUE(shown.empty());
            toolkit::testing::ClearDialogScript();
        } else {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].text, Confirmation(c.expected));
        }
    }
    EXPECT_EQ(server.CountCommands("DELE") + server.CountCommands("RMD"), 0);
}

TEST_F(RemoteOperationsTest, ANestedFolderIsRemovedDepthFirstInRowOrder) {
    FakeFtpServer server;
    server.AddFile("/d/s1/f", "f");
    server.AddFile("/d/s2/g", "g");
    server.AddFile("/d/s2/deep/k", "k");
    server.AddFile("/d/h", "h");
    server.AddFile("/d/i", "i");
    ASSERT_NO_FATAL_FAILURE(Connect(server));
    ASSERT_NO_FATAL_FAILURE(Select({"d"}));
    ScriptMessageAnswer(toolkit::kResultOk);
    ChooseItem("删除");

    // Rows show folders in the reverse of their listing order (s2 above s1),
    // then the files; each folder is emptied and removed before the next row,
    // and is removed only after the view has moved to its parent.
    const std::vector<std::string> expected = {
        "CWD //d",  // entered
        "CWD //d",
        "LIST",  // and listed
        "CWD //d/s2",
        "CWD //d/s2",
        "LIST",
        "CWD //d/s2/deep",
        "CWD //d/s2/deep",
        "LIST",
        "DELE //d/s2/deep/k",
        "CWD //d/s2",
        "LIST",         // the view moves to the parent
        "LIST //d/s2",  // RemoveDir finds the folder in its parent's listing
        "CWD //d/s2",
        "CWD deep",  // and enters it from there
        "LIST",
        "CDUP",
        "RMD //d/s2/deep",
        "DELE //d/s2/g",
        "CWD //d",
        "LIST",
        "LIST //d",
        "CWD //d",
        "CWD s2",
        "LIST",
        "CDUP",
        "RMD //d/s2",
        "CWD //d/s1",
        "CWD //d/s1",
        "LIST",
        "DELE //d/s1/f",
        "CWD //d",
        "LIST",
        "LIST //d",
        "CWD //d",
        "CWD s1",
        "LIST",
        "CDUP",
        "RMD //d/s1",
        "DELE //d/h",
        "DELE //d/i",
        "CWD /",
        "LIST",
        "LIST /",
        "CWD /",
        "CWD d",
        "LIST",
        "CDUP",
        "RMD //d",
        "CWD /",
        "LIST",  // the closing listing of the start folder
    };
    const auto lines = Lines(server, {"CWD", "LIST", "CDUP", "DELE", "RMD"});
    ASSERT_GE(lines.size(), expected.size()) << server.Transcript();
    const std::vector<std::string> tail(lines.end() - static_cast<long>(expected.size()), lines.end());
    EXPECT_EQ(tail, expected) << server.Transcript();
    EXPECT_FALSE(server.DirectoryExists("/d"));
    EXPECT_EQ(Pane(0), "已就绪");
    EXPECT_EQ(Pane(2), "动作:无");
    EXPECT_EQ(LogCount("动作"), 0) << "status texts stay out of the log";
}

TEST_F(RemoteOperationsTest, ARefusalHalfWayDoesNotStopTheWalk) {
    FakeFtpServer server;
    server.AddFile("/d/s/g", "g");
    server.AddFile("/d/h", "h");
    server.AddFile("/d/i", "i");
    // Refused under both names: the one the walk sends and the one of the
    // engine's own content delete inside RemoveDir.
    server.Reply("DELE //d/h", "550 Permission denied.\r\n");
    server.Reply("DELE h", "550 Permission denied.\r\n");
    ASSERT_NO_FATAL_FAILURE(Connect(server));
    ASSERT_NO_FATAL_FAILURE(Select({"d"}));
    ScriptMessageAnswer(toolkit::kResultOk);
    ChooseItem("删除");

    const auto lines = Lines(server, {"DELE", "RMD"});
    const std::vector<std::string> expected = {"DELE //d/s/g", "RMD //d/s", "DELE //d/h",
                                               "DELE //d/i",   "DELE h",    "RMD //d"};
    EXPECT_EQ(lines, expected) << server.Transcript();
    EXPECT_TRUE(server.FileContents("/d/h").has_value());
    EXPECT_FALSE(server.FileContents("/d/i").has_value());
    EXPECT_FALSE(server.DirectoryExists("/d/s"));
    EXPECT_EQ(RowNames(), (std::vector<std::string>{kParent, "d"}))
        << "the closing listing shows what is left";
    // Every refusal is in the log, right below its command.
    EXPECT_EQ(LogAfter("DEL //d/h"), "550 Permission denied.");
    EXPECT_EQ(LogAfter("DEL h"), "550 Permission denied.");
    EXPECT_EQ(LogAfter("RMD //d"), "550 Remove directory operation failed.");
    EXPECT_EQ(Pane(0), "已就绪");
}

TEST_F(RemoteOperationsTest, AFolderTheServerWillNotEnterIsNotTakenForItsParent) {
    FakeFtpServer server;
    server.AddFile("/d/s/g", "g");
    server.AddFile("/d/a", "a");
    server.AddFile("/d/b", "b");
    // Refused here, the CWD leaves the server in //d, whose listing holds s again.
    server.Reply("CWD //d/s", "550 Permission denied.\r\n");
    server.Reply("CWD s", "550 Permission denied.\r\n");  // the engine's own walk in RemoveDir
    ASSERT_NO_FATAL_FAILURE(Connect(server));
    ASSERT_NO_FATAL_FAILURE(Select({"d"}));
    ScriptMessageAnswer(toolkit::kResultOk);
    ChooseItem("删除");

    for (const auto& line : server.Commands()) EXPECT_EQ(line.find("//d/s/"), std::string::npos) << line;
    EXPECT_EQ(server.CountCommands("DELE //d/a"), 1) << server.Transcript();
    EXPECT_EQ(server.CountCommands("DELE //d/b"), 1);
    EXPECT_TRUE(server.FileContents("/d/s/g").has_value());
    EXPECT_EQ(RowNames(), (std::vector<std::string>{kParent, "d"}));
}

TEST_F(RemoteOperationsTest, AFolderWhoseCwdLandsElsewhereIsNeverEmptied) {
    // The server lists s as a folder but its CWD lands somewhere else (a
    // link it follows): PWD then names another folder, and nothing found
    // there is deleted.
    FakeFtpServer server;
    server.AddFile("/d/s/g", "g");
    server.AddFile("/d/a", "a");
    server.Reply("CWD //d/s", "250 Directory successfully changed.\r\n");  // stays in /d
    ASSERT_NO_FATAL_FAILURE(Connect(server));
    ASSERT_NO_FATAL_FAILURE(Select({"d"}));
    ScriptMessageAnswer(toolkit::kResultOk);
    ChooseItem("删除");

    EXPECT_TRUE(server.FileContents("/d/s/g").has_value()) << server.Transcript();
    EXPECT_EQ(server.CountCommands("DELE //d/a"), 1) << server.Transcript();
    EXPECT_EQ(server.CountCommands("RMD //d"), 0) << server.Transcript();
    EXPECT_EQ(LogCount("进入的目录(/d)不是要删除的目录, 不删除://d/s"), 1);
}

TEST_F(RemoteOperationsTest, ALostConnectionEndsTheDeleteWithoutHanging) {
    FakeFtpServer server;
    server.AddFile("/d/a", "a");
    server.AddFile("/d/b", "b");
    server.AddFile("/d/s/t", "t");
    server.AddFile("/x", "x");
    server.CloseOn("DELE");
    ASSERT_NO_FATAL_FAILURE(Connect(server));
    ASSERT_NO_FATAL_FAILURE(Select({"d", "x"}));
    ScriptMessageAnswer(toolkit::kResultOk);
    ChooseItem("删除");

    EXPECT_EQ(server.CountCommands("DELE"), 1) << server.Transcript();
    EXPECT_EQ(LogCount("DEL //d/a"), 1) << ::testing::PrintToString(LogMessages());
    EXPECT_EQ(server.ConnectionCount(), 1);
    EXPECT_TRUE(server.FileContents("/d/a") && server.FileContents("/d/b") && server.FileContents("/x"));
    EXPECT_EQ(RowNames(), (std::vector<std::string>{kParent}));
    EXPECT_EQ(Pane(0), "已就绪");
    EXPECT_EQ(Pane(2), "动作:无");
}

// The hostile folder is the selected one, or one level below it. A folder
// that still holds a refused name is not handed to RemoveDir, whose own walk
// would send "DELE ../escape" from inside it; nor is any folder above it.
void RemoteOperationsTest::DeleteBelowHostileListing(const std::string& hostile) {
    FakeFtpServer server;
    server.AddFile("/escape", "e");
    server.AddFile("/keep/k", "k");
    server.AddFile(hostile + "/f", "f");
    server.AddFile("/d/x", "x");
    server.SetListing(hostile,
                      "-rw-r--r--    1 ftp      ftp             1 Jan 01  2024 ../escape\r\n"
                      "drwxr-xr-x    2 ftp      ftp          4096 Jan 01  2024 .\r\n"
                      "drwxr-xr-x    2 ftp      ftp          4096 Jan 01  2024 ..\r\n"
                      "lrwxrwxrwx    1 ftp      ftp             5 Jan 01  2024 link -> /keep\r\n"
                      "-rw-r--r--    1 ftp      ftp             1 Jan 01  2024 f\r\n");
    ASSERT_NO_FATAL_FAILURE(Connect(server));
    ASSERT_NO_FATAL_FAILURE(Select({"d"}));
    ScriptMessageAnswer(toolkit::kResultOk);
    ChooseItem("删除");

    const std::string wireFolder = "/" + hostile;  // below the root "/"
    for (const auto& line : server.Commands()) {
        EXPECT_EQ(line.find(wireFolder + "/."), std::string::npos) << line;
        EXPECT_NE(line, "CWD " + wireFolder + "/link");
        EXPECT_EQ(line.find("escape"), std::string::npos) << line;
    }
    EXPECT_EQ(server.CountCommands("DELE " + wireFolder + "/link"), 1) << server.Transcript();
    EXPECT_EQ(server.CountCommands("DELE " + wireFolder + "/f"), 1);
    EXPECT_EQ(server.CountCommands("DELE //d/x"), hostile == "/d" ? 0 : 1)
        << "x is listed unless /d is hostile";
    EXPECT_EQ(server.CountCommands("RMD"), 0);
    EXPECT_TRUE(server.FileContents("/escape").has_value());
    EXPECT_TRUE(server.FileContents("/keep/k").has_value());
    EXPECT_EQ(LogCount("条目名称异常, 不删除:" + wireFolder + "/../escape"), 1);
    const auto messages = LogMessages();
    for (const std::string folder : {"//d", "//d/sub"}) {
        const bool left = folder == wireFolder || folder == "//d";
        EXPECT_EQ(std::count(messages.begin(), messages.end(), "目录未清空, 不删除:" + folder), left ? 1 : 0)
            << folder;
    }
    EXPECT_EQ(Pane(0), "已就绪");
}

TEST_F(RemoteOperationsTest, AHostileListingInTheSelectedFolderNeverLeadsOutOfIt) {
    DeleteBelowHostileListing("/d");
}

TEST_F(RemoteOperationsTest, AHostileListingInASubfolderNeverLeadsOutOfIt) {
    DeleteBelowHostileListing("/d/sub");
}

TEST_F(RemoteOperationsTest, AServerWithoutBottomStopsTheWalkAtTheDepthBound) {
    FakeFtpServer server;
    // Every CWD "succeeds" and every folder lists a file and a subfolder again.
    server.SetBottomless(true);
    server.Reply("DELE", "550 No.\r\n");
    server.Reply("RMD", "550 No.\r\n");
    server.SetListing("/",
                      "-rw-r--r--    1 ftp      ftp             1 Jan 01  2024 f\r\n"
                      "drwxr-xr-x    2 ftp      ftp          4096 Jan 01  2024 a\r\n");
    ASSERT_NO_FATAL_FAILURE(Connect(server));
    ASSERT_NO_FATAL_FAILURE(Select({"a"}));
    ScriptMessageAnswer(toolkit::kResultOk);
    ChooseItem("删除");

    std::size_t deepest = 0;
    for (const auto& line : Lines(server, {"CWD"})) {
        deepest = std::max<std::size_t>(deepest, std::count(line.begin(), line.end(), '/'));
    }
    EXPECT_EQ(deepest, 65u) << "//a and 63 more levels";
    EXPECT_EQ(LogCount("目录层次过深"), 1);
    EXPECT_EQ(server.CountCommands("RMD"), 0) << "no folder above the bound goes to RemoveDir";
    EXPECT_EQ(Pane(0), "已就绪");
}

TEST_F(RemoteOperationsTest, AServerThatBranchesForeverStopsTheWalkAtTheFolderBound) {
    FakeFtpServer server;
    server.SetBottomless(true);
    server.Reply("DELE", "550 No.\r\n");
    server.Reply("RMD", "550 No.\r\n");
    server.SetListing("/",
                      "-rw-r--r--    1 ftp      ftp             1 Jan 01  2024 f\r\n"
                      "drwxr-xr-x    2 ftp      ftp          4096 Jan 01  2024 a\r\n"
                      "drwxr-xr-x    2 ftp      ftp          4096 Jan 01  2024 b\r\n");
    ASSERT_NO_FATAL_FAILURE(Connect(server));
    app::DeleteRemoteFolder(*app, "/x", app::DeleteLimits{64, 10});

    std::vector<std::string> folders;
    for (const auto& line : Lines(server, {"CWD"})) {
        if (line.rfind("CWD /x", 0) == 0 &&
            std::find(folders.begin(), folders.end(), line) == folders.end()) {
            folders.push_back(line);
        }
    }
    EXPECT_EQ(folders.size(), 10u);
    EXPECT_EQ(LogCount("要删除的目录过多"), 1);
    EXPECT_EQ(server.Commands().back().rfind("CWD /x", 0), std::string::npos)
        << "nothing is entered after the stop";
}

}  // namespace
