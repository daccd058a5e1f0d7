// The browsing connection and the transfer object of a run, and the hand-over
// of the one connection a server allows (see cli_connections.h).
#include "tools/cli_connections.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "tools/cli_tls.h"

namespace cli {
namespace {

constexpr std::chrono::milliseconds kLogInAgainPause{1000};
constexpr std::chrono::milliseconds kPauseStep{100};

}  // namespace

RunConnections::RunConnections(const Options& options)
    : options_(options), trust_(RunTrust(options)), transfers_(std::make_unique<downlib::Download>()) {
    registered_.emplace(*transfers_);
}

RunConnections::~RunConnections() { registered_.reset(); }

bool RunConnections::LogIn() {
    client_.SetTls(options_.tls, trust_);
    return client_.Connect("ftp://" + options_.host, options_.user, options_.password, options_.port,
                           PrintLog, options_.timeoutMs);
}

void RunConnections::LogOut() {
    if (client_.IsConnected()) client_.Disconnect();
}

void RunConnections::RenewTransfers() {
    registered_.reset();
    transfers_ = std::make_unique<downlib::Download>();
    registered_.emplace(*transfers_);
}

void RunConnections::HandOver(const std::string& command) {
    std::fprintf(stderr,
                 "quorvel-ftp-cli: %s: the server allows no second connection; the browsing connection is "
                 "closed while the files go, one at a time\n",
                 command.c_str());
    std::fflush(stderr);
    folder_ = client_.GetCurrentDir();
    LogOut();
    single_ = true;
    handedOver_ = true;
}

bool RunConnections::TakeBack(const std::string& command) {
    RenewTransfers();
    handedOver_ = false;
    // A server may count a connection that said QUIT a moment longer
    // (vsftpd, until its session process is reaped): the log-in is tried
    // again after a pause, as often as a transfer would be.
    bool in = LogIn();
    for (int attempt = 1; !in && attempt <= options_.retries && InterruptSignal() == 0; ++attempt) {
        for (auto waited = std::chrono::milliseconds(0); waited < kLogInAgainPause && InterruptSignal() == 0;
             waited += kPauseStep)
            std::this_thread::sleep_for(kPauseStep);
        in = InterruptSignal() == 0 && LogIn();
    }
    if (!in) {
        std::fprintf(stderr, "quorvel-ftp-cli: %s: cannot log in again after the transfers\n",
                     command.c_str());
        return false;
    }
    if (!folder_.empty() && !client_.ChangeDir(folder_)) {
        std::fprintf(stderr, "quorvel-ftp-cli: %s: cannot go back to %s\n", command.c_str(),
                     ForStderr(folder_).c_str());
        return false;
    }
    return true;
}

}  // namespace cli
