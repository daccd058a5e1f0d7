// Files, folders and the INI settings file on POSIX. The INI reader is our
// own: section and key names are Chinese UTF-8 and must stay readable in the
// file, and a damaged file (binary bytes, endless lines) must not hurt.
#include "toolkit/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

namespace toolkit {

namespace {

// A settings file is a few lines; reading more of a damaged one is pointless.
constexpr std::size_t kMaxSettingsFileBytes = 1 << 20;
constexpr std::size_t kMaxValueBytes = 10239;

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') return home;
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
    return "/";
}

std::string UserName() {
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_name != nullptr) return pw->pw_name;
    return {};
}

// /proc/mounts writes blanks and a few other bytes as octal escapes (\040).
std::string UnescapeMountPath(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
            s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool IsEmptyName(const std::string& name) {
    for (char c : name) {
        if (static_cast<unsigned char>(c) > ' ') return false;
    }
    return true;
}

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

std::string ReadBounded(const std::string& file, bool& complete) {
    complete = false;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        // A file that is not there has nothing to lose; one that cannot be
        // read would lose all of it.
        struct stat info {};
        complete = ::stat(file.c_str(), &info) != 0 && errno == ENOENT;
        return {};
    }
    std::string data(kMaxSettingsFileBytes + 1, '\0');
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<std::size_t>(in.gcount()));
    complete = data.size() <= kMaxSettingsFileBytes;
    if (!complete) data.resize(kMaxSettingsFileBytes);
    return data;
}

std::vector<std::string> Lines(const std::string& data) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find('\n', start);
        if (end == std::string::npos) end = data.size();
        std::string line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// The section name of a "[name]" line.
bool SectionOf(const std::string& line, std::string& name) {
    const std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return false;
    const std::size_t close = t.find(']');
    if (close == std::string::npos) return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

bool KeyOf(const std::string& line, std::string& key, std::string& value) {
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(line.substr(0, eq));
    value = Trim(line.substr(eq + 1));
    return true;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// The install rules put the desktop entry at <bin>/<QFTP_DATA_FROM_BIN>/
// applications. A program in such a layout is installed and never writes into
// its own folder, not even run by root, to whom /usr/bin is writable too.
bool IsInstalledLayout(const std::string& programFolder) {
    const std::string entry = programFolder + "/" QFTP_DATA_FROM_BIN "/applications/quorvel-ftp.desktop";
    return access(entry.c_str(), F_OK) == 0;
}

// Creates the folder and its missing parents, private to the user, as the XDG
// rules ask of a configuration folder. A failure is left to the write that
// follows, which then fails quietly: a program that cannot keep its settings
// works on without them.
void MakeFolders(const std::string& folder) {
    for (std::size_t slash = folder.find('/', 1); slash != std::string::npos;
         slash = folder.find('/', slash + 1))
        mkdir(folder.substr(0, slash).c_str(), 0700);
    mkdir(folder.c_str(), 0700);
}

}  // namespace

std::string ProgramFolder() {
    char buffer[PATH_MAX + 1];
    const ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0) return ".";
    std::string path(buffer, static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string SettingsFolder() { return SettingsFolderFor(ProgramFolder()); }

std::string SettingsFolderFor(const std::string& programFolder) {
    if (!IsInstalledLayout(programFolder) && access(programFolder.c_str(), W_OK) == 0) return programFolder;
    std::string folder;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        folder = std::string(xdg) + "/quorvel-ftp";
        MakeFolders(folder);
    } else {
        // Never the home folder itself: a missing home stays missing.
        const std::string base = HomeFolder() + "/.config";
        folder = base + "/quorvel-ftp";
        mkdir(base.c_str(), 0700);
        mkdir(folder.c_str(), 0700);
    }
    return folder;
}

std::vector<std::string> DriveList() {
    std::vector<std::string> drives{HomeFolder(), "/"};
    if (drives[0] == "/") drives.pop_back();
    const std::string user = UserName();
    std::vector<std::string> prefixes{"/media/", "/mnt/"};
    if (!user.empty()) prefixes.push_back("/run/media/" + user + "/");
    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    int guard = 0;
    while (std::getline(mounts, line) && ++guard < 10000) {
        std::istringstream fields(line);
        std::string device, mountPoint;
        fields >> device >> mountPoint;
        mountPoint = UnescapeMountPath(mountPoint);
        for (const auto& prefix : prefixes) {
            if (StartsWith(mountPoint, prefix) && mountPoint.size() > prefix.size()) {
                drives.push_back(mountPoint);
                break;
            }
        }
    }
    return drives;
}

int FileAttributes(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        // A link that points nowhere is still an entry of its folder.
        if (lstat(path.c_str(), &st) != 0) return -1;
    }
    int attributes = 0;
    if (S_ISDIR(st.st_mode)) {
        attributes |= kAttrDirectory;
    } else if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
        attributes |= kAttrArchive;
    }
    const std::size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (!name.empty() && name[0] == '.' && name != "." && name != "..") attributes |= kAttrHidden;
    if (access(path.c_str(), W_OK) != 0) attributes |= kAttrReadOnly;
    return attributes & kAttrMask;
}

std::int64_t FileSize(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool CreateDirectory(const std::string& path) { return !path.empty() && mkdir(path.c_str(), 0777) == 0; }

EntryKind EntryKindOf(const std::string& path) {
    struct stat st {};
    if (path.empty() || lstat(path.c_str(), &st) != 0) return EntryKind::Missing;
    if (S_ISLNK(st.st_mode)) return EntryKind::Link;
    if (S_ISDIR(st.st_mode)) return EntryKind::Folder;
    if (S_ISREG(st.st_mode)) return EntryKind::File;
    return EntryKind::Other;
}

std::string CanonicalPath(const std::string& path, bool* loop) {
    if (loop != nullptr) *loop = false;
    if (path.empty()) return {};
    std::unique_ptr<char, void (*)(void*)> resolved(realpath(path.c_str(), nullptr), std::free);
    if (!resolved) {
        if (loop != nullptr) *loop = errno == ELOOP;
        return {};
    }
    return resolved.get();
}

bool CanListFolder(const std::string& path) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
    return dir != nullptr;
}

std::vector<std::string> EnumerateDirectory(const std::string& folder, int mask) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir) return names;
    std::string base = folder;
    if (base.empty() || base.back() != '/') base += '/';
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            names.push_back(name);
            continue;
        }
        const int attributes = FileAttributes(base + name);
        if (attributes >= 0 && (attributes & mask) != 0) names.push_back(name);
    }
    // The system gives its directory order, which looks random to a user.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        // Upper case, as those systems compare names: "_" sorts after "Z".
        const auto fold = [](char c) {
            return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A')
                                        : static_cast<unsigned char>(c);
        };
        const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end(),
                                            [&](char x, char y) { return fold(x) == fold(y); });
        if (mismatch.first != a.end() && mismatch.second != b.end()) {
            return fold(*mismatch.first) < fold(*mismatch.second);
        }
        if (a.size() != b.size()) return a.size() < b.size();
        return a < b;
    });
    return names;
}

std::string ReadSetting(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& defaultValue) {
    if (IsEmptyName(file) || IsEmptyName(section) || IsEmptyName(key)) return {};
    bool complete = false;
    const std::string data = ReadBounded(file, complete);
    std::string current;
    bool inSection = false;
    for (const std::string& line : Lines(data)) {
        std::string name, k, value;
        if (SectionOf(line, name)) {
            inSection = name == section;
        } else if (inSection && KeyOf(line, k, value) && k == key) {
            // A value ends at a NUL byte, as it would in a C string buffer.
            value = value.substr(0, value.find('\0'));
            if (value.size() > kMaxValueBytes) value.resize(kMaxValueBytes);
            return value;
        }
    }
    return defaultValue;
}

bool WriteSetting(const std::string& file, const std::string& section, const std::string& key,
                  const std::string& value) {
    if (IsEmptyName(file) || IsEmptyName(section) || IsEmptyName(key)) return false;
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return false;
    if (section.find(']') != std::string::npos || key.find('=') != std::string::npos) return false;
    // A key line that starts with a bracket reads back as a section line: the
    // key would be lost, and the keys after it would change sections.
    if (const std::string trimmedKey = Trim(key); !trimmedKey.empty() && trimmedKey.front() == '[')
        return false;
    bool complete = false;
    std::vector<std::string> lines = Lines(ReadBounded(file, complete));
    // Written back from a part, the rest of the file would be gone.
    if (!complete) return false;
    const std::string keyLine = key + "=" + value;
    bool inSection = false;
    bool written = false;
    std::size_t sectionEnd = std::string::npos;
    for (std::size_t i = 0; i < lines.size() && !written; ++i) {
        std::string name, k, v;
        if (SectionOf(lines[i], name)) {
            if (inSection) break;
            inSection = name == section;
            if (inSection) sectionEnd = i + 1;
        } else if (inSection) {
            if (KeyOf(lines[i], k, v) && k == key) {
                lines[i] = keyLine;
                written = true;
            } else if (!Trim(lines[i]).empty()) {
                sectionEnd = i + 1;
            }
        }
    }
    if (!written) {
        if (sectionEnd == std::string::npos) {
            lines.push_back("[" + section + "]");
            lines.push_back(keyLine);
        } else {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), keyLine);
        }
    }
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    // Write a neighbour and move it over, so a crash never leaves half a file.
    const std::string temp = file + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), file.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace toolkit
