// The server's FEAT reply, asked once per control connection: which of the
// optional commands (MFMT, the hash commands) the server says it has.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "downlib/session.h"

namespace downlib {

// At most this many features are kept from one FEAT reply; a hostile server
// cannot make the list grow beyond it.
inline constexpr std::size_t kMaxFeatures = 64;
inline constexpr std::size_t kMaxFeatureLength = 256;

// The feature lines of a whole FEAT reply ("211-Features:\r\n MFMT\r\n...211 End"):
// the lines between the first and the final one, without their leading
// space and line end. Over-long lines and lines past kMaxFeatures are dropped.
std::vector<std::string> ParseFeatureReply(const std::string& allLines);
// True when a feature's first word is `name` (any case): "MFMT", "HASH" in
// "HASH SHA-256*;MD5".
bool HasFeature(const std::vector<std::string>& features, std::string_view name);
// The features of the connection's server: FEAT is sent (and logged) the
// first time only. A refused FEAT gives an empty list.
const std::vector<std::string>& ServerFeatures(SessionConnection& connection);

}  // namespace downlib
