// The file of certificates trusted always: one line per host and port with
// the certificate's SHA-256 fingerprint, subject, issuer and validity, TAB
// separated, after a comment line. The file is hostile input like any other:
// it is read up to kStoreByteLimit, lines longer than kStoreLineLimit or
// without a well-formed key and fingerprint are skipped with a problem text,
// and at most kStoreEntryLimit entries are kept. It is written whole to a
// temporary name and renamed, so a crash never leaves half a store.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace downlib {

inline constexpr std::size_t kStoreByteLimit = 1 << 20;
inline constexpr std::size_t kStoreLineLimit = 4096;
inline constexpr std::size_t kStoreEntryLimit = 1000;

struct TrustedCertificate {
    std::string hostPort;     // "host:port", host in lower case
    std::string fingerprint;  // "AB:CD:...", 32 pairs
    std::string subject;
    std::string issuer;
    std::string notBefore;
    std::string notAfter;
};

struct CertificateStore {
    std::vector<TrustedCertificate> entries;  // one per hostPort, the last line wins
    std::vector<std::string> problems;        // one text per skipped line or read failure
};

std::string StoreKey(const std::string& host, int port);
CertificateStore ParseCertificateStore(std::string_view text);
std::string FormatCertificateStore(const std::vector<TrustedCertificate>& entries);
const TrustedCertificate* FindTrusted(const CertificateStore& store, const std::string& hostPort);

// A missing file is an empty store without problems.
CertificateStore LoadCertificateStore(const std::string& path);
// Adds or replaces the entry of its hostPort, making the file's folder when
// it is missing. False, with the reason, when
// the file could not be written; the old file then stays as it was.
bool SaveTrustedCertificate(const std::string& path, const TrustedCertificate& certificate,
                            std::string* problem);

}  // namespace downlib
