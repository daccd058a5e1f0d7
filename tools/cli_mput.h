// mput [-j N] LOCAL_DIR REMOTE_DIR: a local folder with everything in it,
// uploaded as REMOTE_DIR/NAME, N files at once.
#pragma once

#include <string>
#include <vector>

#include "downlib/ftp_engine.h"
#include "tools/cli_commands.h"
#include "tools/cli_connections.h"

namespace cli {

// One row of a local walk: a folder to make on the server or a file to send,
// by its path relative to the walked folder's parent.
struct LocalRow {
    std::string relative;
    bool folder = false;
};

// Rows beyond this many are not walked.
inline constexpr std::size_t kMaxMputRows = 100000;

// Walks `localDir` depth first, each folder before its content: the folder
// itself, its subfolders each with its content, then its files, in name
// order. Symbolic links and entries that are neither file nor folder are
// left out, as are names with a control character; each such entry adds a
// note. False in `ok` when `localDir` cannot be read as a folder.
struct LocalWalk {
    std::vector<LocalRow> rows;
    std::vector<std::string> notes;
    bool ok = false;
};
LocalWalk WalkLocalFolder(const std::string& localDir, std::size_t maxRows = kMaxMputRows);

// True for the words of a well-formed mput: "mput", an optional "-j N", the
// local and the remote folder.
bool IsMputCommand(const std::vector<std::string>& words);

// Makes every remote folder (one that exists already is fine), then sends
// every file N at once. Prints "FILES BYTES" of what arrived whole; each
// failure is a line on standard error. True when everything arrived.
bool Mput(const Options& options, RunConnections& connections, const std::vector<std::string>& words);

}  // namespace cli
