// A server path written into a task URL so that the engine's decoding of the
// URL gives back exactly that path.
#pragma once

#include <cstddef>
#include <string>

namespace downlib {

// The engine decodes at most this many path bytes from a task URL, and leaves
// a URL path longer than kLongestUrlPath undecoded: such a path cannot be
// asked for exactly.
inline constexpr std::size_t kLongestRemotePath = 1023;
inline constexpr std::size_t kLongestUrlPath = 2048;

// "%", "+" and control bytes become "%XX"; every other byte, UTF-8 and GBK
// included, stays as it is.
std::string EscapeUrlPath(const std::string& path);

// The path comes back whole from a task URL: neither limit above is passed.
bool FitsTaskUrl(const std::string& path);

}  // namespace downlib
