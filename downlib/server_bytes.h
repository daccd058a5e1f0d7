// A few bytes of a remote file, read back to prove what is already there:
// the end of a download's part file, or the start and end of a remote file
// an upload would continue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "downlib/session.h"

namespace downlib {

// The bytes the server sends from `position`, at most `length` of them: REST,
// RETR, read, then the data connection is closed and whatever final reply
// follows (426 or 226) is taken. Nothing when the connection broke (`broken`
// is then set) or the server would not start there (then the restart marker
// is back at 0). `path` is sent as RETR sends a download's path.
std::optional<std::string> ReadServerBytes(SessionConnection& connection, const std::string& path,
                                           std::int64_t position, std::int64_t length, bool& broken);

}  // namespace downlib
