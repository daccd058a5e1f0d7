// libFuzzer target for the trusted-certificate file. The input is the file's
// content as a damaged disk or another program may leave it. Whatever it
// holds, the parse stays within its limits, every entry it keeps has a
// well-formed key and fingerprint, and writing the entries out and reading
// them back gives the same entries without a problem.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "downlib/certificate_store.h"
#include "downlib/tls_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const downlib::CertificateStore store = downlib::ParseCertificateStore(text);
    if (store.entries.size() > downlib::kStoreEntryLimit) std::abort();
    for (const downlib::TrustedCertificate& entry : store.entries) {
        if (downlib::NormalizeFingerprint(entry.fingerprint) != entry.fingerprint) std::abort();
        if (entry.hostPort.find(':') == std::string::npos) std::abort();
    }
    const downlib::CertificateStore again =
        downlib::ParseCertificateStore(downlib::FormatCertificateStore(store.entries));
    if (!again.problems.empty() || again.entries.size() != store.entries.size()) std::abort();
    for (std::size_t i = 0; i < again.entries.size(); ++i) {
        const downlib::TrustedCertificate& a = store.entries[i];
        const downlib::TrustedCertificate& b = again.entries[i];
        if (a.hostPort != b.hostPort || a.fingerprint != b.fingerprint) std::abort();
    }
    return 0;
}
