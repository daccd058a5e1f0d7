// The scheme a user may put before a host name to choose how the session is
// encrypted: "ftpes://host" (explicit TLS, required), "ftps://host" (implicit
// TLS), "ftp://host" (plain); a bare host leaves the choice to the caller.
#pragma once

#include <optional>
#include <string>

#include "downlib/ftp_engine.h"

namespace downlib {

inline constexpr int kImplicitTlsPort = 990;

struct HostWithScheme {
    std::string host;
    std::optional<TlsMode> tls;  // none for a bare host
};

// Any case; a trailing "/" is dropped.
HostWithScheme ParseHostScheme(const std::string& text);

}  // namespace downlib
