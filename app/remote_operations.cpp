// Remote create-folder and delete. Both run on the UI thread through ftpClient
// and end by listing the current remote folder again.
//
// A delete takes a snapshot of the rows before it acts, because every folder
// it empties is listed into remoteList on the way. The walk only ever forms
// paths below the selected folders: the parent row, "." and "..", and names
// that would climb out ("a/../..") are never used, and a link is removed as an
// entry, never entered, so nothing outside the selection is touched whatever a
// server lists.
#include "app/remote_operations.h"

#include <vector>

#include "app/app.h"
#include "app/list_texts.h"
#include "app/remote_view.h"
#include "app/running_action.h"
#include "app/session_log.h"
#include "downlib/entry_name.h"

namespace app {

namespace {

constexpr int kStatePane = 0;
constexpr int kActionPane = 2;

struct Entry {
    std::string name;
    bool folder = false;
    bool link = false;
};

void SetPane(App& app, int pane, const std::string& text) {
    app.ui.statusBar.SetPaneText(pane, text);
    app.ui.statusBar.RedrawNow();
}

// A server path without doubled or trailing slashes ("//a/b/" is "/a/b").
std::string PlainFolderPath(const std::string& path) {
    std::string plain;
    for (char c : path) {
        if (c == '/' && !plain.empty() && plain.back() == '/') continue;
        plain += c;
    }
    while (plain.size() > 1 && plain.back() == '/') plain.pop_back();
    return plain;
}

// True when the server's PWD names the folder `path`; false when it names
// another one or none.
bool SameFolder(const std::string& pwd, const std::string& path) {
    return !pwd.empty() && PlainFolderPath(pwd) == PlainFolderPath(path);
}

Entry RowEntry(App& app, int row) {
    const toolkit::ListView& list = app.ui.remoteList;
    Entry entry;
    entry.name = list.CellText(row, 0);
    entry.folder = list.CellText(row, 2) == kFolderType;
    entry.link = RemoteRowIsLink(app, row);
    return entry;
}

void DeleteFileEntry(App& app, const std::string& folder, const std::string& name) {
    SetPane(app, kActionPane, std::string("动作:删除文件:") + name);
    // A refusal is in the log already; the walk goes on.
    app.ftpClient.DeleteEntry(folder + "/" + name);
}

class DeleteWalk {
public:
    DeleteWalk(App& app, const DeleteLimits& limits) : app_(app), limits_(limits) {}

    // Returns false when something below the entry was left alone on
    // purpose (a name that would climb out, a folder past the depth bound).
    bool DeleteEntryIn(const std::string& folder, const Entry& entry, int depth) {
        if (stopped_) return false;
        if (entry.folder && !entry.link) return Folder(folder + "/" + entry.name, depth);
        DeleteFileEntry(app_, folder, entry.name);
        return true;
    }

    // Deletes folder `path` at nesting depth `depth` (1 for a selected folder).
    bool Folder(const std::string& path, int depth) {
        if (stopped_) return false;
        if (depth > limits_.maxDepth) {
            AppendLogNow(app_, "目录层次过深, 不再进入:" + path);
            return false;
        }
        if (++folders_ > limits_.maxFolders) {
            AppendLogNow(app_, "要删除的目录过多, 停止删除:" + path);
            stopped_ = true;
            return false;
        }
        bool whole = true;
        // A folder the server will not enter would list the folder it is
        // still in, and its entries would be taken for this folder's.
        if (app_.ftpClient.ChangeDir(path)) {
            // A server that lists a link as a folder and follows it on CWD
            // would have us empty the link's target: the folder entered must
            // be exactly the one named.
            const std::string here = app_.ftpClient.GetCurrentDir();
            if (!SameFolder(here, path)) {
                AppendLogNow(app_, "进入的目录(" + here + ")不是要删除的目录, 不删除:" + path);
                return false;
            }
            ListRemoteFolder(app_, path);
            std::vector<Entry> entries;
            const toolkit::ListView& list = app_.ui.remoteList;
            for (int row = 1; row < list.RowCount(); ++row) {
                Entry entry = RowEntry(app_, row);
                if (!downlib::IsSafeEntryName(entry.name, downlib::EntryNameUse::ServerChild)) {
                    AppendLogNow(app_, "条目名称异常, 不删除:" + path + "/" + entry.name);
                    whole = false;
                    continue;
                }
                entries.push_back(std::move(entry));
            }
            for (const Entry& entry : entries) whole = DeleteEntryIn(path, entry, depth + 1) && whole;
            ListRemoteFolder(app_, RemoteParentPath(path));
        }
        if (stopped_) return false;
        // RemoveDir empties the folder with a walk of its own over a fresh
        // listing; a folder that still holds what this walk refused is left,
        // so that walk never meets it either.
        if (!whole) {
            AppendLogNow(app_, "目录未清空, 不删除:" + path);
            return false;
        }
        SetPane(app_, kActionPane, "动作:删除目录:" + path);
        app_.ftpClient.RemoveDir(path);
        return true;
    }

private:
    App& app_;
    DeleteLimits limits_;
    int folders_ = 0;
    bool stopped_ = false;
};

}  // namespace

void CreateRemoteFolder(App& app) {
    const RunningAction action(app, "创建目录");
    if (action.Refused()) return;
    std::string name;
    if (!toolkit::InputBox(kCreateFolderPrompt, kCreateFolderCaption, kNewFolderName, 1, name)) return;
    const std::string folder = app.ftpClient.GetCurrentDir();
    // The name goes to the server as typed; the server judges it.
    if (app.ftpClient.MakeDir(folder + "/" + name)) {
        ListRemoteFolder(app, folder);
        return;
    }
    toolkit::MessageBox(kCreateFailedText, toolkit::kMbIconError | toolkit::kMbOk, "提示");
}

void DeleteSelected(App& app) {
    const RunningAction action(app, "删除");
    if (action.Refused()) return;
    const toolkit::ListView& list = app.ui.remoteList;
    std::vector<Entry> entries;
    std::vector<std::string> refused;
    for (const int row : list.SelectedRows()) {
        // Row 0 leads back to the parent folder; it is not an entry.
        if (row == 0 && list.CellText(0, 0) == kParentRowText) continue;
        Entry entry = RowEntry(app, row);
        if (!downlib::IsSafeEntryName(entry.name, downlib::EntryNameUse::ServerChild)) {
            refused.push_back(entry.name);
            continue;
        }
        entries.push_back(std::move(entry));
    }
    for (const std::string& name : refused) AppendLogNow(app, "条目名称异常, 不删除:" + name);
    if (entries.empty()) return;

    const std::string question =
        "你确认删除这" + std::to_string(entries.size()) + "个文件及其包含的其他文件吗？";
    if (toolkit::MessageBox(question, toolkit::kMbOkCancel | toolkit::kMbIconExclamation, "提示") !=
        toolkit::kResultOk) {
        return;
    }

    // Asked only after the confirmation, so that a cancel sends nothing.
    const std::string folder = app.ftpClient.GetCurrentDir();
    SetPane(app, kStatePane, "进行中");
    DeleteWalk walk(app, DeleteLimits{});
    for (const Entry& entry : entries) walk.DeleteEntryIn(folder, entry, 1);
    ListRemoteFolder(app, app.ftpClient.GetCurrentDir());
    SetPane(app, kStatePane, "已就绪");
    SetPane(app, kActionPane, "动作:无");
}

void DeleteRemoteFolder(App& app, const std::string& path) { DeleteRemoteFolder(app, path, DeleteLimits{}); }

void DeleteRemoteFolder(App& app, const std::string& path, const DeleteLimits& limits) {
    DeleteWalk(app, limits).Folder(path, 1);
}

}  // namespace app
