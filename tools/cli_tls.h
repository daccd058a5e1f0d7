// FTP over TLS on the command line: the --tls mode and the scheme of the
// host argument, the --trust fingerprints, the trusted-certificate file the
// window uses too, and what a refused certificate prints.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "downlib/ftp_engine.h"

namespace cli {

struct Options;

// "auto", "required", "implicit", "off"; no value for anything else.
std::optional<downlib::TlsMode> ParseTlsMode(const std::string& text);
// Splits "ftpes://host", "ftps://host", "ftp://host" (any case) into the
// host and the mode its scheme names; a bare host names none. A trailing "/"
// is dropped.
struct HostArgument {
    std::string host;
    std::optional<downlib::TlsMode> tls;
};
HostArgument ParseHostArgument(const std::string& text);
// "SHA256:AB:CD..." or the bare hex digits, colons allowed, either case: the
// fingerprint as the engine writes it, or empty.
std::string ParseTrustArgument(const std::string& text);
// $XDG_CONFIG_HOME/quorvel-ftp/trusted-certificates.txt, or the same under
// ~/.config; empty without a home.
std::string CertificateStorePath();
// What every session of the run trusts: the store is read; it is written
// only when trustAlways is set. A certificate nothing vouches for is refused
// with its fingerprint on standard error.
downlib::TlsTrust RunTrust(const Options& options);
// The mode and trust of a transfer task.
void ApplyTls(const Options& options, downlib::TaskParam& param);

}  // namespace cli
