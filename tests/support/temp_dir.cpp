// File-system helpers for tests (see temp_dir.h). SHA-256 is written out
// here (FIPS 180-4) so the helpers need nothing beyond the standard library.
#include "support/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>
#include <system_error>

#include "support/unique_fd.h"

namespace testsupport {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPieceBytes = 1 << 20;

std::string TempBase() {
    const char* env = std::getenv("TMPDIR");
    if (env != nullptr && *env != '\0') return env;
    return "/tmp";
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads up to size bytes; fewer only at the end of the file. -1 on error.
ssize_t ReadFull(int fd, char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

std::string HexByte(unsigned char c) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", c);
    return text;
}

class Sha256 {
public:
    void Update(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        total_ += size;
        while (size > 0) {
            std::size_t take = std::min(size, block_.size() - used_);
            std::memcpy(block_.data() + used_, p, take);
            used_ += take;
            p += take;
            size -= take;
            if (used_ == block_.size()) {
                Compress();
                used_ = 0;
            }
        }
    }

    std::string Hex() {
        std::uint64_t bits = total_ * 8;
        unsigned char pad = 0x80;
        Update(&pad, 1);
        unsigned char zero = 0;
        while (used_ != 56) Update(&zero, 1);
        unsigned char length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        Update(length, 8);
        std::string out;
        char text[9];
        for (std::uint32_t word : h_) {
            std::snprintf(text, sizeof text, "%08x", word);
            out += text;
        }
        return out;
    }

private:
    static std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void Compress() {
        static constexpr std::array<std::uint32_t, 64> kRoundConstants = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        std::array<std::uint32_t, 64> w{};
        for (int i = 0; i < 16; ++i) {
            w[i] = (std::uint32_t{block_[4 * i]} << 24) | (std::uint32_t{block_[4 * i + 1]} << 16) |
                   (std::uint32_t{block_[4 * i + 2]} << 8) | std::uint32_t{block_[4 * i + 3]};
        }
        for (int i = 16; i < 64; ++i) {
            std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
            std::uint32_t ch = (e & f) ^ (~e & g);
            std::uint32_t t1 = h + s1 + ch + kRoundConstants[i] + w[i];
            std::uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
            std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
            std::uint32_t t2 = s0 + maj;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h_[0] += a;
        h_[1] += b;
        h_[2] += c;
        h_[3] += d;
        h_[4] += e;
        h_[5] += f;
        h_[6] += g;
        h_[7] += h;
    }

    std::array<std::uint32_t, 8> h_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, 64> block_{};
    std::size_t used_ = 0;
    std::uint64_t total_ = 0;
};

std::uint64_t SplitMix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

}  // namespace

TempDir::TempDir(std::string_view tag) {
    std::string pattern = TempBase() + "/" + std::string(tag) + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::~TempDir() {
    if (!path_.empty()) RemoveTree(path_);
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
    if (this != &other) {
        if (!path_.empty()) RemoveTree(path_);
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

std::string TempDir::file(std::string_view relative) const { return path_ + "/" + std::string(relative); }

std::string TempDir::Subdir(std::string_view relative) const {
    std::string dir = file(relative);
    MakeDirs(dir);
    return dir;
}

bool MakeDirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    return fs::is_directory(path, ec);
}

bool WriteFile(const std::string& path, std::string_view bytes) {
    fs::path p(path);
    if (p.has_parent_path() && !MakeDirs(p.parent_path().string())) return false;
    // 0666 lets the umask decide, or, in a server root that grants a server
    // user access through a default ACL, lets that user write the file too.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) return false;
    return WriteAll(fd.Get(), bytes.data(), bytes.size());
}

std::optional<std::string> ReadFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string out;
    std::string piece(kPieceBytes, '\0');
    for (;;) {
        ssize_t n = ReadFull(fd.Get(), piece.data(), piece.size());
        if (n < 0) return std::nullopt;
        out.append(piece.data(), static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < piece.size()) return out;
    }
}

bool RemoveTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);  // removes links themselves, never their targets
    return !fs::exists(fs::symlink_status(path, ec));
}

bool SetFileAge(const std::string& path, int secondsAgo) {
    timespec times[2] = {};
    times[0].tv_sec = times[1].tv_sec = std::time(nullptr) - secondsAgo;
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::int64_t ModifiedSeconds(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_mtim.tv_sec) : -1;
}

std::int64_t FileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

std::string Sha256Hex(std::string_view bytes) {
    Sha256 sha;
    sha.Update(bytes.data(), bytes.size());
    return sha.Hex();
}

std::optional<std::string> FileSha256Hex(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    Sha256 sha;
    std::string piece(kPieceBytes, '\0');
    for (;;) {
        ssize_t n = ReadFull(fd.Get(), piece.data(), piece.size());
        if (n < 0) return std::nullopt;
        sha.Update(piece.data(), static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < piece.size()) return sha.Hex();
    }
}

std::string PatternBytes(std::int64_t offset, std::size_t length, std::uint32_t seed) {
    std::string out(length, '\0');
    std::uint64_t salt = SplitMix(seed);
    std::uint64_t block = static_cast<std::uint64_t>(offset) / 8;
    std::uint64_t word = SplitMix(block ^ salt);
    for (std::size_t i = 0; i < length; ++i) {
        std::uint64_t at = static_cast<std::uint64_t>(offset) + i;
        if (at / 8 != block) {
            block = at / 8;
            word = SplitMix(block ^ salt);
        }
        out[i] = static_cast<char>(word >> (8 * (at % 8)));
    }
    return out;
}

bool WritePatternFile(const std::string& path, std::int64_t size, std::uint32_t seed) {
    fs::path p(path);
    if (p.has_parent_path() && !MakeDirs(p.parent_path().string())) return false;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return false;
    for (std::int64_t at = 0; at < size;) {
        std::size_t take = static_cast<std::size_t>(std::min<std::int64_t>(kPieceBytes, size - at));
        std::string piece = PatternBytes(at, take, seed);
        if (!WriteAll(fd.Get(), piece.data(), piece.size())) return false;
        at += static_cast<std::int64_t>(take);
    }
    return true;
}

std::string CheckPatternFile(const std::string& path, std::int64_t size, std::uint32_t seed) {
    std::int64_t actual = FileSize(path);
    if (actual < 0) return "no regular file at " + path;
    if (actual != size) return "size " + std::to_string(actual) + ", expected " + std::to_string(size);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return "cannot open " + path;
    std::string piece(kPieceBytes, '\0');
    for (std::int64_t at = 0; at < size;) {
        ssize_t n = ReadFull(fd.Get(), piece.data(), piece.size());
        if (n <= 0) return "read failed at byte " + std::to_string(at);
        std::string expected = PatternBytes(at, static_cast<std::size_t>(n), seed);
        std::string diff =
            DescribeDifference(expected, std::string_view(piece.data(), static_cast<std::size_t>(n)));
        if (!diff.empty()) return "at piece starting " + std::to_string(at) + ": " + diff;
        at += n;
    }
    return {};
}

std::string DescribeDifference(std::string_view expected, std::string_view actual) {
    std::size_t common = std::min(expected.size(), actual.size());
    auto mismatch = std::mismatch(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(common),
                                  actual.begin());
    std::string out;
    if (expected.size() != actual.size()) {
        out = "size " + std::to_string(actual.size()) + ", expected " + std::to_string(expected.size());
    }
    if (mismatch.first != expected.begin() + static_cast<std::ptrdiff_t>(common)) {
        auto at = static_cast<std::size_t>(mismatch.first - expected.begin());
        if (!out.empty()) out += "; ";
        out += "first difference at byte " + std::to_string(at) + ": " +
               HexByte(static_cast<unsigned char>(actual[at])) + ", expected " +
               HexByte(static_cast<unsigned char>(expected[at]));
    }
    return out;
}

std::string CompareFiles(const std::string& expectedPath, const std::string& actualPath) {
    std::int64_t expectedSize = FileSize(expectedPath);
    std::int64_t actualSize = FileSize(actualPath);
    if (expectedSize < 0) return "no regular file at " + expectedPath;
    if (actualSize < 0) return "no regular file at " + actualPath;
    UniqueFd a(::open(expectedPath.c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd b(::open(actualPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!a || !b) return "cannot open the files";
    std::string pa(kPieceBytes, '\0'), pb(kPieceBytes, '\0');
    for (std::int64_t at = 0;;) {
        ssize_t na = ReadFull(a.Get(), pa.data(), pa.size());
        ssize_t nb = ReadFull(b.Get(), pb.data(), pb.size());
        if (na < 0 || nb < 0) return "read failed";
        std::string diff = DescribeDifference(std::string_view(pa.data(), static_cast<std::size_t>(na)),
                                              std::string_view(pb.data(), static_cast<std::size_t>(nb)));
        if (!diff.empty()) {
            return "size " + std::to_string(actualSize) + " vs expected " + std::to_string(expectedSize) +
                   "; in the piece at " + std::to_string(at) + ": " + diff;
        }
        if (static_cast<std::size_t>(na) < pa.size()) return {};
        at += na;
    }
}

std::vector<std::string> ListTree(const std::string& root) {
    std::vector<std::string> out;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::string rel = fs::relative(it->path(), root, ec).string();
        if (it->is_directory(ec) && !it->is_symlink(ec)) rel += "/";
        out.push_back(rel);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string TreeDiff::Describe() const {
    std::ostringstream out;
    for (const auto& p : onlyInExpected) out << "missing: " << p << "\n";
    for (const auto& p : onlyInActual) out << "unexpected: " << p << "\n";
    for (const auto& p : differing) out << "differs: " << p << "\n";
    return out.str();
}

TreeDiff CompareTrees(const std::string& expectedRoot, const std::string& actualRoot) {
    TreeDiff diff;
    std::vector<std::string> expected = ListTree(expectedRoot);
    std::vector<std::string> actual = ListTree(actualRoot);
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(),
                        std::back_inserter(diff.onlyInExpected));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(),
                        std::back_inserter(diff.onlyInActual));
    std::vector<std::string> both;
    std::set_intersection(expected.begin(), expected.end(), actual.begin(), actual.end(),
                          std::back_inserter(both));
    for (const auto& rel : both) {
        if (rel.ends_with("/")) continue;
        std::string e = expectedRoot + "/" + rel;
        std::string a = actualRoot + "/" + rel;
        std::error_code ec;
        bool eLink = fs::is_symlink(fs::symlink_status(e, ec));
        bool aLink = fs::is_symlink(fs::symlink_status(a, ec));
        if (eLink || aLink) {
            if (eLink != aLink) {
                diff.differing.push_back(rel + ": link on one side only");
            } else if (fs::read_symlink(e, ec) != fs::read_symlink(a, ec)) {
                diff.differing.push_back(rel + ": link targets differ");
            }
            continue;
        }
        std::string why = CompareFiles(e, a);
        if (!why.empty()) diff.differing.push_back(rel + ": " + why);
    }
    return diff;
}

}  // namespace testsupport
