// Creating and deleting remote folders and files from the remote menu.
#pragma once

namespace app {

struct App;

// Handler of the remoteMenu item "创建目录".
void CreateRemoteFolder(App& app);

// Handler of the remoteMenu item "删除".
void DeleteSelected(App& app);

}  // namespace app
