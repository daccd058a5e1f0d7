// The local view: drive list, folder listing in the order the system gives,
// parent navigation, and saving the folder on every change.
#include "app/local_view.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "app/app.h"
#include "app/list_texts.h"
#include "app/picked_rows.h"
#include "app/settings_file.h"
#include "app/task_queue.h"
#include "toolkit/files.h"

namespace app {

void FillDriveList(App& app) {
    toolkit::ComboBox& combo = app.ui.localPathCombo;
    for (const std::string& drive : toolkit::DriveList()) combo.AddEntry(drive);
    combo.SetCurrentSelection(0);
}

void FillLocalList(App& app, const std::string& folder, int mask) {
    // Events are processed after every entry; a folder change among them
    // starts a newer listing, which this one must then leave alone.
    const std::uint64_t fill = ++app.localListFill;
    app.localListFolder = folder;
    toolkit::ListView& list = app.ui.localList;
    list.Clear();
    toolkit::SuspendRepaint(list);
    list.InsertRow(-1, kParentRowText, kImageParent);
    std::string base = folder;
    if (base.empty() || base.back() != '/') base += '/';
    for (const std::string& name : toolkit::EnumerateDirectory(base, mask)) {
        if (name == "." || name == "..") continue;
        const int attributes = toolkit::FileAttributes(base + name);
        if (attributes >= 0 && (attributes & toolkit::kAttrDirectory) != 0) {
            toolkit::ProcessPendingEvents();
            if (app.localListFill != fill) return;
            const int r = list.InsertRow(-1, name, kImageFolder, toolkit::TextOrigin::Foreign);
            list.SetCellText(r, 2, kFolderType);
        } else {
            const std::string type = FileTypeText(name);
            const int r = list.InsertRow(-1, name, IconForType(type), toolkit::TextOrigin::Foreign);
            list.SetCellText(
                r, 2, type,
                type == kPlainFileType ? toolkit::TextOrigin::Program : toolkit::TextOrigin::Foreign);
            list.SetCellText(r, 1, FormatGroupedSize(toolkit::FileSize(base + name)));
            toolkit::ProcessPendingEvents();
            if (app.localListFill != fill) return;
        }
    }
    toolkit::ResumeRepaint(list);
}

std::string LocalParentPath(const std::string& path) {
    const auto pieces = toolkit::Split(path, "/");
    if (pieces.size() < 2) return path;
    const std::string parent = toolkit::Join(pieces, pieces.size() - 1, "/");
    // "/a" has the root as its parent.
    return parent.empty() ? "/" : parent;
}

std::string LocalChildPath(const std::string& folder, const std::string& name) {
    // The root "/" is a drive name that already ends in the separator.
    if (folder == "/") return folder + name;
    return folder + "/" + name;
}

void RestoreLocalFolder(App& app) {
    toolkit::ComboBox& combo = app.ui.localPathCombo;
    // A folder that is gone (an unplugged disk) stays the current folder and
    // lists with only the parent row, like any folder typed that is missing;
    // a file without the key starts at the first drive. The value read is
    // bounded by the settings reader.
    combo.SetText(ReadLocalFolder(app, combo.Text()));
    FillLocalList(app, combo.Text(), kLocalListMask);
}

namespace {

void ChangeLocalFolder(App& app, const std::string& folder) {
    app.ui.localPathCombo.SetText(folder);
    SaveLocalFolder(app);
    FillLocalList(app, folder, kLocalListMask);
}

}  // namespace

void OpenLocalEntry(App& app) {
    toolkit::ListView& list = app.ui.localList;
    const int row = list.CurrentRow();
    const std::string current = app.ui.localPathCombo.Text();
    if (row == 0) {
        ChangeLocalFolder(app, LocalParentPath(current));
    } else if (row > 0 && list.CellText(row, 2) == kFolderType) {
        ChangeLocalFolder(app, LocalChildPath(current, list.CellText(row, 0)));
    }
}

void OnLocalPathChosen(App& app) {
    SaveLocalFolder(app);
    FillLocalList(app, app.ui.localPathCombo.Text(), kLocalListMask);
}

void RefreshLocal(App& app) { FillLocalList(app, app.localListFolder, kLocalListMask); }

void ListLocalAfterDownloads(App& app) {
    if (app.windowClosed || !TakeLocalListingDue(app)) return;
    toolkit::ListView& list = app.ui.localList;
    const PickedRows picked = TakePickedRows(list);
    const int scroll = list.ScrollPosition();
    const std::uint64_t fill = app.localListFill + 1;
    FillLocalList(app, app.localListFolder, kLocalListMask);
    // The user chose another folder while this one was listed: that listing is his.
    if (app.localListFill != fill) return;
    RestorePickedRows(list, picked);
    list.SetScrollPosition(scroll);
}

void OnLocalPathKey(App& app, int keyCode) {
    if (keyCode != 13) return;
    SaveLocalFolder(app);
    FillLocalList(app, app.ui.localPathCombo.Text(), kLocalListMask);
    app.ui.localList.RedrawNow();
}

}  // namespace app
