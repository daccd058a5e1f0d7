// The remote view. A listing shows the parent row, then the folders in the
// reverse of their listing order, then the files in listing order; "." and
// ".." are never rows, and a symbolic link shows as a folder that remembers
// it is a link.
#include "app/remote_view.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "app/app.h"
#include "app/list_texts.h"
#include "app/running_action.h"
#include "app/session_log.h"
#include "app/task_queue.h"

namespace app {

namespace {

std::string TimeText(const std::vector<double>& times, std::size_t i) {
    if (i >= times.size()) return {};
    const auto value = toolkit::DateTimeFromDays(times[i]);
    return value ? toolkit::DateTimeToText(*value) : std::string{};
}

}  // namespace

std::string RemoteParentPath(const std::string& path) {
    const auto pieces = toolkit::Split(path, "/");
    std::string parent = pieces.size() < 2 ? std::string{} : toolkit::Join(pieces, pieces.size() - 1, "/");
    // Below the root ("/pub", or "/" itself) the parent is the root, not an
    // empty path the server would refuse.
    if (parent.empty() && !path.empty() && path[0] == '/') return "/";
    return parent;
}

const RemoteListing& ListRemoteFolder(App& app, const std::string& path) {
    MainWindow& ui = app.ui;
    // Any listing shows what uploads have put there so far.
    NoteRemoteListed(app);
    AppendLog(app, ClockText({}, false) + " 取" + path + "文件列表");
    toolkit::SuspendRepaint(ui.remoteList);
    // A folder the server refuses leaves it where it was, and the list below
    // shows that folder: so does the combo, where the user reads where the
    // next download or upload request starts.
    std::string shown = path;
    if (!app.ftpClient.ChangeDir(path) && app.ftpClient.IsConnected()) {
        const std::string here = app.ftpClient.GetCurrentDir();
        if (!here.empty()) shown = here;
    }
    ui.remotePathCombo.SetEditText(shown);
    ui.remotePathCombo.RedrawNow();

    std::vector<std::string> names;
    std::vector<std::int32_t> flags;
    std::vector<std::int64_t> sizes;
    std::vector<double> times;
    app.ftpClient.ListDir(std::nullopt, &names, &flags, &sizes, &times);

    // Folders go directly below the parent row as they come, which reverses
    // their order; files are appended. Building the order first and filling
    // once gives the same rows without moving rows about.
    std::vector<RemoteEntry> folders;
    std::vector<RemoteEntry> files;
    for (std::size_t i = 0; i < names.size(); ++i) {
        RemoteEntry entry;
        entry.name = names[i];
        if (entry.name == "." || entry.name == "..") continue;
        entry.link = i < flags.size() && flags[i] == 1;
        const std::int64_t size = i < sizes.size() ? sizes[i] : 0;
        entry.folder = size == -1 || entry.link;
        entry.size = entry.folder ? 0 : size;
        entry.time = TimeText(times, i);
        (entry.folder ? folders : files).push_back(std::move(entry));
    }
    std::reverse(folders.begin(), folders.end());

    toolkit::ListView& list = ui.remoteList;
    list.Clear();
    list.InsertRow(-1, kParentRowText, kImageParent);
    for (const RemoteEntry& folder : folders) {
        const int r = list.InsertRow(-1, folder.name, kImageFolder, toolkit::TextOrigin::Foreign);
        list.SetCellText(r, 1, "");
        list.SetCellText(r, 2, kFolderType);
        list.SetCellText(r, 3, folder.time);
        if (folder.link) list.SetRowData(r, kRowIsLink);
    }
    for (const RemoteEntry& file : files) {
        const std::string type = FileTypeText(file.name);
        const int r = list.InsertRow(-1, file.name, IconForType(type), toolkit::TextOrigin::Foreign);
        list.SetCellText(r, 1, FormatGroupedSize(file.size));
        list.SetCellText(r, 2, type, TypeOrigin(type));
        list.SetCellText(r, 3, file.time);
    }
    toolkit::ResumeRepaint(list);
    list.RedrawNow();

    RemoteListing& listing = app.remoteListing;
    listing.entries = std::move(folders);
    listing.entries.insert(listing.entries.end(), std::make_move_iterator(files.begin()),
                           std::make_move_iterator(files.end()));
    listing.gbk = list.ShowsForeignAsGbk();
    return listing;
}

std::optional<RemoteEntry> ShownRemoteEntry(const App& app, int row) {
    const std::vector<RemoteEntry>& entries = app.remoteListing.entries;
    if (row < 1 || static_cast<std::size_t>(row) > entries.size()) return std::nullopt;
    return entries[static_cast<std::size_t>(row) - 1];
}

bool RemoteRowIsLink(App& app, int row) { return app.ui.remoteList.RowData(row) == kRowIsLink; }

void OpenRemoteEntry(App& app) {
    toolkit::ListView& list = app.ui.remoteList;
    const int activated = list.CurrentRow();
    // A file row does nothing, also while another action runs.
    if (activated < 0 || (activated > 0 && list.CellText(activated, 2) != kFolderType)) return;
    const RunningAction action(app, "打开目录");
    if (action.Refused()) return;
    if (activated == 0) {
        // The parent of the server's folder, not of the combo text.
        ListRemoteFolder(app, RemoteParentPath(app.ftpClient.GetCurrentDir()));
    }
    const int row = list.CurrentRow();
    if (row < 0 || list.CellText(row, 2) != kFolderType) return;
    const std::string path = app.ftpClient.GetCurrentDir() + "/" + list.CellText(row, 0);
    toolkit::ComboBox& combo = app.ui.remotePathCombo;
    bool known = false;
    for (int i = 0; i < combo.EntryCount() && !known; ++i) known = combo.EntryText(i) == path;
    if (!known) combo.AddEntry(path);
    ListRemoteFolder(app, path);
}

void RefreshRemote(App& app) {
    const RunningAction action(app, "刷新目录");
    if (action.Refused()) return;
    ListRemoteFolder(app, app.ftpClient.GetCurrentDir());
}

void RenameRemoteEntry(App& app) {
    const RunningAction action(app, "重命名");
    if (action.Refused()) return;
    toolkit::ListView& list = app.ui.remoteList;
    const int row = list.CurrentRow();
    const std::string oldName = row >= 0 ? list.CellText(row, 0) : std::string{};
    std::string newName;
    if (!toolkit::InputBox("请输入新名称", "输入名称", "", 1, newName)) return;
    const std::string folder = app.ftpClient.GetCurrentDir();
    if (app.ftpClient.RenameEntry(folder + "/" + oldName, folder + "/" + newName)) {
        ListRemoteFolder(app, folder);
        return;
    }
    toolkit::MessageBox(kRenameFailedText, toolkit::kMbIconError | toolkit::kMbOk, "提示");
}

void OnRemotePathChosen(App& app) {
    const RunningAction action(app, "取文件列表");
    if (action.Refused()) return;
    ListRemoteFolder(app, app.ui.remotePathCombo.EditText());
}

void OnRemotePathKey(App& app, int keyCode) {
    if (keyCode != 13) return;
    const RunningAction action(app, "取文件列表");
    if (action.Refused()) return;
    ListRemoteFolder(app, app.ui.remotePathCombo.EditText());
}

void ShowRemoteMenu(App& app) { app.ui.remoteMenu.PopupAtMouse(); }

}  // namespace app
