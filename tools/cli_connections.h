// The connections of one run: the browsing connection (a DezAziveduza
// logged in for the whole run: cd, ls, the walk of mget) and the Download
// object of the transfers, whose tasks keep their logged-in connections for
// the next one. A server that allows no second connection (vsftpd's
// max_per_ip=1, pure-ftpd -C 1) gets the browsing connection handed over:
// it is closed while the files go, and logged in again after them.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "downlib/ftp_engine.h"
#include "tools/cli_commands.h"

namespace cli {

class RunConnections {
public:
    explicit RunConnections(const Options& options);
    ~RunConnections();
    RunConnections(const RunConnections&) = delete;
    RunConnections& operator=(const RunConnections&) = delete;

    // The browsing connection's log-in and log-out.
    bool LogIn();
    void LogOut();

    downlib::DezAziveduza& Client() { return client_; }
    // The run's transfer object; Interrupt stops it too.
    downlib::Download& Transfers() { return *transfers_; }
    // Ends the transfer object, and with it the connections it keeps (each
    // takes one of the server's places), and puts a fresh one in its place.
    void RenewTransfers();

    // True once the server let in no transfer beside the browsing
    // connection; the later transfers of the run hand it over at once.
    bool SingleConnection() const { return single_; }
    bool HandedOver() const { return handedOver_; }
    // Says so on standard error (for `command`), remembers the remote
    // folder and closes the browsing connection with QUIT.
    void HandOver(const std::string& command);
    // After the transfers: their kept connection is closed, the browsing
    // connection logs in again (up to --retries times more, a second apart)
    // and goes back to its folder. False when the log-in fails.
    bool TakeBack(const std::string& command);

private:
    const Options& options_;
    downlib::TlsTrust trust_;
    downlib::DezAziveduza client_;
    std::unique_ptr<downlib::Download> transfers_;
    std::optional<RunningDownload> registered_;  // unregistered before the object ends
    bool single_ = false;
    bool handedOver_ = false;
    std::string folder_;  // of the browsing connection when it was handed over
};

}  // namespace cli
