// The main window: every control with its caption, geometry and columns, the
// menus, the binding of events to the Application's handlers, and the layout
// routine that re-arranges the controls on every resize and splitter drag.
#pragma once

#include "toolkit/toolkit.h"

namespace app {

struct App;

inline constexpr const char* kWindowCaption =
    "Quorvel游戏社区FTP上传工具  https://www.quorvel.example      ///意见与问题请发往 "
    "ftp-tool@quorvel.example";
inline constexpr const char* kSiteAddress = "https://www.quorvel.example";
// What siteLink2 shows: the address without its scheme, which fits its box.
inline constexpr const char* kSiteCaption = "www.quorvel.example";

// Window-definition names are kept beside each control.
struct MainWindow {
    toolkit::Window mainWindow;
    toolkit::GroupBox quickConnectGroup;  // 分组框_快速连接
    toolkit::Label hostLabel;             // 标签_主机
    toolkit::EditBox hostEdit;            // 编辑框_主机
    toolkit::Label userLabel;             // 标签_用户名
    toolkit::EditBox userEdit;            // 编辑框_用户名
    toolkit::Label passwordLabel;         // 标签_密码
    toolkit::EditBox passwordEdit;        // 编辑框_密码
    toolkit::Label portLabel;             // 标签_端口
    toolkit::EditBox portEdit;            // 编辑框_端口
    toolkit::Button quickConnectButton;   // 按钮_快速连接
    toolkit::HyperLink siteLink2;         // 超级链接框2
    toolkit::GroupBox logGroup;           // 分组框_日志
    toolkit::ListBox logList;             // 列表框_日志
    toolkit::Splitter splitter1;          // 分隔条1
    toolkit::GroupBox localGroup;         // 分组框_本地目录
    toolkit::ComboBox localPathCombo;     // 组合框_本地路径
    toolkit::ListView localList;          // 超级列表框_本地目录
    toolkit::Splitter splitter2;          // 分隔条2
    toolkit::GroupBox remoteGroup;        // 分组框_远程目录
    toolkit::ComboBox remotePathCombo;    // 组合框_快捷路径
    toolkit::ListView remoteList;         // 超级列表框_FTP
    toolkit::Splitter splitter3;          // 分隔条3
    toolkit::GroupBox queueGroup;         // 分组框_任务队列
    toolkit::ListView queueList;          // 超级列表框_任务队列
    toolkit::StatusBar statusBar;         // 状态条
    toolkit::ProgressBar taskProgress;    // 进度条_任务进度
    toolkit::Timer queueTimer;            // 时钟1
    toolkit::Menu mainMenu;               // 菜单
    toolkit::Menu remoteMenu;             // 远程菜单
    toolkit::Menu queueMenu;              // 任务菜单, over queueList
};

// Creates the window and its controls and binds every event. The window stays
// hidden until mainWindow.Show(), which runs StartUp first.
void CreateMainWindow(App& app);

void LayoutMainWindow(MainWindow& ui);

}  // namespace app
