// The local list follows the downloads: once a download request that wrote
// into the folder localList shows has run through, that folder is listed
// again without the user asking, with the picked rows and the scroll position
// kept; a download elsewhere leaves the list alone.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "app/local_view.h"
#include "app/task_queue.h"
#include "queue_fixture.h"
#include "support/fake_ftp_server.h"
#include "support/temp_dir.h"

namespace {

TEST(IsAtOrBelow, ComparesWholeComponents) {
    const struct {
        const char* path;
        const char* folder;
        bool below;
    } cases[] = {
        {"/a/b", "/a/b", true},     {"/a/b/c.txt", "/a/b", true}, {"/a/b/c/d", "/a/b/", true},
        {"/a/bc/d", "/a/b", false}, {"/a", "/a/b", false},        {"/x/y", "/", true},
        {"/a/b", "", false},        {"a/b", "/", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(app::IsAtOrBelow(c.path, c.folder), c.below) << c.path << " in " << c.folder;
}

class LocalListAfterDownloads : public apptest::QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        ASSERT_TRUE(server.ok()) << server.error();
        server.AddFile("/pack/a.txt", "aaaa");
        server.AddFile("/pack/sub/b.txt", "bb");
        server.AddFile("/single.txt", "single");
        Connect("127.0.0.1", server.port(), "demo", "secret");
    }

    // Lists a folder with Enter, then types the download folder without
    // Enter: the list shows one folder while downloads go to another.
    void ShowThenTarget(const std::string& shown) {
        toolkit::testing::TypeOver(app->ui.localPathCombo, shown);
        toolkit::testing::PressKey(app->ui.localPathCombo, 13);
        toolkit::testing::TypeOver(app->ui.localPathCombo, local);
    }

    std::vector<std::string> LocalNames() {
        std::vector<std::string> names;
        for (int r = 1; r < app->ui.localList.RowCount(); ++r)
            names.push_back(app->ui.localList.CellText(r, 0));
        return names;
    }

    std::vector<std::string> PickedNames() {
        std::vector<std::string> names;
        for (int r : app->ui.localList.SelectedRows()) names.push_back(app->ui.localList.CellText(r, 0));
        return names;
    }

    bool Shows(const std::string& name) {
        const std::vector<std::string> names = LocalNames();
        return std::find(names.begin(), names.end(), name) != names.end();
    }

    testsupport::FakeFtpServer server;
};

TEST_F(LocalListAfterDownloads, WhatArrivesInTheShownFolderShowsWithoutARefresh) {
    // Enough rows for the list to scroll.
    for (int i = 0; i < 150; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%03d.txt", i);
        testsupport::WriteFile(local + "/" + name, "x");
    }
    struct Case {
        const char* what;
        std::string shown;          // below `local`
        std::string select;         // the remote row downloaded
        std::string expectedShown;  // a name the list must show afterwards
    };
    const Case cases[] = {
        {"a folder into the shown folder", "", "pack", "pack"},
        {"a file into the shown folder", "", "single.txt", "single.txt"},
        {"the shown folder is filled by the download", "/pack", "pack", "a.txt"},
        {"a subfolder of the shown folder is made", "/pack", "pack", "sub"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::RemoveTree(local + "/pack");
        // Shown, the folder exists already and the download fills it;
        // otherwise the download makes it.
        if (!c.shown.empty()) testsupport::MakeDirs(local + "/pack");
        ::unlink((local + "/single.txt").c_str());
        ShowThenTarget(local + c.shown);
        ASSERT_FALSE(Shows(c.expectedShown));
        toolkit::ListView& list = app->ui.localList;
        int scroll = 0;
        std::vector<std::string> picked;
        if (c.shown.empty()) {
            for (int r = 0; r < list.RowCount(); ++r) {
                const std::string name = list.CellText(r, 0);
                if (name == "f010.txt" || name == "f120.txt") list.SelectRow(r, true);
            }
            picked = PickedNames();
            ASSERT_EQ(picked.size(), 2u);
            list.SetScrollPosition(40);
            scroll = list.ScrollPosition();
            ASSERT_GT(scroll, 0) << "the list does not scroll";
        }
        ASSERT_TRUE(Select({c.select}));
        Download();
        ASSERT_TRUE(QueueFinished()) << testing::PrintToString(QueueRows());
        // The queue timer lists the folder again; nobody presses Enter.
        ASSERT_TRUE(PumpUntil([&] { return Shows(c.expectedShown); }))
            << testing::PrintToString(LocalNames());
        if (c.shown.empty()) {
            EXPECT_EQ(PickedNames(), picked);
            EXPECT_EQ(list.ScrollPosition(), scroll);
        }
    }
}

TEST_F(LocalListAfterDownloads, ADownloadElsewhereLeavesTheShownListAlone) {
    testsupport::TempDir elsewhere("qftp-elsewhere");
    testsupport::WriteFile(elsewhere.file("before.txt"), "b");
    ShowThenTarget(elsewhere.Path());
    // Written behind the window's back: only a new listing would show it.
    testsupport::WriteFile(elsewhere.file("late.txt"), "l");
    const std::uint64_t fills = app->localListFill;
    ASSERT_TRUE(Select({"pack"}));
    Download();
    ASSERT_TRUE(QueueFinished()) << testing::PrintToString(QueueRows());
    EXPECT_EQ(testsupport::ReadFile(local + "/pack/sub/b.txt"), "bb");
    {
        auto& state = app::QueueState(*app);
        std::lock_guard guard(state.lock);
        EXPECT_FALSE(state.localListingDue);
        EXPECT_FALSE(state.localFolderWritten);
    }
    app::ListLocalAfterDownloads(*app);
    EXPECT_EQ(app->localListFill, fills);
    EXPECT_EQ(LocalNames(), (std::vector<std::string>{"before.txt"}));
}

}  // namespace
