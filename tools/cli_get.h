// get and mget. mget REMOTE_DIR LOCAL_DIR: a remote folder with everything
// in it, expanded depth first the way the window's queue expands a folder,
// then fetched one file per download task through the run's one Download
// object, so that every file after the first reuses the logged-in connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "downlib/ftp_engine.h"
#include "tools/cli_commands.h"
#include "tools/cli_connections.h"
#include "tools/cli_parallel.h"

namespace cli {

// One row of an expansion, as a queue row of the window: a folder to create
// or a file to fetch, by its remote path (folder + "/" + name, unnormalised).
struct RemoteRow {
    std::string remotePath;
    bool folder = false;
};

// Rows beyond this many are not expanded: a tree that multiplies (two links
// to "." in one folder double it at every level) still ends.
inline constexpr std::size_t kMaxMgetRows = 100000;
// Folders deeper than this below REMOTE_DIR are not entered.
inline constexpr int kMaxMgetDepth = 48;

struct Expansion {
    std::string base;  // the remote folder the rows' local paths are taken below
    std::vector<RemoteRow> rows;
    std::vector<std::string> notes;  // what was left out, and why
    bool ok = false;                 // REMOTE_DIR was entered and listed
};

// Expands the folder `remoteDir` (absolute, or relative to the current remote
// folder) on the connected client: its own row (none for "/"), then, depth
// first and pre-order, each folder's subfolders in the reverse of their
// listing order, each followed by its content, and then its files in listing
// order. "." and ".." are never rows; a name that cannot be a local name is
// left out; a link the server cannot enter is fetched as a file; a folder
// whose server path, or (for a link) whose listing, is that of a folder on
// the way down is not entered again.
Expansion ExpandRemoteFolder(downlib::DezAziveduza& client, const std::string& remoteDir,
                             std::size_t maxRows = kMaxMgetRows);

// One download task on `download`, waited for to its end (cli_task_wait.h);
// whole when every worker reported its part whole and none failed. The file
// is created below the chosen folder `localBase` without following links
// (empty: the folder of `localPath` as named). A stop signal that came while
// the task started stops it.
TransferResult FetchFile(const Options& options, downlib::Download& download, const TaskWatch& watch,
                         const std::string& remotePath, const std::string& localPath,
                         const std::string& localBase);

// get REMOTE LOCAL: one download task in a lane of its own, so that a server
// that allows no second connection gets the browsing connection handed over.
bool Get(const Options& options, RunConnections& connections, const std::vector<std::string>& words);

// True for the words of a well-formed mget: "mget", an optional "-j N" with N
// from 1 to kMaxJobs, the remote and the local folder.
bool IsMgetCommand(const std::vector<std::string>& words);

// mget [-j N] REMOTE_DIR LOCAL_DIR: creates LOCAL_DIR/NAME (LOCAL_DIR itself when
// REMOTE_DIR is "/") and every folder below it, then fetches every file, N
// at once (cli_parallel.h).
// Prints "FILES BYTES" of what arrived whole; each failure is a line on
// standard error. True when every folder and every file arrived.
bool Mget(const Options& options, RunConnections& connections, const std::vector<std::string>& words);

}  // namespace cli
