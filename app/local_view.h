// The local folder view: localList with localPathCombo above it. The combo's
// drop-down holds the drives; its text is the current local folder, which is
// also where downloads go, and is remembered in the settings file.
#pragma once

#include <string>

namespace app {

struct App;

inline constexpr int kLocalListMask = 55;

void FillDriveList(App& app);
void FillLocalList(App& app, const std::string& folder, int mask);
std::string LocalParentPath(const std::string& path);
// The folder path of a folder row below the given folder.
std::string LocalChildPath(const std::string& folder, const std::string& name);

// Start-up: the stored folder (or the first drive) into the combo and list.
void RestoreLocalFolder(App& app);

// Handlers.
void OpenLocalEntry(App& app);
void OnLocalPathChosen(App& app);
void OnLocalPathKey(App& app, int keyCode);
// Handler of the localMenu item "刷新目录": lists the folder localList shows again.
void RefreshLocal(App& app);
// Handler of queueTimer's tick: once a download request that wrote into the
// shown folder has run through, lists that folder again with the same rows
// picked (by name) and the same scroll position.
void ListLocalAfterDownloads(App& app);

}  // namespace app
