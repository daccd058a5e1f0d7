// The Qt controls behind the toolkit, driven with real events off screen.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "support/toolkit/testing.h"
#include "toolkit/toolkit.h"

namespace {

using toolkit::Rect;

class ToolkitWidgets : public ::testing::Test {
protected:
    void SetUp() override {
        toolkit::EnsureApplication();
        toolkit::testing::ResetShutdown();
        toolkit::testing::ClearDialogScript();
        toolkit::testing::SetScriptedDialogsOnly(true);
        window.Create("测试窗口", Rect{10, 10, 600, 400});
    }
    void TearDown() override { toolkit::testing::ResetShutdown(); }

    toolkit::Window window;
};

const std::string kGbkName = "\xD6\xD0\xCE\xC4.txt";  // 中文.txt in GBK

TEST_F(ToolkitWidgets, ListCellsHandBackTheirBytesAndAFillWithGbkShowsChinese) {
    toolkit::ListView list;
    list.Create(window, Rect{0, 0, 300, 200});
    list.AddColumn("文件名", 100);
    list.AddColumn("文件类型", 100);
    list.InsertRow(-1, "返回上级目录", 9);
    // Two GBK bytes that happen to be valid UTF-8 (Ã‰ would be "\xC3\x89").
    const std::string ambiguous = "\xC3\x89";
    const int first = list.InsertRow(-1, ambiguous, 5, toolkit::TextOrigin::Foreign);
    EXPECT_EQ(list.CellDisplayText(first, 0), "\xC3\x89");
    const int second = list.InsertRow(-1, kGbkName, 7, toolkit::TextOrigin::Foreign);
    list.SetCellText(second, 1, "txt", toolkit::TextOrigin::Foreign);

    // The fill now holds a name that is not UTF-8: every foreign text shows as
    // GBK, the earlier one included; the program's own texts stay as they are.
    EXPECT_EQ(list.CellDisplayText(second, 0), "中文.txt");
    EXPECT_EQ(list.CellDisplayText(first, 0), toolkit::GbkToUtf8(ambiguous));
    EXPECT_EQ(list.CellDisplayText(0, 0), "返回上级目录");
    EXPECT_EQ(list.CellText(second, 0), kGbkName);
    EXPECT_EQ(list.CellText(first, 0), ambiguous);
    EXPECT_EQ(list.CellIcon(second, 0), 7);

    // A new fill decides again.
    list.Clear();
    const int again = list.InsertRow(-1, ambiguous, 5, toolkit::TextOrigin::Foreign);
    EXPECT_EQ(list.CellDisplayText(again, 0), "\xC3\x89");
}

TEST_F(ToolkitWidgets, ListRowsInsertSelectAndReadBack) {
    toolkit::ListView list;
    list.Create(window, Rect{0, 0, 300, 200});
    list.AddColumn("a", 50);
    list.AddColumn("b", 50);
    EXPECT_EQ(list.InsertRow(-1, "x", 1), 0);
    EXPECT_EQ(list.InsertRow(-1, "z", 1), 1);
    EXPECT_EQ(list.InsertRow(1, "y", 1), 1);
    EXPECT_EQ(list.InsertRow(99, "w", 1), 3);
    EXPECT_EQ(list.CellText(1, 0), "y");
    EXPECT_EQ(list.CellText(2, 0), "z");
    EXPECT_EQ(list.CellText(9, 0), "");
    EXPECT_EQ(list.CellText(0, 7), "");
    list.SetCellText(9, 1, "ignored");
    EXPECT_EQ(list.CurrentRow(), -1);
    list.SelectRow(2, true);
    list.SelectRow(0, true);
    EXPECT_EQ(list.SelectedRows(), (std::vector<int>{0, 2}));
    list.SetRowData(2, 1);
    EXPECT_EQ(list.RowData(2), 1);
    EXPECT_EQ(list.RowData(1), 0);
    list.DeleteRow(1);
    list.DeleteRow(7);
    list.DeleteRow(-1);
    EXPECT_EQ(list.RowCount(), 3);
    EXPECT_EQ(list.CellText(1, 0), "z");
    EXPECT_EQ(list.RowData(1), 1);
    EXPECT_EQ(list.SelectedRows(), (std::vector<int>{0, 1}));
    list.Clear();
    EXPECT_EQ(list.RowCount(), 0);
    EXPECT_EQ(list.CurrentRow(), -1);
    list.SetColumnWidth(1, 77);
    EXPECT_EQ(list.ColumnWidth(1), 77);
}

TEST_F(ToolkitWidgets, MouseEventsActivateAndRightClickRows) {
    window.Show();
    toolkit::ListView list;
    list.Create(window, Rect{0, 0, 300, 200});
    list.AddColumn("a", 100);
    for (const char* name : {"one", "two", "three"}) list.InsertRow(-1, name, 1);
    int activated = 0;
    int rightClicks = 0;
    list.OnItemActivated([&] { ++activated; });
    list.OnRightClick([&] { ++rightClicks; });
    toolkit::testing::DoubleClickRow(list, 1);
    EXPECT_EQ(activated, 1);
    EXPECT_EQ(list.CurrentRow(), 1);
    toolkit::testing::RightClickRow(list, 2);
    EXPECT_EQ(rightClicks, 1);
    EXPECT_EQ(list.CurrentRow(), 2);
}

TEST_F(ToolkitWidgets, EditBoxesKeepBytesMaskPasswordsAndFilterDigits) {
    window.Show();
    toolkit::EditBox port, password, plain;
    port.Create(window, Rect{0, 0, 50, 20}, "");
    port.SetIntegerEntry();
    password.Create(window, Rect{0, 30, 50, 20}, "");
    password.SetPasswordEntry();
    plain.Create(window, Rect{0, 60, 50, 20}, kGbkName);

    toolkit::testing::TypeText(port, "2a1-b9 ");
    EXPECT_EQ(port.Text(), "21-9");
    toolkit::testing::TypeText(password, "secret");
    EXPECT_EQ(password.Text(), "secret");
    EXPECT_EQ(toolkit::testing::DisplayedText(password), "******");
    EXPECT_EQ(plain.Text(), kGbkName);
    // Text set by the program is not filtered ("abc" reads back as typed).
    port.SetText("abc");
    EXPECT_EQ(port.Text(), "abc");
}

TEST_F(ToolkitWidgets, ComboEntriesKeepBytesAndReportEnterAndChoices) {
    window.Show();
    toolkit::ComboBox combo;
    combo.Create(window, Rect{0, 0, 200, 20});
    combo.SetEditText("/start");
    EXPECT_EQ(combo.AddEntry("/pub"), 0);
    EXPECT_EQ(combo.AddEntry("/" + kGbkName), 1);
    EXPECT_EQ(combo.EditText(), "/start");
    EXPECT_EQ(combo.EntryText(1), "/" + kGbkName);
    EXPECT_EQ(combo.EntryText(2), "");
    EXPECT_EQ(combo.EntryText(-1), "");

    std::string chosen;
    combo.OnEntrySelected([&] { chosen = combo.EditText(); });
    std::vector<int> keys;
    combo.OnKeyPressed([&](int key) { keys.push_back(key); });
    toolkit::testing::ChooseEntry(combo, 1);
    EXPECT_EQ(chosen, "/" + kGbkName);
    toolkit::testing::PressKey(combo, 13);
    toolkit::testing::TypeText(combo, "a");
    EXPECT_EQ(keys, (std::vector<int>{13, 'A'}));
    EXPECT_EQ(combo.EditText(), "/中文.txta");
}

// Typing into a combo and leaving it without Enter chooses nothing, whatever
// the typed text has in common with the entries, and Enter is only a key.
TEST_F(ToolkitWidgets, TypingIntoAComboAndLeavingItChoosesNoEntry) {
    window.Show();
    toolkit::ComboBox combo;
    combo.Create(window, Rect{0, 0, 200, 20});
    toolkit::EditBox elsewhere;
    elsewhere.Create(window, Rect{0, 40, 100, 20}, "");
    combo.AddEntry("/home/user");
    combo.AddEntry("/");
    int chosen = 0;
    std::vector<int> keys;
    combo.OnEntrySelected([&] { ++chosen; });
    combo.OnKeyPressed([&](int key) { keys.push_back(key); });
    struct Case {
        int selected;  // the entry chosen last
        const char* typed;
        bool leaveWithTab;  // else a click on another control
    };
    const Case cases[] = {{0, "/", true},           {0, "/", false}, {1, "/h", true},
                          {1, "/home/user", false}, {0, "x", true},  {-1, "/", false}};
    for (const auto& c : cases) {
        combo.SetCurrentSelection(c.selected);
        combo.SetEditText("");
        toolkit::testing::TypeOver(combo, c.typed);
        // No inline completion: what was typed is what the combo holds.
        EXPECT_EQ(combo.EditText(), c.typed);
        if (c.leaveWithTab) {
            toolkit::testing::PressKeyOnFocus(9);
        } else {
            toolkit::testing::ClickControl(elsewhere);
        }
        EXPECT_FALSE(toolkit::testing::HasFocus(combo)) << c.typed;
        EXPECT_EQ(chosen, 0) << c.typed << (c.leaveWithTab ? " Tab" : " click");
        EXPECT_EQ(combo.EditText(), c.typed);
    }
    // Enter on a text that names an entry is the key, not a choice.
    combo.SetEditText("");
    toolkit::testing::TypeOver(combo, "/");
    keys.clear();
    toolkit::testing::PressKey(combo, 13);
    EXPECT_EQ(keys, std::vector<int>{13});
    EXPECT_EQ(chosen, 0);
    EXPECT_EQ(combo.EditText(), "/");
}

TEST_F(ToolkitWidgets, StatusPanesSitSideBySideAndTheProgressBarClamps) {
    window.Show();
    toolkit::StatusBar bar;
    bar.Create(window, 20);
    EXPECT_EQ(bar.AddPane("已就绪", 100), 0);
    EXPECT_EQ(bar.AddPane("任务进度", 50), 1);
    bar.SetPaneWidth(0, 120);
    const Rect p0 = bar.PaneRect(0), p1 = bar.PaneRect(1);
    EXPECT_LT(p0.left + p0.width, p1.left);
    EXPECT_LE(p1.left, 120 + 1);
    EXPECT_GT(p1.width, 40);
    EXPECT_EQ(bar.PaneRect(5), Rect{});
    bar.SetPaneText(1, "任务进度:5%");
    EXPECT_EQ(bar.PaneText(1), "任务进度:5%");
    EXPECT_EQ(bar.Width(), window.ClientWidth());
    EXPECT_EQ(bar.Top() + bar.Height(), window.ClientHeight());

    toolkit::ProgressBar progress;
    progress.Create(window, Rect{0, 0, 60, 12});
    for (const auto& [set, read] : {std::pair{50, 50}, {105, 100}, {-3, 0}}) {
        progress.SetPosition(set);
        EXPECT_EQ(progress.Position(), read);
    }
    toolkit::Reparent(progress, bar);
    EXPECT_TRUE(toolkit::testing::IsChildOf(progress, bar));
}

TEST_F(ToolkitWidgets, SplitterDragReportsTheNewEdgeInWindowCoordinates) {
    window.Show();
    toolkit::Splitter horizontal, vertical;
    horizontal.Create(window, Rect{2, 150, 400, 2}, toolkit::SplitterKind::Horizontal);
    vertical.Create(window, Rect{200, 160, 2, 100}, toolkit::SplitterKind::Vertical);
    std::vector<int> reported;
    horizontal.OnDragged([&](int position) {
        reported.push_back(position);
        horizontal.SetTop(position);
    });
    toolkit::testing::DragSplitter(horizontal, 0, 40);
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back(), 190);
    EXPECT_EQ(horizontal.Top(), 190);
    int left = -1;
    vertical.OnDragged([&](int position) { left = position; });
    toolkit::testing::DragSplitter(vertical, -30, 0);
    EXPECT_EQ(left, 170);
}

TEST_F(ToolkitWidgets, DialogsTakeScriptedAnswersAndRecordWhatTheyShowed) {
    toolkit::testing::ScriptInputAnswer(true, "新名字");
    toolkit::testing::ScriptInputAnswer(false, "");
    toolkit::testing::ScriptMessageAnswer(toolkit::kResultCancel);
    std::string entered;
    EXPECT_TRUE(toolkit::InputBox("请输入新名称", "输入名称", "", 1, entered));
    EXPECT_EQ(entered, "新名字");
    EXPECT_FALSE(toolkit::InputBox("p", "t", "x", 1, entered));
    EXPECT_EQ(toolkit::MessageBox("确认？", toolkit::kMbOkCancel | toolkit::kMbIconExclamation, "提示"),
              toolkit::kResultCancel);
    // Nothing scripted: cancelled without showing anything.
    EXPECT_FALSE(toolkit::InputBox("p", "t", "", 1, entered));
    const auto shown = toolkit::testing::TakeShownDialogs();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[0].text, "请输入新名称");
    EXPECT_EQ(shown[0].caption, "输入名称");
    EXPECT_EQ(shown[2].kind, "message");
    EXPECT_EQ(shown[2].style, 0x31);
}

// Shown for real, the dialogs read in Chinese, whether or not Qt's own
// translation is there.
TEST_F(ToolkitWidgets, RealDialogsHaveChineseButtons) {
    window.Show();
    toolkit::testing::SetScriptedDialogsOnly(false);
    struct Case {
        int style;
        const char* click;
        std::set<std::string> buttons;
        int result;
    };
    const Case cases[] = {
        {toolkit::kMbOkCancel | toolkit::kMbIconExclamation,
         "取消",
         {"确定", "取消"},
         toolkit::kResultCancel},
        {toolkit::kMbOkCancel | toolkit::kMbIconExclamation, "确定", {"确定", "取消"}, toolkit::kResultOk},
        {toolkit::kMbOk | toolkit::kMbIconError, "确定", {"确定"}, toolkit::kResultOk},
        {4, "否", {"是", "否"}, 6},
        {2, "重试", {"中止", "重试", "忽略"}, 3},
    };
    for (const auto& c : cases) {
        toolkit::testing::AnswerNextDialog(c.click);
        EXPECT_EQ(toolkit::MessageBox("你确认删除这1个文件及其包含的其他文件吗？", c.style, "提示"),
                  c.result);
        const auto seen = toolkit::testing::TakeAnsweredDialog();
        ASSERT_TRUE(seen.has_value());
        EXPECT_TRUE(seen->clicked) << c.click;
        EXPECT_EQ(std::set<std::string>(seen->buttons.begin(), seen->buttons.end()), c.buttons);
        EXPECT_EQ(seen->title, "提示");
    }
    toolkit::testing::AnswerNextDialog("确定");
    std::string entered;
    EXPECT_TRUE(toolkit::InputBox("请输入要创建目录的名称", "输入名称", "新建文件夹", 1, entered));
    EXPECT_EQ(entered, "新建文件夹");
    const auto input = toolkit::testing::TakeAnsweredDialog();
    ASSERT_TRUE(input.has_value());
    EXPECT_EQ(std::set<std::string>(input->buttons.begin(), input->buttons.end()),
              (std::set<std::string>{"确定", "取消"}));
    EXPECT_EQ(input->text, "请输入要创建目录的名称");
    // Qt's own texts (its edit menus, its other dialogs) come from its
    // Chinese translation, which the set-up installs.
    EXPECT_EQ(toolkit::testing::QtText("QPlatformTheme", "Cancel"), "取消");
    toolkit::testing::SetScriptedDialogsOnly(true);
}

TEST_F(ToolkitWidgets, CallsFromAnotherThreadRunOnTheUiThreadAndShutDownReleasesThem) {
    toolkit::ListView list;
    list.Create(window, Rect{0, 0, 300, 200});
    list.AddColumn("a", 50);
    std::atomic<bool> workerDone{false};
    std::atomic<int> rowSeen{-1};
    std::thread worker([&] {
        rowSeen = list.InsertRow(-1, "from worker", 5);
        workerDone = true;
    });
    for (int i = 0; i < 500 && !workerDone; ++i) {
        toolkit::ProcessPendingEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    worker.join();
    EXPECT_EQ(rowSeen, 0);
    EXPECT_EQ(list.CellText(0, 0), "from worker");

    // The UI thread stops serving calls (as at shut-down, while it waits for
    // the worker): the worker's call returns without touching the widget.
    std::atomic<bool> started{false};
    std::thread blocked([&] {
        started = true;
        list.SetCellText(0, 0, "late");
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    toolkit::BeginShutdown();
    blocked.join();
    toolkit::ProcessPendingEvents();
    EXPECT_EQ(list.CellText(0, 0), "from worker");
}

TEST_F(ToolkitWidgets, MenusListTheirItemsAndChooseRunsTheHandler) {
    toolkit::Menu menu;
    menu.Create(window, "远程菜单", false);
    int refreshed = 0;
    menu.AddItem("刷新目录", [&] { ++refreshed; });
    menu.AddSeparator();
    menu.AddItem("重命名", [] {});
    EXPECT_EQ(menu.Items(), (std::vector<std::string>{"刷新目录", "", "重命名"}));
    EXPECT_TRUE(menu.Choose("刷新目录"));
    EXPECT_FALSE(menu.Choose("删除"));
    EXPECT_EQ(refreshed, 1);
}

TEST_F(ToolkitWidgets, TheImageListHoldsElevenDistinctPictures) {
    std::set<std::vector<std::uint32_t>> seen;
    for (int i = 0; i < toolkit::kImageCount; ++i) {
        const auto pixels = toolkit::testing::ImagePixels(i);
        ASSERT_EQ(pixels.size(), 256u) << "picture " << i;
        int opaque = 0;
        for (auto p : pixels) opaque += (p >> 24) > 0x80 ? 1 : 0;
        EXPECT_GT(opaque, 40) << "picture " << i;
        seen.insert(pixels);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(toolkit::kImageCount));
    EXPECT_TRUE(toolkit::testing::ImagePixels(11).empty());
}

}  // namespace
