// Creating and deleting remote folders and files from the remote menu.
#pragma once

#include <string>

namespace app {

struct App;

inline constexpr const char* kCreateFolderPrompt = "请输入要创建目录的名称";
inline constexpr const char* kCreateFolderCaption = "输入名称";
inline constexpr const char* kNewFolderName = "新建文件夹";
inline constexpr const char* kCreateFailedText =
    "目录创建失败！原因可能是：\r\n1、目录已存在\r\n2、此处不可创建目录\r\n3、网络异常";

// Bounds of the folder walk of a delete. A hostile server can answer every
// CWD with success and list a new subfolder in every folder; the walk then
// stops descending at maxDepth and stops altogether after maxFolders folders.
struct DeleteLimits {
    int maxDepth = 64;
    int maxFolders = 20000;
};

// Handler of the remoteMenu item "创建目录".
void CreateRemoteFolder(App& app);

// Handler of the remoteMenu item "删除".
void DeleteSelected(App& app);

// Removes the remote folder `path` with everything in it, depth first: each
// folder is listed into remoteList while it is emptied, and removed after the
// view has moved to its parent. Links inside are removed, never entered.
void DeleteRemoteFolder(App& app, const std::string& path);
void DeleteRemoteFolder(App& app, const std::string& path, const DeleteLimits& limits);

}  // namespace app
