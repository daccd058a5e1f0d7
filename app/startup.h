// Start-up and shut-down of the Application.
#pragma once

namespace app {

struct App;

// Handler of the window's creation: maximized, splitters placed from the
// screen size, drive list, status-bar panes, the last local folder.
void StartUp(App& app);

// After the window has closed: cross-thread calls stop reaching widgets, the
// session ends and a running download is stopped.
void ShutDown(App& app);

// Gives the program's windows its icon and names its desktop entry, so the
// window and the task bar show the installed icon and name.
void SetUpProgramIdentity();

// The whole program: window, event loop, shut-down. Returns the exit code.
int RunProgram(int& argc, char** argv);

}  // namespace app
