// Modification times as FTP writes them (14 digits, UTC: "20261209101500"),
// and setting a remote file's time after an upload. A file whose time we set
// to the local file's can later be recognised as unchanged without sending it.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "downlib/session.h"

namespace downlib {

// The 14 UTC digits of a time in seconds; nothing for a time outside the
// years 1000 to 9999.
std::optional<std::string> FileTimeDigits(std::time_t seconds);
// The command that sets `path`'s time: MFMT where FEAT lists it, else the
// MDTM form with a time argument (vsftpd's).
std::string SetFileTimeCommand(bool mfmt, const std::string& digits, const std::string& path);
// Sets the time of `path` (as STOR names it) to `digits`. False when the
// server refused or cannot (then not asked again on this connection); the
// log says so once.
bool SetRemoteFileTime(SessionConnection& connection, const std::string& path, const std::string& digits);

}  // namespace downlib
