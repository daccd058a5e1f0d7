// The local view: listing a folder, moving through folders, and the settings
// file written on every folder change and read at start-up.
#include "app/local_view.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "app/settings_file.h"
#include "app_fixture.h"
#include "toolkit/files.h"

namespace {

using apptest::AppTest;

class LocalViewTest : public AppTest {
protected:
    std::string StoredFolder() {
        return toolkit::ReadSetting(app->settingsFile, "配置项", "上次路径", "<none>");
    }
    // Rows after the parent row, in list order.
    std::vector<std::string> EntryRows() {
        auto rows = Rows(app->ui.localList, 3);
        EXPECT_FALSE(rows.empty());
        if (rows.empty()) return rows;
        EXPECT_EQ(rows[0], "返回上级目录||");
        EXPECT_EQ(app->ui.localList.CellIcon(0, 0), 9);
        rows.erase(rows.begin());
        return rows;
    }
    int RowOf(const std::string& name) {
        for (int r = 0; r < app->ui.localList.RowCount(); ++r) {
            if (app->ui.localList.CellText(r, 0) == name) return r;
        }
        return -1;
    }
};

TEST_F(LocalViewTest, AFolderListsItsFoldersAndFilesWithSizesTypesAndIcons) {
    testsupport::WriteFile(home + "/setup.EXE", std::string(1234, 'x'));
    testsupport::WriteFile(home + "/报告 2024.txt", "abc");
    testsupport::WriteFile(home + "/readme", "");
    testsupport::WriteFile(home + "/.hidden", "h");
    testsupport::MakeDirs(home + "/v1.2");
    testsupport::MakeDirs(home + "/Apps");
    testsupport::WriteFile(home + "/zoo.TXT", "zz");
    Show();
    // Folders and files mixed, in name order whatever the case.
    EXPECT_EQ(EntryRows(), (std::vector<std::string>{".hidden|1|hidden", "Apps||文件夹", "readme|0|文件",
                                                     "setup.EXE|1,234|EXE", "v1.2||文件夹", "zoo.TXT|2|TXT",
                                                     "报告 2024.txt|3|txt"}));
    EXPECT_EQ(app->ui.localList.CellIcon(RowOf("setup.EXE"), 0), 5);
    EXPECT_EQ(app->ui.localList.CellIcon(RowOf("报告 2024.txt"), 0), 7);
    EXPECT_EQ(app->ui.localList.CellIcon(RowOf("v1.2"), 0), 1);
}

TEST_F(LocalViewTest, FoldersOpenAndTheParentRowGoesUpSavingEachFolder) {
    testsupport::MakeDirs(home + "/a b/c");
    Show();
    toolkit::testing::DoubleClickRow(app->ui.localList, RowOf("a b"));
    EXPECT_EQ(app->ui.localPathCombo.Text(), home + "/a b");
    EXPECT_EQ(StoredFolder(), home + "/a b");
    EXPECT_EQ(EntryRows(), (std::vector<std::string>{"c||文件夹"}));

    toolkit::testing::DoubleClickRow(app->ui.localList, 0);
    EXPECT_EQ(app->ui.localPathCombo.Text(), home);
    EXPECT_EQ(StoredFolder(), home);

    // A file row does nothing.
    testsupport::WriteFile(home + "/f.txt", "1");
    app::FillLocalList(*app, home, app::kLocalListMask);
    toolkit::testing::DoubleClickRow(app->ui.localList, RowOf("f.txt"));
    EXPECT_EQ(app->ui.localPathCombo.Text(), home);
}

TEST_F(LocalViewTest, TheParentRowAtTheRootListsTheRootAgain) {
    Show();
    toolkit::testing::TypeOver(app->ui.localPathCombo, "/");
    toolkit::testing::PressKey(app->ui.localPathCombo, 13);
    const int rows = app->ui.localList.RowCount();
    EXPECT_GT(rows, 1);
    toolkit::testing::DoubleClickRow(app->ui.localList, 0);
    EXPECT_EQ(app->ui.localPathCombo.Text(), "/");
    EXPECT_EQ(StoredFolder(), "/");
    EXPECT_EQ(app->ui.localList.RowCount(), rows);
    // A folder below the root is joined without a doubled separator.
    const int etc = RowOf("etc");
    ASSERT_GT(etc, 0);
    toolkit::testing::DoubleClickRow(app->ui.localList, etc);
    EXPECT_EQ(app->ui.localPathCombo.Text(), "/etc");
}

TEST_F(LocalViewTest, TypedPathsListOnEnterOnlyAndMissingFoldersShowTheParentRow) {
    testsupport::MakeDirs(home + "/x");
    testsupport::WriteFile(home + "/x/in.txt", "1");
    Show();
    toolkit::testing::TypeOver(app->ui.localPathCombo, home + "/x");
    toolkit::testing::PressKey(app->ui.localPathCombo, 27);
    EXPECT_EQ(StoredFolder(), "<none>");
    toolkit::testing::PressKey(app->ui.localPathCombo, 13);
    EXPECT_EQ(StoredFolder(), home + "/x");
    EXPECT_EQ(EntryRows(), (std::vector<std::string>{"in.txt|1|txt"}));

    toolkit::testing::TypeOver(app->ui.localPathCombo, home + "/missing");
    toolkit::testing::PressKey(app->ui.localPathCombo, 13);
    EXPECT_EQ(Rows(app->ui.localList, 3), (std::vector<std::string>{"返回上级目录||"}));
    // Saved all the same.
    EXPECT_EQ(StoredFolder(), home + "/missing");
}

// Typing is not a folder change: only Enter (or a drop-down pick) lists and
// saves. Leaving the combo keeps the typed text, which is where the next
// download goes, even when it names a drive of the drop-down.
TEST_F(LocalViewTest, TypingAPathAndLeavingWithoutEnterChangesNothing) {
    testsupport::MakeDirs(home + "/x");
    testsupport::WriteFile(home + "/here.txt", "h");
    Show();
    const auto rowsBefore = Rows(app->ui.localList, 3);
    struct Case {
        std::string typed;
        bool leaveWithTab;  // else a click into the host field
    };
    const Case cases[] = {{"/", true}, {"/", false}, {home + "/x", true}, {home, false}, {"/e", true}};
    for (const auto& c : cases) {
        toolkit::testing::TypeOver(app->ui.localPathCombo, c.typed);
        if (c.leaveWithTab) {
            toolkit::testing::PressKeyOnFocus(9);
        } else {
            toolkit::testing::ClickControl(app->ui.hostEdit);
        }
        toolkit::ProcessPendingEvents();
        EXPECT_FALSE(toolkit::testing::HasFocus(app->ui.localPathCombo)) << c.typed;
        EXPECT_EQ(app->ui.localPathCombo.EditText(), c.typed);
        EXPECT_EQ(Rows(app->ui.localList, 3), rowsBefore) << c.typed;
        EXPECT_EQ(StoredFolder(), "<none>") << c.typed;
    }
}

// A local listing processes events after every entry. A folder chosen
// meanwhile replaces the unfinished listing: the list shows that folder
// alone, never a mix of both.
TEST_F(LocalViewTest, ANewFolderDuringALongListingReplacesItCleanly) {
    for (int i = 0; i < 2000; ++i) testsupport::WriteFile(home + "/big/f" + std::to_string(i), "");
    testsupport::WriteFile(home + "/small/one.txt", "1");
    testsupport::WriteFile(home + "/small/two.txt", "22");
    Show();
    toolkit::Timer chooser;
    bool typed = false;
    chooser.Start(1, [&] {
        if (typed || app->ui.localList.RowCount() < 2) return;
        typed = true;
        toolkit::testing::TypeOver(app->ui.localPathCombo, home + "/small");
        toolkit::testing::PressKey(app->ui.localPathCombo, 13);
    });
    toolkit::testing::TypeOver(app->ui.localPathCombo, home + "/big");
    toolkit::testing::PressKey(app->ui.localPathCombo, 13);
    chooser.Stop();
    ASSERT_TRUE(typed);
    EXPECT_EQ(EntryRows(), (std::vector<std::string>{"one.txt|1|txt", "two.txt|2|txt"}));
    EXPECT_EQ(app->ui.localPathCombo.Text(), home + "/small");
    EXPECT_EQ(StoredFolder(), home + "/small");
}

TEST_F(LocalViewTest, AFolderThatCannotBeReadListsOnlyTheParentRow) {
    testsupport::WriteFile(home + "/plain.txt", "1");
    testsupport::MakeDirs(home + "/locked");
    testsupport::WriteFile(home + "/locked/f", "1");
    chmod((home + "/locked").c_str(), 0);
    // Root reads every folder; a file named as a folder cannot be read by anyone.
    std::vector<std::string> unreadable{home + "/plain.txt"};
    if (geteuid() != 0) unreadable.push_back(home + "/locked");
    Show();
    for (const auto& path : unreadable) {
        toolkit::testing::TypeOver(app->ui.localPathCombo, path);
        toolkit::testing::PressKey(app->ui.localPathCombo, 13);
        EXPECT_EQ(Rows(app->ui.localList, 3), (std::vector<std::string>{"返回上级目录||"})) << path;
    }
    chmod((home + "/locked").c_str(), 0700);
    EXPECT_TRUE(toolkit::testing::TakeShownDialogs().empty());
}

TEST_F(LocalViewTest, ChoosingADriveListsAndSavesIt) {
    Show();
    ASSERT_GE(app->ui.localPathCombo.EntryCount(), 2);
    EXPECT_EQ(app->ui.localPathCombo.EntryText(1), "/");
    toolkit::testing::ChooseEntry(app->ui.localPathCombo, 1);
    EXPECT_EQ(app->ui.localPathCombo.Text(), "/");
    EXPECT_EQ(StoredFolder(), "/");
    EXPECT_GT(RowOf("etc"), 0);
}

TEST_F(LocalViewTest, StartUpRestoresTheStoredFolder) {
    testsupport::MakeDirs(home + "/下载");
    testsupport::WriteFile(home + "/下载/a.zip", "zz");
    ASSERT_TRUE(toolkit::WriteSetting(app->settingsFile, "配置项", "上次路径", home + "/下载"));
    Show();
    EXPECT_EQ(app->ui.localPathCombo.Text(), home + "/下载");
    EXPECT_EQ(EntryRows(), (std::vector<std::string>{"a.zip|2|zip"}));
}

// Without the key the first drive is the start folder; a stored folder is
// kept whatever it holds now, and a missing one lists only the parent row.
TEST_F(LocalViewTest, StartUpKeepsAStoredFolderThatIsGoneAndStartsAtTheFirstDriveWithoutOne) {
    std::string garbage;
    for (int i = 0; i < 3000; ++i) garbage += static_cast<char>((i * 37 + 11) % 256);
    testsupport::WriteFile(home + "/f.txt", "1");
    struct Case {
        std::string content;
        std::string folder;
        bool onlyParentRow;
    };
    const Case cases[] = {
        {"[配置项]\n别的键=/tmp\n", home, false},
        {garbage, home, false},
        {"[配置项]\n上次路径=" + home + "/gone\n", home + "/gone", true},
        // Read with a buffer of 10240 bytes: the value is cut, not refused.
        {"[配置项]\n上次路径=" + std::string(20000, '/') + "x\n", std::string(10239, '/'), true},
    };
    for (const auto& c : cases) {
        Restart();
        testsupport::WriteFile(app->settingsFile, c.content);
        Show();
        EXPECT_EQ(app->ui.localPathCombo.Text(), c.folder) << c.content.substr(0, 40);
        const auto rows = Rows(app->ui.localList, 3);
        EXPECT_EQ(rows.size() == 1, c.onlyParentRow) << c.content.substr(0, 40);
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0], "返回上级目录||");
        // Start-up only reads the file.
        EXPECT_EQ(testsupport::ReadFile(app->settingsFile), c.content);
        EXPECT_TRUE(toolkit::testing::TakeShownDialogs().empty());
    }
}

}  // namespace
