// The remote folder view: remoteList with remotePathCombo above it. Lists a
// server folder (parent row, folders, files), moves through folders, refreshes
// and renames entries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace app {

struct App;

inline constexpr const char* kRenameFailedText =
    "重命名失败！原因可能是：\r\n1、名称已存在\r\n2、此文件不可更名\r\n3、网络异常";

// Row data of remoteList: set on a row that is a symbolic link. It shows and
// opens like a folder; a delete or a download must not follow it.
inline constexpr std::int64_t kRowIsLink = 1;

// One entry of a listed server folder, as the engine listed it.
struct RemoteEntry {
    std::string name;
    bool folder = false;  // a folder, or a link, which shows and opens as one
    bool link = false;
    std::int64_t size = 0;
    std::string time;  // as the list shows it

    bool operator==(const RemoteEntry&) const = default;
};

// A listed folder's entries in the order of remoteList's rows below the
// parent row (row i + 1 is entries[i]), and whether the list showed the
// names as GBK.
struct RemoteListing {
    std::vector<RemoteEntry> entries;
    bool gbk = false;

    bool operator==(const RemoteListing&) const = default;
};

// Lists the server folder into remoteList and keeps what it listed as the
// shown listing (App::remoteListing).
const RemoteListing& ListRemoteFolder(App& app, const std::string& path);
// The entry that row `row` of remoteList shows; nothing for the parent row.
std::optional<RemoteEntry> ShownRemoteEntry(const App& app, int row);
std::string RemoteParentPath(const std::string& path);
bool RemoteRowIsLink(App& app, int row);

// Handlers.
void OpenRemoteEntry(App& app);
void RefreshRemote(App& app);
void RenameRemoteEntry(App& app);
void OnRemotePathChosen(App& app);
void OnRemotePathKey(App& app, int keyCode);
void ShowRemoteMenu(App& app);

}  // namespace app
