// A server path written into a task URL so that the engine's decoding of the
// URL gives back exactly that path.
#pragma once

#include <string>

namespace downlib {

// "%", "+" and control bytes become "%XX"; every other byte, UTF-8 and GBK
// included, stays as it is.
std::string EscapeUrlPath(const std::string& path);

}  // namespace downlib
