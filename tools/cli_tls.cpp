// The command line's TLS options.
#include "tools/cli_tls.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "downlib/host_scheme.h"
#include "downlib/tls_stream.h"
#include "tools/cli_commands.h"

namespace cli {
namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::optional<downlib::TlsMode> ParseTlsMode(const std::string& text) {
    if (text == "auto") return downlib::TlsMode::Auto;
    if (text == "required") return downlib::TlsMode::Required;
    if (text == "implicit") return downlib::TlsMode::Implicit;
    if (text == "off") return downlib::TlsMode::Off;
    return std::nullopt;
}

HostArgument ParseHostArgument(const std::string& text) {
    const downlib::HostWithScheme parsed = downlib::ParseHostScheme(text);
    return HostArgument{parsed.host, parsed.tls};
}

std::string ParseTrustArgument(const std::string& text) {
    std::string digits = text;
    if (Lower(digits).rfind("sha256:", 0) == 0) digits = digits.substr(7);
    return downlib::NormalizeFingerprint(digits);
}

std::string CertificateStorePath() {
    std::string folder;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
        folder = config;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        folder = std::string(home) + "/.config";
    } else {
        return {};
    }
    return folder + "/quorvel-ftp/trusted-certificates.txt";
}

downlib::TlsTrust RunTrust(const Options& options) {
    downlib::TlsTrust trust;
    trust.storePath = options.certificateStore;
    const std::vector<std::string> fingerprints = options.trusted;
    const bool always = options.trustAlways;
    // Without --trust-always the given fingerprints are trusted for this run
    // only; with it, they are asked for and answered "always", which writes
    // them to the store.
    if (!always) trust.fingerprints = fingerprints;
    trust.ask = [fingerprints, always](const downlib::CertificateQuestion& question) {
        for (const std::string& fingerprint : fingerprints) {
            if (always && fingerprint == question.fingerprint) return downlib::CertificateAnswer::TrustAlways;
        }
        std::fprintf(stderr,
                     "quorvel-ftp-cli: the certificate of %s:%d is not trusted (%s)\n"
                     "  subject: %s\n  issuer: %s\n  valid: %s - %s\n  fingerprint: SHA256:%s\n",
                     ForStderr(question.host).c_str(), question.port, ForStderr(question.problem).c_str(),
                     ForStderr(question.subject).c_str(), ForStderr(question.issuer).c_str(),
                     ForStderr(question.notBefore).c_str(), ForStderr(question.notAfter).c_str(),
                     question.fingerprint.c_str());
        if (!question.knownFingerprint.empty())
            std::fprintf(stderr, "  it differs from the trusted certificate SHA256:%s\n",
                         question.knownFingerprint.c_str());
        std::fprintf(stderr, "  to trust it, run again with --trust SHA256:%s\n",
                     question.fingerprint.c_str());
        return downlib::CertificateAnswer::Refuse;
    };
    return trust;
}

void ApplyTls(const Options& options, downlib::TaskParam& param) {
    param.tls = options.tls;
    param.tlsTrust = RunTrust(options);
}

}  // namespace cli
