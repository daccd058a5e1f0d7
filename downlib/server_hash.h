// The server's own hash of a file, where FEAT offers one: HASH (SHA-256
// chosen with OPTS HASH), else XSHA256, XSHA1, XMD5 or XCRC. A hash equal to
// the local file's proves the content; a different one proves a transfer
// wrong. Where none is offered the size checks and bytes read back are the
// only proof, and nothing claims more.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "downlib/session.h"

namespace downlib {

enum class HashAlgorithm { Sha256, Sha1, Md5, Crc32 };
enum class HashVerb { Hash, XSha256, XSha1, XMd5, XCrc };

struct HashCommand {
    HashVerb verb = HashVerb::Hash;
    HashAlgorithm algorithm = HashAlgorithm::Sha256;
};

struct FileHash {
    HashAlgorithm algorithm = HashAlgorithm::Sha256;
    std::string hex;  // lower case
};

// "SHA-256", "SHA-1", "MD5", "CRC32".
const char* HashName(HashAlgorithm algorithm);
// The strongest command the features offer: HASH when its list names
// SHA-256, else XSHA256, XSHA1, XMD5, XCRC, else HASH with SHA-1 or MD5.
std::optional<HashCommand> ChooseHashCommand(const std::vector<std::string>& features);
// The command line for `path` as the server names the file.
std::string HashCommandLine(const HashCommand& command, const std::string& path);
// The digest of a reply, lower case and exactly the algorithm's length:
// "213 SHA-256 0-11 <hex> f.txt" to HASH, "250 <HEX>" (or 213) to the others.
// Nothing for any other reply.
std::optional<std::string> ParseHashReply(const HashCommand& command, int code, const std::string& reply);
// The digest of the first `length` bytes of an open file; nothing when they
// cannot all be read.
std::optional<std::string> HashLocalFile(int fd, HashAlgorithm algorithm, std::int64_t length);
// The server's hash of `path` (as RETR names it: one leading "/" dropped),
// or nothing when the server offers none or gives none (logged). A server
// that refused once is not asked again on the connection.
std::optional<FileHash> ServerHashOf(SessionConnection& connection, const std::string& path);

}  // namespace downlib
