// The main window: controls and captions, start-up placement, the layout on
// resize and on splitter drags, and the menus.
#include "app/main_window.h"

#include <set>

#include "app/startup.h"
#include "app_fixture.h"
#include "quorvel_version.h"
#include "support/toolkit/shown_testing.h"

namespace {

using apptest::AppTest;
using toolkit::Rect;

class MainWindowTest : public AppTest {
protected:
    // Shows the window and puts it at an exact outer size.
    void ShowAt(int width, int height) {
        Show();
        Resize(width, height);
    }
    void Resize(int width, int height) {
        app->ui.mainWindow.SetGeometry(Rect{0, 0, width, height});
        toolkit::ProcessPendingEvents();
        app::LayoutMainWindow(app->ui);
        toolkit::ProcessPendingEvents();
    }
};

TEST_F(MainWindowTest, ControlsCarryTheirCaptionsAndColumns) {
    app::MainWindow& ui = app->ui;
    EXPECT_EQ(ui.mainWindow.Text().rfind("Quorvel游戏社区FTP上传工具  ", 0), 0u);
    EXPECT_NE(ui.mainWindow.Text().find("      ///"), std::string::npos);
    EXPECT_EQ(ui.quickConnectGroup.Text(), "快速连接");
    EXPECT_EQ(ui.quickConnectButton.Text(), "快速连接");
    EXPECT_EQ(ui.hostLabel.Text(), "主机");
    EXPECT_EQ(ui.userLabel.Text(), "用户名");
    EXPECT_EQ(ui.passwordLabel.Text(), "密码");
    EXPECT_EQ(ui.portLabel.Text(), "端口");
    EXPECT_EQ(ui.portEdit.Text(), "21");
    EXPECT_EQ(ui.logGroup.Text(), "消息日志");
    EXPECT_EQ(ui.localGroup.Text(), "本地目录");
    EXPECT_EQ(ui.remoteGroup.Text(), "远程目录");
    EXPECT_EQ(ui.queueGroup.Text(), "任务队列");
    EXPECT_EQ(ui.hostEdit.Geometry(), (Rect{35, 18, 154, 20}));
    EXPECT_EQ(ui.quickConnectButton.Geometry(), (Rect{649, 16, 93, 24}));
    EXPECT_EQ(ui.siteLink2.Geometry(), (Rect{760, 12, 80, 32}));
    EXPECT_EQ(ui.localList.ColumnCount(), 3);
    EXPECT_EQ(ui.remoteList.ColumnCount(), 4);
    EXPECT_EQ(ui.queueList.ColumnCount(), 5);
    EXPECT_EQ(ui.mainMenu.Items(), (std::vector<std::string>{"临时", "关于"}));
    EXPECT_EQ(ui.remoteMenu.Items(), (std::vector<std::string>{"刷新目录", "", "下载文件", "", "创建目录", "",
                                                               "重命名", "", "删除"}));
    EXPECT_TRUE(toolkit::testing::FontHasGlyphs(ui.mainWindow, "快速连接"));
}

// The five captions and the site link are drawn whole at the form's own
// geometry and on the two common screens, the window laid out for each.
TEST_F(MainWindowTest, CaptionsAndTheSiteLinkAreWholeOnTheFormAndOnCommonScreens) {
    // Restart() makes a new window: the controls are looked up again each time.
    auto checkAll = [&](const std::string& where) {
        app::MainWindow& ui = app->ui;
        toolkit::GroupBox* groups[] = {&ui.quickConnectGroup, &ui.logGroup, &ui.localGroup, &ui.remoteGroup,
                                       &ui.queueGroup};
        for (toolkit::GroupBox* group : groups) {
            const auto check = toolkit::testing::CheckGroupCaption(*group);
            EXPECT_TRUE(check.whole) << where << " " << group->Text() << ": " << check.detail;
        }
        const auto link = toolkit::testing::CheckLinkCaption(ui.siteLink2);
        EXPECT_TRUE(link.fits) << where << ": " << link.lines << " lines at " << link.pixelSize << " px";
    };
    // The form: created, not yet shown or laid out.
    app->ui.mainWindow.SetGeometry(Rect{50, 50, 850, 681});
    checkAll("form");
    const std::pair<int, int> screens[] = {{1024, 768}, {1280, 800}};
    for (const auto& [width, height] : screens) {
        Restart();
        toolkit::testing::SetScreenSize(width, height);
        ShowAt(width, height);
        checkAll(std::to_string(width) + "x" + std::to_string(height));
    }
}

// What a user reads before doing anything: the headers of the three lists,
// the menu title, the window maximised; the password shows as "*" and the
// port takes digits only, typed on the real form.
TEST_F(MainWindowTest, HeadersMenuTitleMaximisedWindowAndTheQuickConnectFields) {
    app::MainWindow& ui = app->ui;
    Show();
    EXPECT_TRUE(toolkit::testing::ShownMaximized(ui.mainWindow));
    const std::pair<toolkit::ListView*, std::vector<std::string>> headers[] = {
        {&ui.localList, {"文件名", "文件大小", "文件类型"}},
        {&ui.remoteList, {"文件名", "文件大小", "文件类型", "最近修改"}},
        {&ui.queueList, {"本地文件", "远程路径", "大小", "类型", "状态"}},
    };
    for (const auto& [list, titles] : headers) EXPECT_EQ(toolkit::testing::ColumnTitles(*list), titles);
    EXPECT_EQ(toolkit::testing::MenuBarTitles(ui.mainWindow), (std::vector<std::string>{"菜单"}));

    const struct {
        toolkit::EditBox* edit;
        std::string typed;
        std::string text;
        std::string shown;
    } fields[] = {
        {&ui.passwordEdit, "s3cret", "s3cret", "******"},
        {&ui.passwordEdit, "密码", "密码", "**"},
        {&ui.portEdit, "2121", "2121", "2121"},
        // A sign stays, as in any integer field: the port check refuses it later.
        {&ui.portEdit, "21a2-1", "212-1", "212-1"},
        {&ui.portEdit, "２１ x", "", ""},
        {&ui.portEdit, "abc", "", ""},
    };
    for (const auto& f : fields) {
        toolkit::testing::TypeOver(*f.edit, f.typed);
        EXPECT_EQ(f.edit->Text(), f.text) << f.typed;
        EXPECT_EQ(toolkit::testing::DisplayedText(*f.edit), f.shown) << f.typed;
    }
}

// The site link shows the address on one line inside its box, read from the
// window's pixels, on the form and on the common screens; clicking it asks
// the desktop to open the community's address.
TEST_F(MainWindowTest, TheSiteLinkIsOneLineInItsBoxAndAClickOpensTheAddress) {
    auto check = [&](const std::string& where) {
        const auto caption = toolkit::testing::CheckLinkCaption(app->ui.siteLink2);
        EXPECT_TRUE(caption.fits) << where;
        EXPECT_EQ(caption.lines, 1) << where;
        const auto pixels = toolkit::testing::CheckLinkPixels(app->ui.siteLink2);
        EXPECT_TRUE(pixels.whole) << where << ": " << pixels.detail;
        EXPECT_EQ(pixels.inkLines, 1) << where;
    };
    app->ui.mainWindow.SetGeometry(Rect{50, 50, 850, 681});
    check("form");
    for (const auto& [width, height] : {std::pair{1024, 768}, std::pair{1280, 800}}) {
        Restart();
        toolkit::testing::SetScreenSize(width, height);
        ShowAt(width, height);
        check(std::to_string(width) + "x" + std::to_string(height));
    }
    toolkit::testing::CatchOpenedAddresses(true);
    toolkit::testing::ClickControl(app->ui.siteLink2);
    toolkit::ProcessPendingEvents();
    const std::vector<std::string> opened = toolkit::testing::TakeOpenedAddresses();
    toolkit::testing::CatchOpenedAddresses(false);
    EXPECT_EQ(opened, (std::vector<std::string>{"https://www.quorvel.example"}));
}

TEST_F(MainWindowTest, EveryControlHasTheNameOfItsWindowDefinition) {
    app::MainWindow& ui = app->ui;
    const std::pair<toolkit::Control*, const char*> named[] = {
        {&ui.hostEdit, "编辑框_主机"},           {&ui.quickConnectButton, "按钮_快速连接"},
        {&ui.localPathCombo, "组合框_本地路径"}, {&ui.remoteList, "超级列表框_FTP"},
        {&ui.queueGroup, "分组框_任务队列"},     {&ui.taskProgress, "进度条_任务进度"},
    };
    for (const auto& [control, name] : named) EXPECT_EQ(control->AccessibleName(), name);
    toolkit::Control* all[] = {
        &ui.mainWindow,         &ui.quickConnectGroup, &ui.hostLabel,    &ui.hostEdit,   &ui.userLabel,
        &ui.userEdit,           &ui.passwordLabel,     &ui.passwordEdit, &ui.portLabel,  &ui.portEdit,
        &ui.quickConnectButton, &ui.siteLink2,         &ui.logGroup,     &ui.logList,    &ui.splitter1,
        &ui.localGroup,         &ui.localPathCombo,    &ui.localList,    &ui.splitter2,  &ui.remoteGroup,
        &ui.remotePathCombo,    &ui.remoteList,        &ui.splitter3,    &ui.queueGroup, &ui.queueList,
        &ui.statusBar,          &ui.taskProgress,
    };
    std::set<std::string> seen;
    for (toolkit::Control* control : all) {
        const std::string name = control->AccessibleName();
        EXPECT_FALSE(name.empty());
        EXPECT_TRUE(seen.insert(name).second) << name;
    }
}

TEST_F(MainWindowTest, StartUpPlacesTheSplittersFromTheScreenAndAddsFivePanes) {
    Show();
    app::MainWindow& ui = app->ui;
    EXPECT_EQ(ui.splitter2.Left(), 487);  // 1024 / 2.1
    EXPECT_EQ(ui.splitter3.Top(), 548);   // 768 / 1.4
    EXPECT_EQ(ui.splitter1.Top(), 150);
    ASSERT_EQ(ui.statusBar.PaneCount(), 5);
    const char* texts[] = {"已就绪", "任务队列:0", "动作:无", "任务进度:100%", "任务进度"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(ui.statusBar.PaneText(i), texts[i]);
    EXPECT_EQ(ui.localPathCombo.EntryText(0), home);
    EXPECT_EQ(ui.localPathCombo.Text(), home);
}

TEST_F(MainWindowTest, ASmallWindowSpringsBackTo770By480) {
    struct Case {
        int width, height, expectWidth, expectHeight;
    };
    const Case cases[] = {
        {600, 400, 770, 480},   {770, 480, 770, 480}, {771, 481, 771, 481},
        {1000, 300, 1000, 480}, {500, 900, 770, 900},
    };
    Show();
    for (const auto& c : cases) {
        Resize(c.width, c.height);
        EXPECT_EQ(app->ui.mainWindow.Width(), c.expectWidth) << c.width << "x" << c.height;
        EXPECT_EQ(app->ui.mainWindow.Height(), c.expectHeight) << c.width << "x" << c.height;
    }
}

TEST_F(MainWindowTest, LayoutFollowsTheSplittersAndTheWindowSize) {
    ShowAt(1000, 700);
    app::MainWindow& ui = app->ui;
    const int s1 = ui.splitter1.Top(), s2 = ui.splitter2.Left(), s3 = ui.splitter3.Top();
    EXPECT_EQ(ui.quickConnectGroup.Width(), 988);
    EXPECT_EQ(ui.splitter1.Width(), 988);
    EXPECT_EQ(ui.splitter2.Top(), s1 + 3);
    EXPECT_EQ(ui.logGroup.Height(), s1 - 49 - 1);
    EXPECT_EQ(ui.logList.Width(), 988 - 6);
    EXPECT_EQ(ui.logList.Height(), ui.logGroup.Height() - 18);
    EXPECT_EQ(ui.localGroup.Geometry(), (Rect{3, s1 + 3, s2 - 3 - 1, s3 - (s1 + 3) - 3}));
    EXPECT_EQ(ui.remoteGroup.Geometry(), (Rect{s2 + 4, s1 + 3, 1000 - s2 - 15, s3 - (s1 + 3) - 3}));
    EXPECT_EQ(ui.splitter2.Height(), s3 - (s1 + 3) - 1);
    EXPECT_EQ(ui.splitter3.Width(), 988);
    EXPECT_EQ(ui.remoteList.Width(), ui.remoteGroup.Width() - 8);
    EXPECT_EQ(ui.remotePathCombo.Width(), ui.remoteList.Width());
    EXPECT_EQ(ui.localList.Height(), ui.localGroup.Height() - 42);
    EXPECT_EQ(ui.queueGroup.Geometry(), (Rect{3, s3 + 3, 988, 700 - (s3 + 3) - 74}));
    EXPECT_EQ(ui.queueList.Geometry(), (Rect{4, 14, 980, ui.queueGroup.Height() - 19}));
    EXPECT_EQ(ui.queueList.ColumnWidth(0), 326);
    EXPECT_EQ(ui.queueList.ColumnWidth(4), 98);
    const int lw = ui.localList.Width();
    EXPECT_EQ(ui.localList.ColumnWidth(0), static_cast<int>(lw / 2.2));
    EXPECT_EQ(ui.localList.ColumnWidth(1), lw / 4);
}

TEST_F(MainWindowTest, RemoteColumnsOfA100PixelListAre34_20_20_22) {
    ShowAt(1000, 700);
    app::MainWindow& ui = app->ui;
    // remoteList width = (1000 - s2 - 15) - 8 = 100.
    ui.splitter2.SetLeft(877);
    app::LayoutMainWindow(ui);
    ASSERT_EQ(ui.remoteList.Width(), 100);
    EXPECT_EQ(ui.remoteList.ColumnWidth(0), 34);
    EXPECT_EQ(ui.remoteList.ColumnWidth(1), 20);
    EXPECT_EQ(ui.remoteList.ColumnWidth(2), 20);
    EXPECT_EQ(ui.remoteList.ColumnWidth(3), 22);
}

TEST_F(MainWindowTest, PanesOfA1000PixelBarAndTheProgressBarOverPane4) {
    Show();
    app::MainWindow& ui = app->ui;
    // The bar spans the client area, which is the outer width less the frame.
    Resize(1000 + ui.mainWindow.Width() - ui.mainWindow.ClientWidth(), 700);
    ASSERT_EQ(ui.statusBar.Width(), 1000);
    const int widths[] = {125, 142, 333, 250, 149};
    int left = 0;
    for (int i = 0; i < 5; ++i) {
        const Rect pane = ui.statusBar.PaneRect(i);
        // The inside of each pane lies within its share of the bar.
        EXPECT_GE(pane.left, left) << "pane " << i;
        EXPECT_LE(pane.left + pane.width, left + widths[i]) << "pane " << i;
        EXPECT_GE(pane.width, widths[i] - 4) << "pane " << i;
        left += widths[i];
    }
    EXPECT_TRUE(toolkit::testing::IsChildOf(ui.taskProgress, ui.statusBar));
    EXPECT_EQ(ui.taskProgress.Geometry(), ui.statusBar.PaneRect(4));
    EXPECT_TRUE(ui.taskProgress.Visible());
}

// When the window is first shown, the layout already sees the status bar at
// the window's width, not at the size it had before.
TEST_F(MainWindowTest, ThePanesFollowTheWindowAsSoonAsItIsShown) {
    Show();
    app::MainWindow& ui = app->ui;
    const int b = ui.statusBar.Width();
    ASSERT_EQ(b, ui.mainWindow.ClientWidth());
    const int shares[] = {8, 7, 3, 4};
    int left = 0;
    for (int i = 0; i < 4; ++i) {
        const Rect pane = ui.statusBar.PaneRect(i);
        EXPECT_GE(pane.width, b / shares[i] - 4) << "pane " << i << " of a bar " << b << " wide";
        EXPECT_LE(pane.left + pane.width, left + b / shares[i]) << "pane " << i;
        left += b / shares[i];
    }
}

TEST_F(MainWindowTest, DraggingSplittersMovesTheControlsAroundThem) {
    ShowAt(1000, 700);
    app::MainWindow& ui = app->ui;
    const int logHeight = ui.logGroup.Height();
    const int queueTop = ui.queueGroup.Top();

    toolkit::testing::DragSplitter(ui.splitter1, 0, 30);
    EXPECT_EQ(ui.splitter1.Top(), 180);
    EXPECT_EQ(ui.localGroup.Top(), 183);
    EXPECT_EQ(ui.remoteGroup.Top(), 183);
    EXPECT_EQ(ui.splitter2.Top(), 183);
    EXPECT_EQ(ui.logGroup.Height(), logHeight + 30);
    EXPECT_EQ(ui.queueGroup.Top(), queueTop);

    const int localHeight = ui.localGroup.Height();
    toolkit::testing::DragSplitter(ui.splitter3, 0, -40);
    EXPECT_EQ(ui.localGroup.Height(), localHeight - 40);
    EXPECT_EQ(ui.remoteGroup.Height(), localHeight - 40);
    EXPECT_EQ(ui.queueGroup.Top(), queueTop - 40);

    const int s2 = ui.splitter2.Left();
    toolkit::testing::DragSplitter(ui.splitter2, -50, 0);
    EXPECT_EQ(ui.splitter2.Left(), s2 - 50);
    EXPECT_EQ(ui.remoteGroup.Left(), s2 - 50 + 4);
    EXPECT_EQ(ui.localGroup.Width(), s2 - 50 - 3 - 1);
}

TEST_F(MainWindowTest, AboutInTheMenuShowsTheVersion) {
    Show();
    toolkit::testing::TakeShownDialogs();
    ASSERT_TRUE(app->ui.mainMenu.Choose("关于"));
    const auto shown = toolkit::testing::TakeShownDialogs();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].kind, "about");
    EXPECT_EQ(shown[0].caption, "关于");
    EXPECT_EQ(shown[0].text.rfind("Quorvel游戏社区FTP上传工具\n", 0), 0u) << shown[0].text;
    EXPECT_NE(shown[0].text.find(std::string("\n版本 ") + quorvel::kVersion + "\n"), std::string::npos)
        << shown[0].text;
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(MainWindowTest, TheWindowCarriesTheProgramIconInEverySize) {
    app::SetUpProgramIdentity();
    Show();
    toolkit::Window& window = app->ui.mainWindow;
    std::vector<int> sizes = toolkit::testing::WindowIconSizes(window);
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48, 128, 256}));
    // A broken rendering would be empty or one flat colour: each size has a
    // picture, more than half opaque, of several colours with an opaque middle.
    for (int size : {16, 32, 48, 128, 256}) {
        const std::vector<std::uint32_t> pixels = toolkit::testing::WindowIconPixels(window, size);
        ASSERT_EQ(pixels.size(), static_cast<std::size_t>(size * size)) << size;
        std::size_t opaque = 0;
        std::set<std::uint32_t> colours;
        for (std::uint32_t argb : pixels) {
            if (argb >> 24 == 0xFF) ++opaque;
            colours.insert(argb);
        }
        EXPECT_GT(opaque, pixels.size() / 2) << size;
        EXPECT_GT(colours.size(), 8u) << size;
        EXPECT_EQ(pixels[(size / 2) * size + size / 2] >> 24, 0xFFu) << size;
    }
}

}  // namespace
