// The download request: the selected rows of remoteList and, for a folder,
// everything below it, queued as rows.
#pragma once

#include <string>

namespace app {

struct App;

// Handler of the remoteMenu item "下载文件".
void QueueDownloadRequest(App& app);

// Appends the rows for the content of the remote folder F, recursing into its
// subfolders, with L as every row's local folder. Uses the server, the
// credentials and the base folder of the current session.
void ExpandRemoteFolder(App& app, const std::string& folder, const std::string& localFolder);

// The local name of a remote name: as it is, or converted from GBK to UTF-8
// (bytes that do not convert become "%XX") when its listing was read as GBK.
std::string LocalNameFor(const std::string& remoteName, bool listedAsGbk);

}  // namespace app
