// Xvfb started with fork and execvp; the display number it chose is read from
// the pipe given with -displayfd, with a bounded wait.
#include "support/virtual_screen.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace testsupport {

namespace {

constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr auto kStopLimit = std::chrono::seconds(3);

}  // namespace

VirtualScreen::VirtualScreen(int width, int height) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    const std::string displayFd = std::to_string(fds[1]);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::vector<std::string> args{"Xvfb", "-displayfd", displayFd,   "-screen",
                                  "0",    screen,       "-nolisten", "tcp"};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(126);
        // The write end stays open across exec; everything else is closed.
        ::fcntl(fds[1], F_SETFD, 0);
        // Its warnings about fonts and keymaps are no test output.
        const int devNull = ::open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            ::dup2(devNull, 0);
            ::dup2(devNull, 1);
            ::dup2(devNull, 2);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        ::close(fds[0]);
        return;
    }
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (number.empty() || number.back() != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[16];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        number.append(buffer, static_cast<std::size_t>(n));
        if (number.size() > 32) break;
    }
    ::close(fds[0]);
    if (number.empty() || number.back() != '\n') {
        error_ = "Xvfb did not start (is it installed? make deps installs xvfb)";
        Stop();
        return;
    }
    number.pop_back();
    display_ = ":" + number;
}

VirtualScreen::~VirtualScreen() { Stop(); }

void VirtualScreen::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

}  // namespace testsupport
