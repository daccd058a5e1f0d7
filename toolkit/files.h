// Files, folders and settings: the program folder, the drive list, folder
// enumeration with attributes, file sizes, creating a folder, and the INI
// settings file. Plain POSIX underneath; no widget set needed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace toolkit {

// Attribute bits of a file, as the enumeration reports them.
inline constexpr int kAttrReadOnly = 0x01;
inline constexpr int kAttrHidden = 0x02;
inline constexpr int kAttrSystem = 0x04;
inline constexpr int kAttrDirectory = 0x10;
inline constexpr int kAttrArchive = 0x20;
inline constexpr int kAttrMask = 0x37;

// The folder of the running executable, without a trailing "/".
std::string ProgramFolder();

// The folder that holds the program's settings: the program folder when it is
// writable and not an installed layout (one with the desktop entry in the
// share folder beside bin), else $XDG_CONFIG_HOME/quorvel-ftp (default
// ~/.config/quorvel-ftp), created with its parents when missing.
std::string SettingsFolder();
// The same for a program in that folder.
std::string SettingsFolderFor(const std::string& programFolder);

// The user's home folder, then "/", then every mounted volume under /media,
// /mnt and /run/media/<user>.
std::vector<std::string> DriveList();

// Attributes of a path masked with 0x37 (0x10 is the folder bit), -1 when the
// path does not exist. Regular files carry the archive bit, names starting
// with "." the hidden bit, entries the user may not write the read-only bit.
int FileAttributes(const std::string& path);

// Size in bytes, -1 when it cannot be read.
std::int64_t FileSize(const std::string& path);

// Creates one folder level; true on success.
bool CreateDirectory(const std::string& path);

// What a path names. A symbolic link is reported as a link, not as what it
// points to.
enum class EntryKind { Missing, File, Folder, Link, Other };
EntryKind EntryKindOf(const std::string& path);

// The absolute path with every symbolic link resolved and "." and ".."
// folded; empty when it cannot be resolved (a missing target, no
// permission). `loop` is set when a loop of links was the reason.
std::string CanonicalPath(const std::string& path, bool* loop = nullptr);

// True when the folder's entries can be listed.
bool CanListFolder(const std::string& path);

// The names in a folder whose attributes share a bit with the mask ("." and
// ".." included), in name order without regard to the case of ASCII letters
// (then byte order): the order in which the desktop systems the window was
// made for enumerate a folder. Empty when the folder cannot be read.
std::vector<std::string> EnumerateDirectory(const std::string& folder, int mask);

// Reads a key of an INI file (UTF-8, section and key names compared exactly).
// Returns the default when the file, section or key is absent; values longer
// than 10239 bytes are cut there. With an empty file, section or key name
// (after leading spaces and control characters) returns the empty text.
std::string ReadSetting(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& defaultValue);

// Writes a key, creating the file and the section as needed and keeping every
// other line. False when the file cannot be written, cannot be read whole
// (over 1 MiB, or unreadable) or a name or the value holds a line break.
bool WriteSetting(const std::string& file, const std::string& section, const std::string& key,
                  const std::string& value);

}  // namespace toolkit
