// File-system helpers for tests: a temporary directory removed with its
// content, whole-file read and write, SHA-256, deterministic test content
// (so multi-gigabyte files can be checked without holding them in memory),
// and a comparison of two directory trees for end-to-end downloads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away. Links inside are removed, never followed.
class TempDir {
public:
    explicit TempDir(std::string_view tag = "qftp");
    ~TempDir();
    TempDir(TempDir&& other) noexcept;
    TempDir& operator=(TempDir&& other) noexcept;
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Empty when the directory could not be created.
    const std::string& Path() const { return path_; }
    bool ok() const { return !path_.empty(); }
    // Path() + "/" + relative
    std::string file(std::string_view relative) const;
    // Creates a subdirectory (and its parents) and returns its path.
    std::string Subdir(std::string_view relative) const;

private:
    std::string path_;
};

// Creates the parent directories; replaces an existing file.
bool WriteFile(const std::string& path, std::string_view bytes);
std::optional<std::string> ReadFile(const std::string& path);
bool MakeDirs(const std::string& path);
// Removes a file, a link or a directory tree; true when nothing is left.
bool RemoveTree(const std::string& path);
// -1 when the path does not name a regular file.
std::int64_t FileSize(const std::string& path);
// Sets a file's access and modification time to `secondsAgo` before now
// (an edit a user made earlier: uploads compare times to the second).
bool SetFileAge(const std::string& path, int secondsAgo);
// The modification time in whole seconds, -1 when there is no such file.
std::int64_t ModifiedSeconds(const std::string& path);

std::string Sha256Hex(std::string_view bytes);
std::optional<std::string> FileSha256Hex(const std::string& path);

// Deterministic pseudo-random content: byte i of the file made with `seed`.
// The same bytes whatever the offset and length asked for.
std::string PatternBytes(std::int64_t offset, std::size_t length, std::uint32_t seed);
// A file of `size` pattern bytes written in pieces (works for sizes beyond 2 GiB).
bool WritePatternFile(const std::string& path, std::int64_t size, std::uint32_t seed);
// Empty when the file holds exactly the pattern of that size; otherwise what differs.
std::string CheckPatternFile(const std::string& path, std::int64_t size, std::uint32_t seed);

// Empty when equal; otherwise a short description ("size 10 vs 12",
// "first difference at byte 4096: 0x41 vs 0x00").
std::string DescribeDifference(std::string_view expected, std::string_view actual);
// The same for two files, read in pieces.
std::string CompareFiles(const std::string& expectedPath, const std::string& actualPath);

// Difference of two directory trees (names are compared as bytes; links are
// compared by target, never followed).
struct TreeDiff {
    std::vector<std::string> onlyInExpected;
    std::vector<std::string> onlyInActual;
    std::vector<std::string> differing;  // "relative/path: reason"
    bool Same() const { return onlyInExpected.empty() && onlyInActual.empty() && differing.empty(); }
    std::string Describe() const;
};
TreeDiff CompareTrees(const std::string& expectedRoot, const std::string& actualRoot);

// Relative paths of every entry below root, sorted; directories end in "/".
std::vector<std::string> ListTree(const std::string& root);

}  // namespace testsupport
