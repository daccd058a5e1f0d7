// The window with a connected remote view and a local folder to upload from:
// the folder is typed into the local path combo with Enter, its rows are
// selected in localList, and "上传文件" is chosen from the local list's popup
// menu, opened with a right click on a selected row.
#pragma once

#include <string>
#include <vector>

#include "app/local_view.h"
#include "app/upload_request.h"
#include "queue_fixture.h"
#include "toolkit/files.h"

namespace apptest {

class UploadTest : public QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        // Blanks and Chinese in the local folder too; canonical, as the
        // paths of a folder's content are.
        source = toolkit::CanonicalPath(home_.Subdir("上传 源"));
    }

    // Lists the folder in localList as the user does: typed, then Enter.
    void ShowLocal(const std::string& folder) {
        toolkit::testing::TypeOver(app->ui.localPathCombo, folder);
        toolkit::testing::PressKey(app->ui.localPathCombo, 13);
    }

    int LocalRowOf(const std::string& name) {
        for (int r = 0; r < app->ui.localList.RowCount(); ++r) {
            if (app->ui.localList.CellText(r, 0) == name) return r;
        }
        return -1;
    }

    // Selects exactly these rows of localList; false when one is missing.
    bool SelectLocal(const std::vector<std::string>& names) {
        toolkit::ListView& list = app->ui.localList;
        for (int r = 0; r < list.RowCount(); ++r) list.SelectRow(r, false);
        for (const auto& name : names) {
            const int r = LocalRowOf(name);
            if (r < 0) return false;
            list.SelectRow(r, true);
        }
        return true;
    }

    // Right-clicks the first selected row and chooses "上传文件".
    void UploadThroughMenu() {
        const std::vector<int> selected = app->ui.localList.SelectedRows();
        toolkit::testing::RightClickRow(app->ui.localList, selected.empty() ? 0 : selected.front());
        ASSERT_TRUE(toolkit::testing::PopupMenuVisible(app->ui.localMenu));
        ASSERT_TRUE(app->ui.localMenu.Choose("上传文件"));
    }

    std::string source;
};

}  // namespace apptest
