// One transfer task of the command line waited for to its end on the thread
// that started it. A log-in the server refuses because it serves as many
// connections as it allows is no failure of the file: the lane that runs the
// task stops it, so the file can be taken again on a connection that is let
// in, instead of spending the task's retries on the same refusal.
#pragma once

#include <memory>

#include "downlib/ftp_engine.h"
#include "tools/cli_parallel.h"

namespace cli {

class TaskWait {
public:
    explicit TaskWait(const TaskWatch& watch);

    // Sets the task's log callback (every line printed, as PrintLog does)
    // and its task callback, which answers 0 to the questions: an existing
    // local file gets name(1).ext, an upload keeps its flags.
    void Attach(downlib::TaskParam& param) const;
    // After the task was started: waits for its end. A refusal for too many
    // connections stops it from this thread (the callbacks run on the
    // task's threads, which must not call into the Download object); the
    // result then says `refused`.
    TransferResult Wait(downlib::Download& download) const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    TaskWatch watch_;
};

}  // namespace cli
