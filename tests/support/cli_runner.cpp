// Child processes for tests (see cli_runner.h): posix_spawn with three pipes
// and one poll loop that feeds standard input and drains both outputs, so a
// child writing a lot can never block against a full pipe.
#include "support/cli_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string_view>

#include "support/unique_fd.h"

extern char** environ;

namespace testsupport {

namespace {

bool MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    readEnd.Reset(fds[0]);
    writeEnd.Reset(fds[1]);
    return true;
}

std::vector<char*> CStrings(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// Appends what is readable; false at the end of the stream.
bool Drain(int fd, std::string& sink, std::size_t cap) {
    char buffer[16384];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    std::size_t room = cap > sink.size() ? cap - sink.size() : 0;
    sink.append(buffer, std::min(room, static_cast<std::size_t>(n)));
    return true;
}

// A child that exits without reading its input must not end the test with SIGPIPE.
ssize_t WriteWithoutSigpipe(int fd, std::string_view data) {
    sigset_t pipeSet, old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    ssize_t n = ::write(fd, data.data(), data.size());
    int saved = errno;
    if (n < 0 && errno == EPIPE) {
        timespec zero{};
        sigtimedwait(&pipeSet, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return n;
}

std::string Head(const std::string& text) {
    constexpr std::size_t kHead = 2000;
    return text.size() <= kHead ? text : text.substr(0, kHead) + "...";
}

}  // namespace

std::string ProcessResult::Summary() const {
    std::string status;
    if (!started) {
        status = "not started: " + error;
    } else if (timedOut) {
        status = "killed after the time-out";
    } else if (signal != 0) {
        status = "ended by signal " + std::to_string(signal);
    } else {
        status = "exit code " + std::to_string(exitCode);
    }
    return status + "\n--- stdout ---\n" + Head(out) + "\n--- stderr ---\n" + Head(err);
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const RunOptions& options) {
    ProcessResult result;
    if (argv.empty()) {
        result.error = "no program";
        return result;
    }
    UniqueFd inRead, inWrite, outRead, outWrite, errRead, errWrite;
    if (!MakePipe(inRead, inWrite) || !MakePipe(outRead, outWrite) || !MakePipe(errRead, errWrite)) {
        result.error = std::string("pipe: ") + std::strerror(errno);
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inRead.Get(), 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
    if (!options.workingDir.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDir.c_str());
    }
    // A child must not inherit an ignored SIGPIPE or a blocked signal from the test.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> args = argv;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    // A variable given again replaces the inherited one: the first of two
    // entries of one name is the one a program reads.
    for (const auto& extra : options.extraEnv) {
        const std::string name = extra.substr(0, extra.find('=') + 1);
        std::erase_if(env, [&name](const std::string& entry) { return entry.rfind(name, 0) == 0; });
        env.push_back(extra);
    }
    std::vector<char*> argp = CStrings(args);
    std::vector<char*> envp = CStrings(env);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0].c_str(), &actions, &attr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        result.error = argv[0] + ": " + std::strerror(rc);
        return result;
    }
    result.started = true;
    inRead.Reset();
    outWrite.Reset();
    errWrite.Reset();
    ::fcntl(inWrite.Get(), F_SETFL, O_NONBLOCK);
    ::fcntl(outRead.Get(), F_SETFL, O_NONBLOCK);
    ::fcntl(errRead.Get(), F_SETFL, O_NONBLOCK);

    std::string_view pending = options.stdinData;
    if (pending.empty()) inWrite.Reset();
    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    while (outRead || errRead) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        int count = 0;
        int outIndex = -1, errIndex = -1, inIndex = -1;
        if (outRead) {
            outIndex = count;
            fds[count++] = pollfd{outRead.Get(), POLLIN, 0};
        }
        if (errRead) {
            errIndex = count;
            fds[count++] = pollfd{errRead.Get(), POLLIN, 0};
        }
        if (inWrite) {
            inIndex = count;
            fds[count++] = pollfd{inWrite.Get(), POLLOUT, 0};
        }
        int ready =
            ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(std::min<long long>(left.count(), 100)));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (outIndex >= 0 && fds[outIndex].revents != 0 &&
            !Drain(outRead.Get(), result.out, options.outputCap)) {
            outRead.Reset();
        }
        if (errIndex >= 0 && fds[errIndex].revents != 0 &&
            !Drain(errRead.Get(), result.err, options.outputCap)) {
            errRead.Reset();
        }
        if (inIndex >= 0 && fds[inIndex].revents != 0) {
            ssize_t n = WriteWithoutSigpipe(inWrite.Get(), pending);
            if (n > 0) pending.remove_prefix(static_cast<std::size_t>(n));
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || pending.empty()) inWrite.Reset();
        }
    }
    inWrite.Reset();

    // The outputs are closed (or the child was killed): reap it, still bounded,
    // since a child may close its outputs and go on running.
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) break;
        if (!result.timedOut && std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
        }
        ::usleep(5000);
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

std::string CliPath() {
#ifdef QFTP_CLI_PATH
    return QFTP_CLI_PATH;
#else
    return {};
#endif
}

ProcessResult RunCli(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> argv{CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, options);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

pid_t StartCliQuietly(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& arg : argv) raw.push_back(arg.data());
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

}  // namespace testsupport
