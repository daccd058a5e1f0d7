// The window while one of its actions talks to the server or walks a remote
// folder. Those actions run on the UI thread as the Parts say, but the window
// still repaints and can be closed: the engine's waits call a hook that
// processes pending UI events, as the long loops do. An action started from
// those events would re-enter ftpClient in the middle of a command, or mix its
// server, paths and rows with the running one's, so while one runs the others
// are refused with a log line.
#pragma once

namespace app {

struct App;

// Held by a handler for as long as it runs. Names are what the log shows.
class RunningAction {
public:
    RunningAction(App& app, const char* name);
    ~RunningAction();
    RunningAction(const RunningAction&) = delete;
    RunningAction& operator=(const RunningAction&) = delete;

    // True when another action was running: this one must not go on (the
    // refusal is in the log).
    bool Refused() const { return refused_; }

private:
    App& app_;
    bool refused_ = false;
};

// The wait hook of ftpClient: keeps the window live while a command waits.
// False, which abandons the wait, once the window has been closed.
bool KeepWindowLiveWhileWaiting(App& app);

// Handler of the window's close: nothing waits for the server any more, no
// dialog opens, and calls from the driver thread stop reaching the widgets.
void OnWindowClosed(App& app);

}  // namespace app
