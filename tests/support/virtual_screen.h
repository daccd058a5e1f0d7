// A virtual X screen (Xvfb) for tests that need a real window system: the
// off-screen platform of the widget tests has no drag and drop. The server
// picks a free display itself (-displayfd), listens on no TCP port, dies with
// the thread that started it, and is stopped by its PID.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

class VirtualScreen {
public:
    VirtualScreen(int width, int height);
    ~VirtualScreen();
    VirtualScreen(const VirtualScreen&) = delete;
    VirtualScreen& operator=(const VirtualScreen&) = delete;

    bool ok() const { return pid_ > 0 && error_.empty(); }
    const std::string& error() const { return error_; }
    // ":N", for DISPLAY.
    const std::string& Display() const { return display_; }

    // SIGTERM, a bounded wait, then SIGKILL; always reaped. Idempotent.
    void Stop();

private:
    pid_t pid_ = -1;
    std::string display_;
    std::string error_;
};

}  // namespace testsupport
