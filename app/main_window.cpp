// The main window's controls, menus, event bindings and LayoutMainWindow.
#include "app/main_window.h"

#include <utility>

#include "app/app.h"
#include "app/download_request.h"
#include "app/local_view.h"
#include "app/quick_connect.h"
#include "app/remote_operations.h"
#include "app/remote_view.h"
#include "app/running_action.h"
#include "app/startup.h"
#include "app/task_queue.h"
#include "app/transfer_driver.h"
#include "app/upload_request.h"
#include "quorvel_version.h"

namespace app {

namespace {

using toolkit::Rect;

// Every division of the layout is done in floating point and cut toward zero.
int Part(int whole, double divisor) { return static_cast<int>(whole / divisor); }

void CreateControls(MainWindow& ui) {
    ui.mainWindow.Create(kWindowCaption, Rect{50, 50, 850, 681});

    ui.quickConnectGroup.Create(ui.mainWindow, Rect{2, 1, 755, 47}, "快速连接");
    ui.hostLabel.Create(ui.quickConnectGroup, Rect{7, 16, 28, 24}, "主机");
    ui.hostEdit.Create(ui.quickConnectGroup, Rect{35, 18, 154, 20}, "");
    ui.userLabel.Create(ui.quickConnectGroup, Rect{204, 16, 34, 24}, "用户名");
    ui.userEdit.Create(ui.quickConnectGroup, Rect{244, 18, 135, 20}, "");
    ui.passwordLabel.Create(ui.quickConnectGroup, Rect{388, 16, 34, 24}, "密码");
    ui.passwordEdit.Create(ui.quickConnectGroup, Rect{417, 18, 135, 20}, "");
    ui.passwordEdit.SetPasswordEntry();
    ui.portLabel.Create(ui.quickConnectGroup, Rect{561, 16, 34, 24}, "端口");
    ui.portEdit.Create(ui.quickConnectGroup, Rect{589, 18, 45, 20}, "21");
    ui.portEdit.SetIntegerEntry();
    ui.quickConnectButton.Create(ui.quickConnectGroup, Rect{649, 16, 93, 24}, "快速连接");
    ui.siteLink2.Create(ui.mainWindow, Rect{760, 12, 80, 32}, kSiteCaption, kSiteAddress);

    ui.logGroup.Create(ui.mainWindow, Rect{2, 49, 757, 68}, "消息日志");
    ui.logList.Create(ui.logGroup, Rect{3, 14, 595, 48});

    ui.splitter1.Create(ui.mainWindow, Rect{2, 150, 757, 2}, toolkit::SplitterKind::Horizontal);

    ui.localGroup.Create(ui.mainWindow, Rect{3, 179, 253, 137}, "本地目录");
    ui.localPathCombo.Create(ui.localGroup, Rect{4, 14, 241, 20});
    ui.localList.Create(ui.localGroup, Rect{4, 37, 241, 90});
    ui.localList.AddColumn("文件名", 100);
    ui.localList.AddColumn("文件大小", 100);
    ui.localList.AddColumn("文件类型", 100);

    ui.splitter2.Create(ui.mainWindow, Rect{402, 179, 2, 137}, toolkit::SplitterKind::Vertical);

    ui.remoteGroup.Create(ui.mainWindow, Rect{407, 179, 372, 137}, "远程目录");
    ui.remotePathCombo.Create(ui.remoteGroup, Rect{4, 14, 365, 20});
    ui.remoteList.Create(ui.remoteGroup, Rect{4, 37, 365, 90});
    ui.remoteList.AddColumn("文件名", 100);
    ui.remoteList.AddColumn("文件大小", 100);
    ui.remoteList.AddColumn("文件类型", 100);
    ui.remoteList.AddColumn("最近修改", 100);

    ui.splitter3.Create(ui.mainWindow, Rect{3, 471, 757, 2}, toolkit::SplitterKind::Horizontal);

    ui.queueGroup.Create(ui.mainWindow, Rect{3, 476, 495, 83}, "任务队列");
    ui.queueList.Create(ui.queueGroup, Rect{4, 14, 425, 56});
    ui.queueList.AddColumn("本地文件", 50);
    ui.queueList.AddColumn("远程路径", 50);
    ui.queueList.AddColumn("大小", 50);
    ui.queueList.AddColumn("类型", 50);
    ui.queueList.AddColumn("状态", 50);

    ui.statusBar.Create(ui.mainWindow, 20);
    ui.taskProgress.Create(ui.mainWindow, Rect{819, 540, 63, 12});
}

std::string AboutText() {
    return std::string("Quorvel游戏社区FTP上传工具\n版本 ") + quorvel::kVersion + "\n" + kSiteAddress +
           "\n意见与问题请发往 ftp-tool@quorvel.example";
}

// Screen readers and UI-automation tools find each control by the name the
// window definition gives it.
void NameControls(MainWindow& ui) {
    const std::pair<toolkit::Control*, const char*> names[] = {
        {&ui.mainWindow, kWindowCaption},
        {&ui.quickConnectGroup, "分组框_快速连接"},
        {&ui.hostLabel, "标签_主机"},
        {&ui.hostEdit, "编辑框_主机"},
        {&ui.userLabel, "标签_用户名"},
        {&ui.userEdit, "编辑框_用户名"},
        {&ui.passwordLabel, "标签_密码"},
        {&ui.passwordEdit, "编辑框_密码"},
        {&ui.portLabel, "标签_端口"},
        {&ui.portEdit, "编辑框_端口"},
        {&ui.quickConnectButton, "按钮_快速连接"},
        {&ui.siteLink2, "超级链接框2"},
        {&ui.logGroup, "分组框_日志"},
        {&ui.logList, "列表框_日志"},
        {&ui.splitter1, "分隔条1"},
        {&ui.localGroup, "分组框_本地目录"},
        {&ui.localPathCombo, "组合框_本地路径"},
        {&ui.localList, "超级列表框_本地目录"},
        {&ui.splitter2, "分隔条2"},
        {&ui.remoteGroup, "分组框_远程目录"},
        {&ui.remotePathCombo, "组合框_快捷路径"},
        {&ui.remoteList, "超级列表框_FTP"},
        {&ui.splitter3, "分隔条3"},
        {&ui.queueGroup, "分组框_任务队列"},
        {&ui.queueList, "超级列表框_任务队列"},
        {&ui.statusBar, "状态条"},
        {&ui.taskProgress, "进度条_任务进度"},
    };
    for (const auto& [control, name] : names) control->SetAccessibleName(name);
}

void CreateMenus(App& app) {
    MainWindow& ui = app.ui;
    ui.mainMenu.Create(ui.mainWindow, "菜单", true);
    ui.mainMenu.AddItem("临时", [] {});
    ui.mainMenu.AddItem("关于", [] { toolkit::AboutBox(AboutText(), "关于"); });

    ui.remoteMenu.Create(ui.mainWindow, "远程菜单", false);
    ui.remoteMenu.AddItem("刷新目录", [&app] { RefreshRemote(app); });
    ui.remoteMenu.AddSeparator();
    ui.remoteMenu.AddItem("下载文件", [&app] { QueueDownloadRequest(app); });
    ui.remoteMenu.AddSeparator();
    ui.remoteMenu.AddItem("创建目录", [&app] { CreateRemoteFolder(app); });
    ui.remoteMenu.AddSeparator();
    ui.remoteMenu.AddItem("重命名", [&app] { RenameRemoteEntry(app); });
    ui.remoteMenu.AddSeparator();
    ui.remoteMenu.AddItem("删除", [&app] { DeleteSelected(app); });

    // A stalled transfer would otherwise hold the queue for hours of retries.
    ui.queueMenu.Create(ui.mainWindow, "任务菜单", false);
    ui.queueMenu.AddItem("停止任务", [&app] { StopRunningTask(app); });
    ui.queueMenu.AddItem("移除任务", [&app] { RemoveSelectedQueueRows(app); });

    ui.localMenu.Create(ui.mainWindow, "本地菜单", false);
    ui.localMenu.AddItem("上传文件", [&app] { QueueUploadRequest(app); });
    ui.localMenu.AddSeparator();
    ui.localMenu.AddItem("刷新目录", [&app] { RefreshLocal(app); });
}

void BindEvents(App& app) {
    MainWindow& ui = app.ui;
    ui.mainWindow.OnCreated([&app] { StartUp(app); });
    ui.mainWindow.OnSizeChanged([&ui] { LayoutMainWindow(ui); });
    ui.mainWindow.OnClosed([&app] { OnWindowClosed(app); });
    app.ftpClient.SetWaitHook([&app] { return KeepWindowLiveWhileWaiting(app); });
    ui.quickConnectButton.OnClicked([&app] { QuickConnect(app); });
    ui.splitter1.OnDragged([&ui](int position) {
        ui.splitter1.SetTop(position);
        LayoutMainWindow(ui);
    });
    ui.splitter2.OnDragged([&ui](int position) {
        ui.splitter2.SetLeft(position);
        LayoutMainWindow(ui);
    });
    ui.splitter3.OnDragged([&ui](int position) {
        ui.splitter3.SetTop(position);
        LayoutMainWindow(ui);
    });
    ui.remoteList.OnItemActivated([&app] { OpenRemoteEntry(app); });
    ui.remoteList.OnRightClick([&app] { ShowRemoteMenu(app); });
    ui.queueList.OnRightClick([&ui] { ui.queueMenu.PopupAtMouse(); });
    ui.remotePathCombo.OnEntrySelected([&app] { OnRemotePathChosen(app); });
    ui.remotePathCombo.OnKeyPressed([&app](int key) { OnRemotePathKey(app, key); });
    ui.localList.OnItemActivated([&app] { OpenLocalEntry(app); });
    ui.localList.OnRightClick([&ui] { ui.localMenu.PopupAtMouse(); });
    // A drop queues like the menu item of the list the rows come from.
    ui.remoteList.OnRowsDroppedFrom(ui.localList, [&app] { QueueUploadRequest(app); });
    ui.localList.OnRowsDroppedFrom(ui.remoteList, [&app] { QueueDownloadRequest(app); });
    ui.localPathCombo.OnEntrySelected([&app] { OnLocalPathChosen(app); });
    ui.localPathCombo.OnKeyPressed([&app](int key) { OnLocalPathKey(app, key); });
    ui.queueTimer.Start(500, [&app] {
        RefreshQueueLength(app);
        ListRemoteAfterUploads(app);
        ListLocalAfterDownloads(app);
    });
}

}  // namespace

void CreateMainWindow(App& app) {
    CreateControls(app.ui);
    NameControls(app.ui);
    CreateMenus(app);
    BindEvents(app);
}

void LayoutMainWindow(MainWindow& ui) {
    toolkit::Window& window = ui.mainWindow;
    int width = window.Width();
    int height = window.Height();
    // 1. A window dragged too small springs back; the steps below use the
    //    size just set.
    if (width <= 770) {
        window.SetWidth(770);
        width = 770;
    }
    if (height <= 480) {
        window.SetHeight(480);
        height = 480;
    }
    const int s1 = ui.splitter1.Top();
    const int s2 = ui.splitter2.Left();
    const int s3 = ui.splitter3.Top();

    ui.quickConnectGroup.SetWidth(width - 12);            // 2
    ui.splitter1.SetWidth(ui.quickConnectGroup.Width());  // 3
    ui.splitter2.SetTop(s1 + 3);                          // 4
    ui.logGroup.SetWidth(width - 12);                     // 5
    ui.queueGroup.SetWidth(width - 12);
    ui.logGroup.SetHeight(s1 - ui.logGroup.Top() - 1);  // 6
    ui.logList.SetWidth(ui.logGroup.Width() - 6);       // 7
    ui.logList.SetHeight(ui.logGroup.Height() - 18);
    ui.localGroup.SetTop(s1 + 3);  // 8
    ui.remoteGroup.SetTop(s1 + 3);
    ui.remoteGroup.SetWidth(width - s2 - 15);               // 9
    ui.localGroup.SetWidth(s2 - ui.localGroup.Left() - 1);  // 10
    ui.remoteGroup.SetLeft(s2 + 4);                         // 11
    ui.localGroup.SetHeight(s3 - ui.localGroup.Top() - 3);  // 12
    ui.remoteGroup.SetHeight(s3 - ui.remoteGroup.Top() - 3);
    ui.splitter2.SetHeight(s3 - ui.splitter2.Top() - 1);  // 13
    ui.splitter3.SetWidth(width - 12);                    // 14
    ui.remoteList.SetWidth(ui.remoteGroup.Width() - 8);   // 15
    ui.localList.SetWidth(ui.localGroup.Width() - 8);
    ui.remotePathCombo.SetWidth(ui.remoteList.Width());  // 16
    ui.localPathCombo.SetWidth(ui.localList.Width());
    ui.remoteList.SetHeight(ui.remoteGroup.Height() - 42);  // 17
    ui.localList.SetHeight(ui.localGroup.Height() - 42);

    const int rw = ui.remoteList.Width();  // 18
    ui.remoteList.SetColumnWidth(0, Part(rw, 2.9));
    ui.remoteList.SetColumnWidth(1, Part(rw, 5));
    ui.remoteList.SetColumnWidth(2, Part(rw, 5));
    ui.remoteList.SetColumnWidth(3, Part(rw, 4.5));
    const int lw = ui.localList.Width();  // 19
    ui.localList.SetColumnWidth(0, Part(lw, 2.2));
    ui.localList.SetColumnWidth(1, Part(lw, 4));
    ui.localList.SetColumnWidth(2, Part(lw, 4));

    ui.queueGroup.SetTop(s3 + 3);  // 20
    ui.queueGroup.SetHeight(height - ui.queueGroup.Top() - 74);

    const int b = ui.statusBar.Width();  // 21
    ui.statusBar.SetPaneWidth(0, Part(b, 8));
    ui.statusBar.SetPaneWidth(1, Part(b, 7));
    ui.statusBar.SetPaneWidth(2, Part(b, 3));
    ui.statusBar.SetPaneWidth(3, Part(b, 4));
    ui.statusBar.SetPaneWidth(4, Part(b, 6.7));

    ui.queueList.SetWidth(ui.queueGroup.Width() - 8);  // 22
    ui.queueList.SetHeight(ui.queueGroup.Height() - 19);
    const int qw = ui.queueList.Width();  // 23
    ui.queueList.SetColumnWidth(0, Part(qw, 3));
    ui.queueList.SetColumnWidth(1, Part(qw, 3));
    ui.queueList.SetColumnWidth(2, Part(qw, 10));
    ui.queueList.SetColumnWidth(3, Part(qw, 10));
    ui.queueList.SetColumnWidth(4, Part(qw, 10));

    // 24. The progress bar lives in the status bar, over pane 4.
    toolkit::Reparent(ui.taskProgress, ui.statusBar);
    if (ui.statusBar.PaneCount() > 4) ui.taskProgress.SetGeometry(ui.statusBar.PaneRect(4));
    ui.taskProgress.SetVisible(true);
}

}  // namespace app
