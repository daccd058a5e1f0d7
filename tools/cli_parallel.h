// The file transfers of one command, N at a time: each lane is a thread with
// a Download object of its own, so each keeps its own logged-in connection;
// one lane at a time uses the run's object. Files start in list order.
//
// A server that serves as many connections as it allows refuses a lane's
// log-in: that file goes back to the list, the lane ends (its connections
// with it) and, once every other lane has got in or been refused too, the
// run goes on with as many lanes as hold a working connection, saying so in
// one line; after kRegrowAfter without a refusal one more may start again,
// up to N. When the refused lane is the only one,
// the server lets in nothing beside the browsing connection: that one is
// handed over (cli_connections.h) for the transfers, which then go one at a
// time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "downlib/ftp_engine.h"

namespace cli {

class RunConnections;

inline constexpr int kDefaultJobs = 3;
inline constexpr int kMaxJobs = 10;
inline constexpr std::chrono::seconds kRegrowAfter{30};

// "-j N" at words[at]: the count (1 to kMaxJobs) and the index after it;
// without the flag, kDefaultJobs and `at`. No value for a malformed count.
struct JobsWord {
    int jobs = kDefaultJobs;
    std::size_t next = 0;
    bool ok = true;
};
JobsWord ParseJobs(const std::vector<std::string>& words, std::size_t at);

// What one transfer brought.
struct TransferResult {
    bool started = false;
    bool whole = false;
    std::int64_t bytes = 0;
    // Stopped at its log-in, which the server refused for too many
    // connections: nothing was transferred, and the file is taken again.
    bool refused = false;
};

// What a lane lends the task of a transfer.
struct TaskWatch {
    // A refusal for too many connections stops the task. After the
    // hand-over, where it only means the server has not yet counted a
    // connection that just ended, it does so a few times, a moment apart;
    // then the task's own retries take over.
    bool stopOnLimit = false;
    // Called once the task is logged in and transfers (on a thread of the
    // task): the lane then holds a working connection. May be empty.
    std::function<void()> loggedIn;
};

using Transfer = std::function<TransferResult(std::size_t, downlib::Download&, const TaskWatch&)>;

struct LanesOutcome {
    std::vector<TransferResult> files;  // in list order; not whole when not run
    bool browsing = true;               // false: after a hand-over the log-in again failed
};

// Runs transfer(i, object, watch) for every i below `count` on up to `jobs`
// lanes of `connections` (each extra object stopped by a signal as the run's
// is); a lane stops taking files after a signal. `command` names the
// command in the lines printed.
LanesOutcome RunInLanes(RunConnections& connections, const std::string& command, std::size_t count, int jobs,
                        const Transfer& transfer);

}  // namespace cli
