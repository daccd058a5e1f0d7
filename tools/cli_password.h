// Where quorvel-ftp-cli takes the password from when `-p PASSWORD` (which
// every user of the machine can read in the process list) is not used: a
// line of standard input, the environment, or the user's ~/.netrc.
//
// The .netrc reader knows machine, default, login, password, account and
// macdef (a macro is skipped up to its blank line); a token may be written in
// double quotes with backslash escapes. Anything else ends the file's use.
#pragma once

#include <istream>
#include <optional>
#include <string>

namespace cli {

struct NetrcEntry {
    std::string login;  // empty when the entry names none
    std::string password;
};

enum class NetrcState {
    Missing,    // no file, or none readable
    Unsafe,     // group or others may read or write it: not used
    TooLarge,   // not a .netrc any user would write: not used
    Malformed,  // a keyword without its value, an unknown word, an unterminated quote: not used
    Read,
};

struct NetrcLookup {
    NetrcState state = NetrcState::Missing;
    std::optional<NetrcEntry> entry;
};

// The entry of `host` in the text of a .netrc: the first "machine HOST", else
// the "default" entry. An entry without a password, or whose login differs
// from `user` when one is given, does not count. State Read or Malformed.
NetrcLookup FindNetrcEntry(const std::string& text, const std::string& host,
                           const std::optional<std::string>& user);

// Reads the .netrc at `path` unless others have any access to it, as ftp(1)
// refuses such a file.
NetrcLookup LookUpNetrc(const std::string& path, const std::string& host,
                        const std::optional<std::string>& user);

// $HOME/.netrc, or the home folder of the user's account when HOME is unset.
std::string DefaultNetrcPath();

// The first line of `in` (line end removed); no value at its end. When `fd`
// is a terminal a prompt goes to standard error and the typed text is not
// echoed; the terminal's settings are restored before this returns.
std::optional<std::string> ReadPasswordLine(std::istream& in, int fd);

// Overwrites an argument in place, so /proc/PID/cmdline and ps no longer show
// it; the length stays, the text does not.
void WipeArgument(char* argument);

}  // namespace cli
