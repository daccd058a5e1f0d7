// One window action at a time, and the window kept live while it waits.
#include "app/running_action.h"

#include <string>

#include "app/app.h"
#include "app/session_log.h"

namespace app {

RunningAction::RunningAction(App& app, const char* name) : app_(app) {
    if (app.runningAction != nullptr) {
        refused_ = true;
        AppendLog(
            app, ClockText({}, false) + " 上一个操作(" + app.runningAction + ")还在进行，" + name + "未执行");
        return;
    }
    app.runningAction = name;
}

RunningAction::~RunningAction() {
    if (!refused_) app_.runningAction = nullptr;
}

bool KeepWindowLiveWhileWaiting(App& app) {
    if (app.windowClosed) return false;
    toolkit::ProcessPendingEvents();
    return !app.windowClosed;
}

void OnWindowClosed(App& app) {
    app.windowClosed = true;
    toolkit::BeginShutdown();
}

}  // namespace app
