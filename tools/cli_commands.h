// The commands of quorvel-ftp-cli and the run of a command list over one
// engine session.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "downlib/ftp_engine.h"
namespace cli {

struct Options {
    std::string host;
    std::string user = "anonymous";
    std::string password = "quorvel@ftp.local";
    int port = 21;
    std::optional<int> timeoutMs;
    std::optional<int> sendBlock;  // bytes per send of put; the engine's default without
    downlib::TlsMode tls = downlib::TlsMode::Auto;
    std::vector<std::string> trusted;  // --trust fingerprints, as the engine writes them
    bool trustAlways = false;          // --trust-always: they go to the store
    std::string certificateStore;      // the trusted-certificate file; empty: none
    int retries = 5;                   // of a transfer task after a failed attempt
};

// Splits a command line at blanks; a word in double quotes keeps its blanks.
// No value for an unterminated quote.
std::optional<std::vector<std::string>> SplitWords(const std::string& line);
// True when the first word names a command and the word count fits it.
bool IsKnownCommand(const std::vector<std::string>& words);
// The text of --help: usage, options, one line per command, exit status. The
// manual page is made from it too.
std::string HelpText();
// Logs in, runs the commands in order, logs out. Exit status: 0 all went
// well, 1 at the first failure (the session is still closed), 128 + the
// signal after Interrupt.
int Run(const Options& options, const std::vector<std::vector<std::string>>& commands);

// Shared by the command handlers: an engine log event as one line on
// standard error.
void PrintLog(std::uintptr_t connection, const std::string& timeText, const std::string& message, int kind,
              std::uintptr_t session);

// From the signal watcher: stops a running download (its file is cut to the
// bytes received) and runs no further command. Safe from any thread.
void Interrupt(int signal);
// The signal Interrupt was called with, or 0.
int InterruptSignal();

// While it lives, Interrupt stops the given download object (the run's, and
// each lane's of mget -j).
class RunningDownload {
public:
    explicit RunningDownload(downlib::Download& download);
    ~RunningDownload();
    RunningDownload(const RunningDownload&) = delete;
    RunningDownload& operator=(const RunningDownload&) = delete;

private:
    downlib::Download& download_;
};

// A remote name or log text as shown on a terminal: control bytes (ESC and
// TAB included), DEL, UTF-8 C1 controls and "\" written as \xHH, so a
// hostile name cannot drive the terminal. Other bytes pass unchanged.
std::string TerminalSafe(const std::string& text);
// The text made TerminalSafe when standard error is a terminal.
std::string ForStderr(const std::string& text);

}  // namespace cli
