// Password hashes and ACL grants for the real-server fixtures (see
// server_accounts.h).
#include "support/server_accounts.h"

#include <crypt.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <system_error>

namespace testsupport {

namespace {

// The kernel's layout of a POSIX ACL in an extended attribute: a version
// word, then entries sorted by tag and id (all little-endian on our targets).
constexpr std::uint32_t kAclVersion = 2;
constexpr std::uint16_t kUserObj = 0x01;
constexpr std::uint16_t kUser = 0x02;
constexpr std::uint16_t kGroupObj = 0x04;
constexpr std::uint16_t kMask = 0x10;
constexpr std::uint16_t kOther = 0x20;
constexpr std::uint32_t kNoId = 0xffffffffu;

void AppendWord(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void AppendEntry(std::string& out, std::uint16_t tag, unsigned perm, std::uint32_t id) {
    AppendWord(out, tag, 2);
    AppendWord(out, perm & 7u, 2);
    AppendWord(out, id, 4);
}

// An ACL that keeps the owner, group and other bits of mode and adds uid
// with `granted` rights; the mask lets the grant through.
std::string AclFor(mode_t mode, uid_t uid, unsigned granted) {
    std::string out;
    AppendWord(out, kAclVersion, 4);
    AppendEntry(out, kUserObj, (mode >> 6) & 7u, kNoId);
    AppendEntry(out, kUser, granted, static_cast<std::uint32_t>(uid));
    AppendEntry(out, kGroupObj, (mode >> 3) & 7u, kNoId);
    AppendEntry(out, kMask, granted | ((mode >> 3) & 7u), kNoId);
    AppendEntry(out, kOther, mode & 7u, kNoId);
    return out;
}

std::string SetAcl(const std::string& path, const char* attribute, const std::string& acl) {
    if (::setxattr(path.c_str(), attribute, acl.data(), acl.size(), 0) == 0) return {};
    return std::string(attribute) + " on " + path + ": " + std::strerror(errno);
}

std::string GrantOne(const std::string& path, uid_t uid) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
    if (S_ISLNK(st.st_mode)) return {};
    if (S_ISDIR(st.st_mode)) {
        std::string error = SetAcl(path, "system.posix_acl_access", AclFor(st.st_mode, uid, 7));
        if (error.empty()) error = SetAcl(path, "system.posix_acl_default", AclFor(0755, uid, 7));
        return error;
    }
    return SetAcl(path, "system.posix_acl_access", AclFor(st.st_mode, uid, 6));
}

}  // namespace

std::string Sha512CryptHash(const std::string& password) {
    static constexpr char kSaltChars[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::random_device random;
    std::string setting = "$6$";
    for (int i = 0; i < 16; ++i) setting += kSaltChars[random() % (sizeof kSaltChars - 1)];
    auto data = std::make_unique<crypt_data>();
    const char* hash = ::crypt_r(password.c_str(), setting.c_str(), data.get());
    if (hash == nullptr || hash[0] != '$') return {};
    return hash;
}

std::string GrantTreeToUser(const std::string& root, uid_t uid) {
    namespace fs = std::filesystem;
    if (std::string error = GrantOne(root, uid); !error.empty()) return error;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (std::string error = GrantOne(it->path().string(), uid); !error.empty()) return error;
    }
    return ec ? root + ": " + ec.message() : std::string();
}

}  // namespace testsupport
