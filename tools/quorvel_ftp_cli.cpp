// quorvel-ftp-cli: the engine from the command line, for scripting and
// diagnosis. Every engine log event is one line on standard error: the kind
// digit, a blank and the message.
//
// SIGINT and SIGTERM stop the running download, which cuts its file to the
// bytes received, and the program exits with 128 + the signal. They are
// taken by a watcher thread (blocked everywhere else), so the stop runs as
// ordinary code rather than inside a signal handler.
#include <getopt.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "downlib/ftp_engine.h"
#include "quorvel_version.h"
#include "tools/cli_commands.h"
#include "tools/cli_password.h"
#include "tools/cli_tls.h"

namespace {

void PrintUsage() {
    std::fprintf(stderr,
                 "usage: quorvel-ftp-cli [-u USER] [-p PASSWORD] [-P PORT] [-t TIMEOUT_MS] [-b SEND_BLOCK] "
                 "[-c COMMAND]... [--retries N] [--tls MODE] [--trust SHA256:HEX]... [--trust-always] HOST "
                 "(--help for more)\n");
}

enum LongOption { kVersionOption = 256, kTlsOption, kTrustOption, kTrustAlwaysOption, kRetriesOption };

// After a signal the commands get this long to wind up (a stopped download
// ends within its stop wait); a synchronous command waiting on a silent
// server would otherwise hold the exit for a whole reply time-out.
constexpr std::chrono::seconds kExitGrace{5};

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Sent by the program to its own watcher when the run is over, so that the
// exit does not wait for the watcher's next tick.
int WakeSignal() { return SIGRTMIN; }

// Waits for SIGINT or SIGTERM until `done`; on one, interrupts the run and,
// if it has not ended within the grace, ends the process.
void WatchSignals(const std::atomic<bool>& done) {
    sigset_t set = StopSignals();
    sigaddset(&set, WakeSignal());
    while (!done.load()) {
        timespec tick{0, 100L * 1000 * 1000};
        int signal = ::sigtimedwait(&set, nullptr, &tick);
        if (signal <= 0 || signal == WakeSignal()) continue;
        cli::Interrupt(signal);
        const auto giveUp = std::chrono::steady_clock::now() + kExitGrace;
        while (!done.load()) {
            if (std::chrono::steady_clock::now() > giveUp) {
                std::fflush(stdout);
                ::_exit(128 + signal);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

bool ParseNumber(const char* text, int& out) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (!*text || *end || value < 0 || value > 0x7FFFFFFF) return false;
    out = static_cast<int>(value);
    return true;
}

// The password by the first source that has one: -p, the environment,
// ~/.netrc; the built-in anonymous password otherwise. False on a usage
// error (no line on standard input after -p -).
bool TakePassword(cli::Options& options, const std::optional<std::string>& user,
                  const std::optional<std::string>& password) {
    if (user) options.user = *user;
    if (password == "-") {
        std::optional<std::string> line = cli::ReadPasswordLine(std::cin, STDIN_FILENO);
        if (!line) {
            std::fprintf(stderr, "quorvel-ftp-cli: -p -: no password on standard input\n");
            return false;
        }
        options.password = *line;
        return true;
    }
    if (password) {
        options.password = *password;
        return true;
    }
    if (const char* fromEnvironment = std::getenv("QUORVEL_FTP_PASSWORD")) {
        options.password = fromEnvironment;
        return true;
    }
    const std::string path = cli::DefaultNetrcPath();
    if (path.empty()) return true;
    const cli::NetrcLookup netrc = cli::LookUpNetrc(path, options.host, user);
    switch (netrc.state) {
        case cli::NetrcState::Missing:
            break;
        case cli::NetrcState::Unsafe:
            std::fprintf(stderr, "quorvel-ftp-cli: %s is ignored: others may read it (chmod 600 %s)\n",
                         cli::ForStderr(path).c_str(), cli::ForStderr(path).c_str());
            break;
        case cli::NetrcState::TooLarge:
            std::fprintf(stderr, "quorvel-ftp-cli: %s is ignored: too large\n", cli::ForStderr(path).c_str());
            break;
        case cli::NetrcState::Malformed:
            std::fprintf(stderr, "quorvel-ftp-cli: %s is ignored: it cannot be read as a .netrc\n",
                         cli::ForStderr(path).c_str());
            break;
        case cli::NetrcState::Read:
            if (netrc.entry) {
                if (!user && !netrc.entry->login.empty()) options.user = netrc.entry->login;
                options.password = netrc.entry->password;
            }
            break;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    cli::Options options;
    std::vector<std::string> commands;
    std::optional<std::string> user;
    std::optional<std::string> password;
    int opt = 0;
    static const option longOptions[] = {{"help", no_argument, nullptr, 'h'},
                                         {"version", no_argument, nullptr, kVersionOption},
                                         {"tls", required_argument, nullptr, kTlsOption},
                                         {"trust", required_argument, nullptr, kTrustOption},
                                         {"trust-always", no_argument, nullptr, kTrustAlwaysOption},
                                         {"retries", required_argument, nullptr, kRetriesOption},
                                         {}};
    std::optional<downlib::TlsMode> tlsOption;
    bool portGiven = false;
    while ((opt = ::getopt_long(argc, argv, "u:p:P:t:b:c:h", longOptions, nullptr)) != -1) {
        switch (opt) {
            case 'h':
                std::fputs(cli::HelpText().c_str(), stdout);
                return 0;
            case kVersionOption:
                std::printf("quorvel-ftp-cli %s\n", quorvel::kVersion);
                return 0;
            case kTlsOption:
                tlsOption = cli::ParseTlsMode(optarg);
                if (!tlsOption) {
                    std::fprintf(stderr,
                                 "quorvel-ftp-cli: bad TLS mode: %s (auto, required, implicit or off)\n",
                                 optarg);
                    return 2;
                }
                break;
            case kTrustOption: {
                std::string fingerprint = cli::ParseTrustArgument(optarg);
                if (fingerprint.empty()) {
                    std::fprintf(stderr, "quorvel-ftp-cli: bad fingerprint: %s (SHA256: and 64 hex digits)\n",
                                 optarg);
                    return 2;
                }
                options.trusted.push_back(fingerprint);
                break;
            }
            case kTrustAlwaysOption:
                options.trustAlways = true;
                break;
            case 'u':
                user = optarg;
                break;
            case 'p':
                password = optarg;
                // Others read a command line in ps and /proc/PID/cmdline:
                // blank the copy as soon as it is ours.
                if (*password != "-") cli::WipeArgument(optarg);
                break;
            case 'P':
                if (!ParseNumber(optarg, options.port) || options.port > 65535) {
                    std::fprintf(stderr, "quorvel-ftp-cli: bad port: %s\n", optarg);
                    return 2;
                }
                portGiven = true;
                break;
            case 't': {
                int timeout = 0;
                if (!ParseNumber(optarg, timeout) || timeout == 0) {
                    std::fprintf(stderr, "quorvel-ftp-cli: bad time-out: %s\n", optarg);
                    return 2;
                }
                options.timeoutMs = timeout;
                break;
            }
            case 'b': {
                int block = 0;
                if (!ParseNumber(optarg, block) || block == 0) {
                    std::fprintf(stderr, "quorvel-ftp-cli: bad send block: %s\n", optarg);
                    return 2;
                }
                options.sendBlock = block;
                break;
            }
            case 'c':
                commands.emplace_back(optarg);
                break;
            case kRetriesOption:
                if (!ParseNumber(optarg, options.retries)) {
                    std::fprintf(stderr, "quorvel-ftp-cli: bad retry count: %s\n", optarg);
                    return 2;
                }
                break;
            default:
                PrintUsage();
                return 2;
        }
    }
    if (optind != argc - 1) {
        PrintUsage();
        return 2;
    }
    const cli::HostArgument host = cli::ParseHostArgument(argv[optind]);
    if (host.tls && tlsOption && *host.tls != *tlsOption) {
        std::fprintf(stderr, "quorvel-ftp-cli: --tls contradicts the scheme of %s\n", argv[optind]);
        return 2;
    }
    if (options.trustAlways && options.trusted.empty()) {
        std::fprintf(stderr, "quorvel-ftp-cli: --trust-always needs --trust SHA256:HEX\n");
        return 2;
    }
    options.host = host.host;
    options.tls = host.tls.value_or(tlsOption.value_or(downlib::TlsMode::Auto));
    if (options.tls == downlib::TlsMode::Implicit && !portGiven) options.port = 990;
    options.certificateStore = cli::CertificateStorePath();
    if (!TakePassword(options, user, password)) return 2;
    if (commands.empty() && !::isatty(STDIN_FILENO)) {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos || line[first] == '#') continue;
            commands.push_back(line);
        }
    }
    std::vector<std::vector<std::string>> parsed;
    for (const std::string& command : commands) {
        std::optional<std::vector<std::string>> words = cli::SplitWords(command);
        if (!words || words->empty() || !cli::IsKnownCommand(*words)) {
            std::fprintf(stderr, "quorvel-ftp-cli: bad command: %s\n", command.c_str());
            return 2;
        }
        parsed.push_back(std::move(*words));
    }
    // Blocked before any thread starts, so every thread inherits the mask
    // and only the watcher takes them.
    sigset_t blocked = StopSignals();
    sigaddset(&blocked, WakeSignal());
    ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    std::atomic<bool> done{false};
    std::thread watcher(WatchSignals, std::cref(done));
    int status = cli::Run(options, parsed);
    done = true;
    ::pthread_kill(watcher.native_handle(), WakeSignal());
    watcher.join();
    return status;
}
