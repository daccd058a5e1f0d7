// The window against a real pyftpdlib server on loopback: quick connect,
// into a subfolder and back, rename, with the log lines a user reads. A
// screenshot of the connected window is left in the build tree.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "app/remote_view.h"
#include "app_fixture.h"
#include "support/real_servers.h"

namespace {

using apptest::AppTest;

class RealServerWindow : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        testsupport::WriteFile(root_.file("pub/sub/深层.txt"), "deep");
        testsupport::WriteFile(root_.file("pub/notes.txt"), std::string(12345, 'n'));
        testsupport::WriteFile(root_.file("pub/setup.exe"), "MZ");
        testsupport::WriteFile(root_.file("报告 2024.txt"), "r");
        server_ = std::make_unique<testsupport::RealServer>(
            testsupport::RealServer::StartPyftpd(root_.Path(), "demo", "demo"));
        ASSERT_TRUE(server_->ok()) << server_->error();
        Show();
    }

    void TearDown() override {
        if (server_) server_->Stop();
        AppTest::TearDown();
    }

    void Connect() {
        TypeQuickConnect("127.0.0.1", "demo", "demo", std::to_string(server_->port()));
        ClickQuickConnect();
    }

    int RowOf(const std::string& name) {
        for (int r = 0; r < app->ui.remoteList.RowCount(); ++r) {
            if (app->ui.remoteList.CellText(r, 0) == name) return r;
        }
        return -1;
    }

    // The log messages written since the given line count.
    std::vector<std::string> MessagesSince(std::size_t from) {
        auto all = LogMessages();
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())),
                                        all.end());
    }

    // Data ports change from run to run, and whether LIST is answered 125
    // (data connection already open) or 150 is a race between the client's
    // connect and the server's accept.
    static std::vector<std::string> MaskPorts(std::vector<std::string> lines) {
        for (auto& line : lines) {
            if (line.rfind("125 ", 0) == 0 || line.rfind("150 ", 0) == 0) line = "125/150";
            for (const std::string prefix : {"(127,0,0,1,", "[127.0.0.1:"}) {
                const auto at = line.find(prefix);
                if (at == std::string::npos) continue;
                auto end = at + prefix.size();
                while (end < line.size() &&
                       (std::isdigit(static_cast<unsigned char>(line[end])) || line[end] == ',')) {
                    ++end;
                }
                line.replace(at + prefix.size(), end - at - prefix.size(), "N");
            }
        }
        return lines;
    }

    static std::string Joined(const std::vector<std::string>& lines) {
        std::string out;
        for (const auto& l : lines) out += l + "\n";
        return out;
    }

    testsupport::TempDir root_{"qftp-root"};
    std::unique_ptr<testsupport::RealServer> server_;
};

std::string ScreenshotPath(const std::string& name = "connected-window.png") {
    const char* dir = std::getenv("QFTP_SCREENSHOT_DIR");
    const std::string folder = dir != nullptr && dir[0] != '\0' ? dir : "screenshots";
    mkdir(folder.c_str(), 0755);
    return folder + "/" + name;
}

TEST_F(RealServerWindow, ConnectBrowseIntoASubfolderAndBackAndRename) {
    Connect();
    const auto login = LogMessages();
    ASSERT_FALSE(login.empty());
    EXPECT_EQ(login.front(), "启动连接");
    EXPECT_NE(std::find(login.begin(), login.end(), "USER demo"), login.end()) << Joined(login);
    EXPECT_NE(std::find(login.begin(), login.end(), "PASS ******"), login.end()) << Joined(login);
    EXPECT_NE(std::find(login.begin(), login.end(), "取/文件列表"), login.end()) << Joined(login);
    EXPECT_EQ(Rows(app->ui.remoteList, 3),
              (std::vector<std::string>{"返回上级目录||", "pub||文件夹", "报告 2024.txt|1|txt"}))
        << server_->Log();

    // Into pub: PWD, the fetch line, then the engine's CWD and listing lines.
    std::size_t mark = LogLines().size();
    toolkit::testing::DoubleClickRow(app->ui.remoteList, RowOf("pub"));
    auto lines = MaskPorts(MessagesSince(mark));
    const std::vector<std::string> expected{
        "PWD",
        "257 \"/\" is the current directory.",
        "取//pub文件列表",
        "CWD //pub",
        "250 \"/pub\" is the current directory.",
        "PASV",
        "227 Entering passive mode (127,0,0,1,N).",
        "连接[127.0.0.1:N],超时2000",
        "数据通道连接成功",
        "LIST",
        "125/150",
        "226 Transfer complete.",
    };
    EXPECT_EQ(lines, expected) << Joined(lines);
    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "//pub");
    EXPECT_EQ(Rows(app->ui.remoteList, 3),
              (std::vector<std::string>{"返回上级目录||", "sub||文件夹", "notes.txt|12,345|txt",
                                        "setup.exe|2|exe"}))
        << Joined(lines);
    EXPECT_EQ(app->ui.remoteList.CellIcon(3, 0), 3);

    EXPECT_TRUE(toolkit::testing::SaveScreenshot(app->ui.mainWindow, ScreenshotPath()));

    // Back up through the parent row.
    mark = LogLines().size();
    toolkit::testing::DoubleClickRow(app->ui.remoteList, 0);
    lines = MessagesSince(mark);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "取/文件列表"), lines.end()) << Joined(lines);
    EXPECT_EQ(app->ui.remotePathCombo.EditText(), "/");
    EXPECT_NE(RowOf("pub"), -1);

    // Rename a file of the root.
    toolkit::testing::ClickRow(app->ui.remoteList, RowOf("报告 2024.txt"));
    toolkit::testing::ScriptInputAnswer(true, "总结.txt");
    mark = LogLines().size();
    ASSERT_TRUE(app->ui.remoteMenu.Choose("重命名"));
    lines = MessagesSince(mark);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "RNFR //报告 2024.txt"), lines.end()) << Joined(lines);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "RNTO //总结.txt"), lines.end()) << Joined(lines);
    EXPECT_NE(RowOf("总结.txt"), -1);
    EXPECT_EQ(RowOf("报告 2024.txt"), -1);
    struct stat st {};
    EXPECT_EQ(stat(root_.file("总结.txt").c_str(), &st), 0);
    // Only the input box was shown: no failure message.
    EXPECT_EQ(toolkit::testing::TakeShownDialogs().size(), 1u);

    // The delete confirmation, shown for real and cancelled with the mouse:
    // its buttons read in Chinese, and nothing is deleted.
    toolkit::testing::ClickRow(app->ui.remoteList, RowOf("总结.txt"));
    toolkit::testing::SetScriptedDialogsOnly(false);
    toolkit::testing::AnswerNextDialog("取消", ScreenshotPath("delete-confirmation-dialog.png"));
    ASSERT_TRUE(app->ui.remoteMenu.Choose("删除"));
    toolkit::testing::SetScriptedDialogsOnly(true);
    const auto confirmation = toolkit::testing::TakeAnsweredDialog();
    ASSERT_TRUE(confirmation.has_value());
    EXPECT_TRUE(confirmation->clicked);
    EXPECT_EQ(confirmation->text, "你确认删除这1个文件及其包含的其他文件吗？");
    EXPECT_EQ(std::set<std::string>(confirmation->buttons.begin(), confirmation->buttons.end()),
              (std::set<std::string>{"确定", "取消"}));
    EXPECT_EQ(stat(root_.file("总结.txt").c_str(), &st), 0);

    // Captions and the site link whole on this screen and on a 1024 by 768
    // one, with a picture of each.
    const std::pair<int, int> sizes[] = {{0, 0}, {1024, 768}};
    for (const auto& [width, height] : sizes) {
        std::string where = "screen";
        if (width > 0) {
            app->ui.mainWindow.SetGeometry(toolkit::Rect{0, 0, width, height});
            toolkit::ProcessPendingEvents();
            where = std::to_string(width) + "x" + std::to_string(height);
            EXPECT_TRUE(toolkit::testing::SaveScreenshot(
                app->ui.mainWindow, ScreenshotPath("connected-window-" + where + ".png")));
        }
        app::MainWindow& ui = app->ui;
        for (toolkit::GroupBox* group :
             {&ui.quickConnectGroup, &ui.logGroup, &ui.localGroup, &ui.remoteGroup, &ui.queueGroup}) {
            const auto check = toolkit::testing::CheckGroupCaption(*group);
            EXPECT_TRUE(check.whole) << where << " " << group->Text() << ": " << check.detail;
        }
        EXPECT_TRUE(toolkit::testing::CheckLinkCaption(ui.siteLink2).fits) << where;
    }
}

}  // namespace
