// The part file's names and its note.
#include "downlib/part_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace downlib {
namespace {

constexpr const char* kNoteHeader = "quorvel-part 1\n";
// A note is a few dozen bytes; anything much longer is not ours.
constexpr std::size_t kNoteLimit = 256;

bool AllDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string PartFileName(const std::string& finalName) { return finalName + kPartSuffix; }
std::string PartNoteName(const std::string& finalName) { return finalName + kPartNoteSuffix; }

bool IsPartFileName(const std::string& name) {
    return EndsWith(name, kPartSuffix) || EndsWith(name, kPartNoteSuffix);
}

std::optional<std::string> ParseMdtmReply(const std::string& reply) {
    if (reply.size() < 18 || reply.compare(0, 4, "213 ") != 0) return std::nullopt;
    std::string digits = reply.substr(4, 14);
    if (!AllDigits(digits)) return std::nullopt;
    return digits;
}

std::optional<PartOrigin> ParsePartNote(const std::string& text) {
    if (text.size() > kNoteLimit || text.rfind(kNoteHeader, 0) != 0) return std::nullopt;
    std::size_t at = std::string(kNoteHeader).size();
    auto field = [&](const std::string& key) -> std::optional<std::string> {
        if (text.compare(at, key.size(), key) != 0) return std::nullopt;
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) return std::nullopt;
        std::string value = text.substr(at + key.size(), end - at - key.size());
        at = end + 1;
        return AllDigits(value) ? std::optional<std::string>(value) : std::nullopt;
    };
    std::optional<std::string> size = field("size ");
    std::optional<std::string> modified = field("mdtm ");
    if (!size || !modified || at != text.size() || size->size() > 18 || modified->size() != 14)
        return std::nullopt;
    return PartOrigin{std::stoll(*size), *modified};
}

bool WritePartNote(int folderFd, const std::string& finalName, const PartOrigin& origin) {
    const std::string name = PartNoteName(finalName);
    const std::string text =
        std::string(kNoteHeader) + "size " + std::to_string(origin.size) + "\nmdtm " + origin.modified + "\n";
    int fd = ::openat(folderFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    written = ::close(fd) == 0 && written;
    if (!written) ::unlinkat(folderFd, name.c_str(), 0);
    return written;
}

std::optional<PartOrigin> ReadPartNote(int folderFd, const std::string& finalName) {
    const std::string name = PartNoteName(finalName);
    int fd = ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    std::string text(kNoteLimit + 1, '\0');
    ssize_t n = -1;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) n = ::read(fd, text.data(), text.size());
    ::close(fd);
    if (n < 0) return std::nullopt;
    text.resize(static_cast<std::size_t>(n));
    return ParsePartNote(text);
}

void RemovePartNote(int folderFd, const std::string& finalName) {
    ::unlinkat(folderFd, PartNoteName(finalName).c_str(), 0);
}

}  // namespace downlib
