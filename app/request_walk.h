// What the download and the upload request share while they walk a tree: the
// session's log-in details that every row carries, the bound on the rows one
// request appends, and the depth a walk descends.
#pragma once

#include <cstddef>
#include <string>

#include "downlib/ftp_engine.h"

namespace app {

struct App;
struct QueueRow;

// Folder expansion stops this many levels below the folder of the request: a
// server whose working-folder answer does not reveal a link loop still ends.
inline constexpr int kMaxExpansionDepth = 48;
// One request appends at most this many rows: a tree that multiplies (two
// links to "." in one folder double it at every level) still ends soon.
inline constexpr std::size_t kMaxRowsPerRequest = 100000;

// The log-in of the session the request was made in, captured when a row is
// queued: a later connect to another server does not redirect queued rows.
struct RowLogin {
    std::string host;
    int port = 21;
    downlib::TlsMode tls = downlib::TlsMode::Auto;
    std::string user;
    std::string password;

    static RowLogin OfSession(const App& app);
    void StampOn(QueueRow& row) const;
};

// Counts the rows of one request against the queue's bound.
class RowBudget {
public:
    // `request` names the request in the log line ("下载", "上传").
    RowBudget(App& app, std::string request);
    // Counts a row; false (with one log line, the first time) once the
    // bound is reached.
    bool Take();
    bool Full() const { return full_; }

private:
    App& app_;
    std::string request_;
    std::size_t rows_ = 0;
    bool full_ = false;
};

// A walk `depth` folders deep descends no further below `path` (with one log
// line) once the depth limit is passed.
bool TooDeepToExpand(App& app, std::size_t depth, const std::string& path);

}  // namespace app
