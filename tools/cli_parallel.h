// The file transfers of one mget or mput, N at a time: each lane is a
// thread with a Download object of its own, so each keeps its own logged-in
// connection; lane 0 uses the run's object. Files start in list order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "downlib/ftp_engine.h"

namespace cli {

inline constexpr int kDefaultJobs = 3;
inline constexpr int kMaxJobs = 10;

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
};

// Runs transfer(i, download) for every i below `count` on `jobs` lanes
// (lane 0 on `download`, the others on objects of their own, stopped by a
// signal as the run's is); a lane stops taking files after a signal.
// Returns the result of each file in list order (not whole when not run).
std::vector<TransferResult> RunInLanes(
    downlib::Download& download, std::size_t count, int jobs,
    const std::function<TransferResult(std::size_t, downlib::Download&)>& transfer);

}  // namespace cli
