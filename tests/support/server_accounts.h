// Account helpers for the real-server fixtures: password hashes that the
// servers check quickly, and access for a server that will not run its users
// as root.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

// A SHA-512 crypt hash ("$6$salt$...") of password with a fresh salt; empty
// when the system's crypt library cannot make one.
std::string Sha512CryptHash(const std::string& password);

// Gives uid read, write and search rights on the tree below root and, through
// a default ACL, on everything created in it later (by the test as root or by
// the server), without changing owners. Links are left alone. Empty on
// success, otherwise why not (a file system without ACLs, for one).
std::string GrantTreeToUser(const std::string& root, uid_t uid);

}  // namespace testsupport
