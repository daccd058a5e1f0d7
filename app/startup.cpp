// StartUp, ShutDown and the program's run from start to exit.
#include "app/startup.h"

#include <memory>

#include "app/app.h"
#include "app/local_view.h"
#include "app/program_icon.h"
#include "app/settings_file.h"
#include "app/transfer_driver.h"

namespace app {

void StartUp(App& app) {
    MainWindow& ui = app.ui;
    ui.mainWindow.SetMaximized();
    ui.splitter2.SetLeft(static_cast<int>(toolkit::ScreenWidth() / 2.1));
    ui.splitter3.SetTop(static_cast<int>(toolkit::ScreenHeight() / 1.4));
    FillDriveList(app);
    ui.statusBar.AddPane("已就绪", 100);
    ui.statusBar.AddPane("任务队列:0", 200);
    ui.statusBar.AddPane("动作:无", 200);
    ui.statusBar.AddPane("任务进度:100%", 200);
    ui.statusBar.AddPane("任务进度", 200);
    RestoreLocalFolder(app);
}

void ShutDown(App& app) {
    toolkit::BeginShutdown();
    // The driver thread may be inside a download: stop the task within its stop
    // wait and join the thread before anything it uses goes away.
    StopTransferDriver(app);
    app.savedHost.clear();
    app.savedUser.clear();
    app.savedPassword.clear();
    // No window is left to keep live, and closing is prompt even when the
    // server no longer answers.
    app.ftpClient.SetWaitHook({});
    app.ftpClient.Disconnect(kShutdownQuitWaitMs);
    app.downloadClient.StopTask();
}

void SetUpProgramIdentity() {
    toolkit::SetDesktopEntryName("quorvel-ftp");
    toolkit::SetProgramIcon(ProgramIconImages());
}

int RunProgram(int& argc, char** argv) {
    toolkit::Runtime runtime(argc, argv);
    SetUpProgramIdentity();
    auto app = std::make_unique<App>();
    app->settingsFile = DefaultSettingsFile();
    CreateMainWindow(*app);
    app->ui.mainWindow.Show();
    const int code = runtime.Run();
    ShutDown(*app);
    return code;
}

}  // namespace app
