// put [-r] LOCAL [REMOTE]: one upload task over a connection of its own.
#pragma once

#include <string>
#include <vector>

#include "downlib/ftp_engine.h"
#include "tools/cli_commands.h"
#include "tools/cli_connections.h"
#include "tools/cli_parallel.h"

namespace cli {

// True for the words of a well-formed put: "put", an optional "-r", the local
// file, an optional remote path.
bool IsPutCommand(const std::vector<std::string>& words);
// The remote path of a put: REMOTE as given when absolute, else in the
// current remote folder; a REMOTE ending in "/" (or none) gets the local
// file's name, when it can be a name in a remote folder. Empty when no path
// can be made.
std::string PutTarget(const std::string& currentDir, const std::string& local, const std::string& remote);
// One upload task of `local` to the remote path `target` on `download`,
// waited for to its end. A remote file proven the same is skipped, one
// proven the local file's beginning continued, any other sent from 0;
// `resume` continues one only under that proof and otherwise fails.
// (cli_task_wait.h: a refusal for too many connections may stop it.)
TransferResult SendFile(const Options& options, downlib::Download& download, const TaskWatch& watch,
                        const std::string& local, const std::string& target, bool resume);

// Uploads in a lane of its own (see Get), prints the byte total, and is true
// only when the engine reported the remote file whole.
bool Put(const Options& options, RunConnections& connections, const std::vector<std::string>& words);

}  // namespace cli
