// Runs a program for a test (no shell): arguments and optional standard
// input in, standard output, standard error and exit status out, with a
// bounded run time after which the child is killed by its PID.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

struct RunOptions {
    std::string stdinData;                     // written, then standard input is closed
    std::chrono::milliseconds timeout{60000};  // then SIGKILL
    std::vector<std::string> extraEnv;  // "NAME=value", added to (or replacing in) the current environment
    std::string workingDir;             // empty: the current one
    std::size_t outputCap = 64u * 1024 * 1024;  // per stream; more is read and dropped
};

struct ProcessResult {
    bool started = false;   // false: the program could not be run (see error)
    bool timedOut = false;  // killed after the time-out
    int exitCode = -1;      // exit status when it exited normally
    int signal = 0;         // the signal that ended it, if one did
    std::string out;
    std::string err;
    std::string error;  // why it could not be started

    bool ExitedWith(int code) const { return started && !timedOut && signal == 0 && exitCode == code; }
    // One line for failure messages: status plus the head of both streams.
    std::string Summary() const;
};

// argv[0] is the program path (not searched in PATH).
ProcessResult RunProcess(const std::vector<std::string>& argv, const RunOptions& options = {});

// The command-line client built with the tests.
std::string CliPath();
// Starts the client with `args` (without the program path), its output
// thrown away, and returns at once: for tests that stop or kill it part-way.
// The caller reaps it (waitpid). -1 when it could not be started.
pid_t StartCliQuietly(const std::vector<std::string>& args);
ProcessResult RunCli(const std::vector<std::string>& args, const RunOptions& options = {});

// A program's output split at its line ends, the line ends left out.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace testsupport
